#include "samples.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace szdd_test {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

std::vector<std::uint8_t> RandomBytes(Random& random, std::size_t count) {
  std::vector<std::uint8_t> out(count);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(random.Next() >> 56);
  return out;
}

// Words and punctuation in random order: text with many short repeats.
std::vector<std::uint8_t> Text(std::size_t count) {
  static const char* const kWords[] = {"the", "plug-in", "library", "is", "replaced", "by", "a", "corrected",
                                       "build", "when", "service", "stops", "and", "manager", "of", "version",
                                       "update", "Windows", "file", "registry", "in", "its", "own", "resources"};
  Random random(7);
  std::string text;
  while (text.size() < count) {
    text += kWords[random.Below(sizeof kWords / sizeof kWords[0])];
    const std::uint32_t r = random.Below(16);
    text += r == 0 ? ".\r\n" : r == 1 ? ", " : " ";
  }
  text.resize(count);
  return Bytes(text);
}

// Blocks of fresh random bytes, copies of earlier spans from every distance
// around the ring's reach (4095 is the farthest a reference goes, 4096 and
// beyond only look alike), and runs; long enough for the ring to wrap several
// times.
std::vector<std::uint8_t> Wrapping(std::size_t count) {
  Random random(11);
  std::vector<std::uint8_t> out = RandomBytes(random, 5000);
  while (out.size() < count) {
    const std::uint32_t kind = random.Below(6);
    if (kind == 0) {
      const auto fresh = RandomBytes(random, 100 + random.Below(500));
      out.insert(out.end(), fresh.begin(), fresh.end());
    } else if (kind <= 2) {
      out.insert(out.end(), 20 + random.Below(60), static_cast<std::uint8_t>(kind == 1 ? 0x00 : 0x20));
    } else {
      static const std::size_t kDistances[] = {4094, 4095, 4096, 4097, 3000, 5000};
      const std::size_t distance = kDistances[random.Below(6)];
      const std::size_t length = 10 + random.Below(300);
      const std::size_t from = out.size() - distance;
      for (std::size_t k = 0; k < length; ++k) out.push_back(out[from + k]);
      out.push_back(static_cast<std::uint8_t>(random.Next() >> 56));  // ends the copy at a known place
    }
  }
  out.resize(count);
  return out;
}

std::vector<std::uint8_t> Repeated(const std::vector<std::uint8_t>& block, int times) {
  std::vector<std::uint8_t> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), block.begin(), block.end());
  return out;
}

}  // namespace

std::vector<std::uint8_t> ReadFileOrDie(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(3);
  }
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Sample> MakeSamples() {
  std::vector<Sample> samples;
  samples.push_back({"empty", {}});
  samples.push_back({"one-byte", {0x5A}});
  samples.push_back({"one-space", {0x20}});
  samples.push_back({"long-run", Bytes(std::string(1000, 'a') + "b" + std::string(37, 'a') + std::string(19, 'c'))});
  // References into the initial spaces: at the very start, and later ones
  // that begin in the spaces and run on into the input.
  samples.push_back({"leading-spaces", Bytes(std::string(40, ' ') + "header" + std::string(18, ' ') + "x  y   z" +
                                             std::string(3000, ' ') + "tail")});
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  samples.push_back({"all-bytes", Repeated(all, 3)});
  samples.push_back({"text", Text(6000)});
  Random random(3);
  samples.push_back({"random", RandomBytes(random, 10000)});
  // The farthest reach, and one step beyond it (only the slot at the write
  // position would match there).
  samples.push_back({"distance-4095", Repeated(RandomBytes(random, 4095), 3)});
  samples.push_back({"distance-4096", Repeated(RandomBytes(random, 4096), 3)});
  samples.push_back({"wrap", Wrapping(24000)});
  samples.push_back({"pe-i386", ReadFileOrDie(SZDD_SAMPLE_PE_I386)});
  samples.push_back({"pe-x86_64", ReadFileOrDie(SZDD_SAMPLE_PE_X86_64)});
  return samples;
}

}  // namespace szdd_test
