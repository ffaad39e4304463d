// The packer against references that share none of its reasoning: a decoder
// simulated step by step on the ring for which matches exist, a search over
// every parse on small inputs, a dynamic program that counts the flag bytes
// themselves, and the two decoders of other people (Debian's msexpand here,
// Wine's LZCopy in the Windows test tree).

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "samples.h"
#include "szdd_expand.h"
#include "szdd_format.h"
#include "szdd_pack.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using szdd_test::Random;
using szdd_test::Sample;

const std::vector<Sample>& Samples() {
  static const std::vector<Sample> samples = szdd_test::MakeSamples();
  return samples;
}

const Bytes& SampleNamed(const std::string& name) {
  for (const Sample& sample : Samples()) {
    if (sample.name == name) return sample.bytes;
  }
  std::fprintf(stderr, "no sample %s\n", name.c_str());
  std::abort();
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Header(std::uint32_t stated, std::uint8_t mode = 'A') {
  Bytes header(szdd::kSignature, szdd::kSignature + 8);
  header.push_back(mode);
  header.push_back(0);
  for (int shift = 0; shift < 32; shift += 8) header.push_back(static_cast<std::uint8_t>(stated >> shift));
  return header;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string FirstDifference(const Bytes& got, const Bytes& want) {
  const auto where = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return "sizes " + std::to_string(got.size()) + " / " + std::to_string(want.size()) + ", first difference at offset " +
         std::to_string(where.first - got.begin());
}

// For each input position, the longest prefix (3..18 bytes, else 0) of the
// rest of the input that one reference can produce, found by running the
// decoder's copy step by step, on the ring as it stands at that point, from
// every ring position other than the write slot.
std::vector<unsigned> SimulatedLongest(const Bytes& input) {
  std::array<std::uint8_t, 4096> ring;
  ring.fill(0x20);
  std::size_t write = 4080;
  std::vector<unsigned> longest(input.size(), 0);
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned cap = static_cast<unsigned>(std::min<std::size_t>(18, input.size() - i));
    unsigned best = 0;
    const std::uint8_t* begin = ring.data();
    const std::uint8_t* end = ring.data() + ring.size();
    for (const std::uint8_t* hit = begin; best < cap && (hit = static_cast<const std::uint8_t*>(
                                                               std::memchr(hit, input[i], end - hit))) != nullptr;
         ++hit) {
      const std::size_t from = hit - begin;
      if (from == write) continue;
      std::size_t stored[18];
      std::uint8_t values[18];
      unsigned k = 0;
      for (; k < cap; ++k) {
        const std::size_t slot = (from + k) & 4095;
        std::uint8_t value = ring[slot];
        for (unsigned j = 0; j < k; ++j) {
          if (stored[j] == slot) value = values[j];  // produced earlier by this same copy
        }
        if (value != input[i + k]) break;
        stored[k] = (write + k) & 4095;
        values[k] = value;
      }
      best = std::max(best, k);
    }
    longest[i] = best >= 3 ? best : 0;
    ring[write] = input[i];
    write = (write + 1) & 4095;
  }
  return longest;
}

// The fewest stream bytes over all parses, counting the flag bytes as they
// fall: state (position, items already in the current group).
std::size_t FewestStreamBytes(const std::vector<unsigned>& longest) {
  const std::size_t n = longest.size();
  std::vector<std::array<std::size_t, 8>> rest(n + 1);
  rest[n].fill(0);
  for (std::size_t i = n; i-- > 0;) {
    for (unsigned used = 0; used < 8; ++used) {
      const std::size_t flag = used == 0 ? 1 : 0;
      const unsigned next = (used + 1) % 8;
      std::size_t best = flag + 1 + rest[i + 1][next];
      for (unsigned length = 3; length <= longest[i]; ++length) {
        best = std::min(best, flag + 2 + rest[i + length][next]);
      }
      rest[i][used] = best;
    }
  }
  return rest[0][0];
}

// Every parse, enumerated: payload bytes plus one flag byte per started group.
void EveryParse(const std::vector<unsigned>& longest, std::size_t at, std::size_t items, std::size_t payload,
                std::size_t& fewest, std::size_t& parses) {
  if (at == longest.size()) {
    fewest = std::min(fewest, payload + (items + 7) / 8);
    ++parses;
    return;
  }
  EveryParse(longest, at + 1, items + 1, payload + 1, fewest, parses);
  for (unsigned length = 3; length <= longest[at]; ++length) {
    EveryParse(longest, at + length, items + 1, payload + 2, fewest, parses);
  }
}

// ---- the strict expander, on streams written by hand ----

TEST(SzddExpand, DecodesHandWrittenStreams) {
  struct Case {
    const char* name;
    Bytes stream;
    std::string expected;
    std::size_t writeSlotReferences;
  };
  const Case cases[] = {
      {"last group short", {0x07, 'a', 'b', 'c'}, "abc", 0},
      // 'a' lands in slot 4080; a copy of 10 from there reads what it writes.
      {"overlapping copy", {0x01, 'a', 0xF0, 0xF7}, std::string(11, 'a'), 0},
      {"initial spaces", {0x00, 0x00, 0x0F}, std::string(18, ' '), 0},
      // 18 literals fill slots 4080..4095 and 0..1; the copy from 4094 wraps
      // round to slot 0 and then reads its own first byte (now in slot 2).
      {"ring wrap",
       Concat(Concat(Concat({0xFF}, ToBytes("ABCDEFGH")), Concat({0xFF}, ToBytes("IJKLMNOP"))), {0x03, 'Q', 'R', 0xFE, 0xF2}),
       "ABCDEFGHIJKLMNOPQROPQRO", 0},
      // Read before store: the write slot still holds its old space.
      {"write slot", {0x00, 0xF0, 0xF0}, "   ", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes container = Concat(Header(static_cast<std::uint32_t>(c.expected.size())), c.stream);
    const szdd::Expansion expansion = szdd::Expand(container.data(), container.size());
    ASSERT_TRUE(expansion.ok) << expansion.error;
    EXPECT_EQ(std::string(expansion.bytes.begin(), expansion.bytes.end()), c.expected);
    EXPECT_EQ(expansion.writeSlotReferences, c.writeSlotReferences);
  }
}

TEST(SzddExpand, RefusesBrokenContainers) {
  struct Case {
    const char* name;
    Bytes container;
    const char* error;
  };
  Bytes badSignature = Header(0);
  badSignature[4] = 0x89;
  Bytes shortHeader = Header(0);
  shortHeader.pop_back();
  const Case cases[] = {
      {"empty file", {}, "truncated container: 0 bytes"},
      {"header cut short", shortHeader, "truncated container: 13 bytes"},
      {"wrong signature", badSignature, "wrong signature"},
      {"mode B", Header(0, 'B'), "compression mode 66"},
      // A full group, then a flag byte with nothing after it.
      {"flag byte without items", Concat(Header(8), Concat({0xFF}, ToBytes("12345678\x01"))),
       "flag byte at offset 23 has no item"},
      {"reference cut in half", Concat(Header(4), {0x01, 'a', 0xF0}), "back-reference at offset 16 lacks its second"},
      {"stated length too long", Concat(Header(4), {0x07, 'a', 'b', 'c'}), "expands to 3 bytes, the header states 4"},
      {"stated length too short", Concat(Header(2), {0x07, 'a', 'b', 'c'}), "expands to 3 bytes, the header states 2"},
      // What mscompress writes for an empty file.
      {"stray byte after empty", Concat(Header(0), {0x01, 0x00}), "expands to 1 bytes, the header states 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const szdd::Expansion expansion = szdd::Expand(c.container.data(), c.container.size());
    EXPECT_FALSE(expansion.ok);
    EXPECT_NE(expansion.error.find(c.error), std::string::npos) << "error: " << expansion.error;
    EXPECT_TRUE(expansion.bytes.empty());
  }
}

// ---- the packer ----

TEST(SzddPack, WritesTheHeaderFields) {
  const Bytes empty = szdd::Pack({}, 0);
  EXPECT_EQ(empty, Header(0)) << "an empty input is the header alone";

  const Bytes input(70000, 0x41);
  const Bytes packed = szdd::Pack(input, 'l');
  ASSERT_GE(packed.size(), szdd::kHeaderSize);
  const Bytes want = {0x53, 0x5A, 0x44, 0x44, 0x88, 0xF0, 0x27, 0x33, 0x41, 'l', 0x70, 0x11, 0x01, 0x00};
  EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 14), want);
}

TEST(SzddPack, SamplesExpandToTheirInput) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    const Bytes packed = szdd::Pack(sample.bytes);
    const szdd::Expansion expansion = szdd::Expand(packed.data(), packed.size());
    ASSERT_TRUE(expansion.ok) << expansion.error;
    EXPECT_TRUE(expansion.bytes == sample.bytes) << FirstDifference(expansion.bytes, sample.bytes);
    EXPECT_EQ(expansion.writeSlotReferences, 0u);
  }
}

TEST(SzddPack, SamplesTakeTheFewestBytesTheFormatAllows) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    const std::vector<unsigned> longest = SimulatedLongest(sample.bytes);
    const std::vector<szdd::Match> matches = szdd::FindLongestMatches(sample.bytes.data(), sample.bytes.size());
    ASSERT_EQ(matches.size(), longest.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < longest.size(); ++i) {
      if (matches[i].length != longest[i] && wrong++ < 5) {
        ADD_FAILURE() << "position " << i << ": longest match " << unsigned(matches[i].length) << ", simulation finds "
                      << longest[i];
      }
    }
    EXPECT_EQ(wrong, 0u);
    const Bytes packed = szdd::Pack(sample.bytes);
    EXPECT_EQ(packed.size() - szdd::kHeaderSize, FewestStreamBytes(longest));
  }
}

TEST(SzddPack, SmallInputsMatchASearchOverEveryParse) {
  // Alphabets rich in spaces (the initial fill) and in repeats; lengths past
  // one flag group so that the rounding of the flag bytes is in play.
  const std::string alphabets[] = {" ", " a", " ab", "ab", "abc"};
  Random random(5);
  std::size_t inputs = 0;
  for (const std::string& alphabet : alphabets) {
    for (std::size_t length = 0; length <= 20; ++length) {
      for (int round = 0; round < 8; ++round) {
        Bytes input(length);
        for (auto& byte : input) byte = static_cast<std::uint8_t>(alphabet[random.Below(alphabet.size())]);
        const std::vector<unsigned> longest = SimulatedLongest(input);
        std::size_t fewest = SIZE_MAX, parses = 0;
        EveryParse(longest, 0, 0, 0, fewest, parses);
        const Bytes packed = szdd::Pack(input);
        ASSERT_EQ(packed.size() - szdd::kHeaderSize, fewest)
            << "input \"" << std::string(input.begin(), input.end()) << "\", " << parses << " parses";
        const szdd::Expansion expansion = szdd::Expand(packed.data(), packed.size());
        ASSERT_TRUE(expansion.ok && expansion.bytes == input) << std::string(input.begin(), input.end());
        ++inputs;
      }
    }
  }
  EXPECT_EQ(inputs, 5u * 21u * 8u);
}

// ---- against Debian's mscompress and msexpand ----

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "szdd-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Exit status of a shell command, or -1 when it did not exit normally.
int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SzddPack, MsexpandGivesBackEverySampleAndMscompressIsNeverSmaller) {
  ASSERT_TRUE(fs::exists(SZDD_MSEXPAND) && fs::exists(SZDD_MSCOMPRESS))
      << "msexpand and mscompress (Debian package mscompress) are needed; scripts/bootstrap installs them";
  ScratchFolder scratch;
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    const fs::path input = scratch.Path() / sample.name;
    const fs::path container = scratch.Path() / (sample.name + ".szdd");
    const fs::path expanded = scratch.Path() / (sample.name + ".out");
    WriteFile(input, sample.bytes);
    const Bytes packed = szdd::Pack(sample.bytes);
    WriteFile(container, packed);

    ASSERT_EQ(RunShell(Quoted(SZDD_MSEXPAND) + " <" + Quoted(container) + " >" + Quoted(expanded)), 0);
    const Bytes back = ReadFile(expanded);
    EXPECT_TRUE(back == sample.bytes) << "msexpand: " << FirstDifference(back, sample.bytes);

    // mscompress writes NAME_ beside NAME.
    ASSERT_EQ(RunShell("cd " + Quoted(scratch.Path()) + " && " + Quoted(SZDD_MSCOMPRESS) + " " + Quoted(input.filename()) +
                  " >/dev/null"),
              0);
    const std::uintmax_t theirs = fs::file_size(scratch.Path() / (sample.name + "_"));
    EXPECT_LE(packed.size(), theirs);
    std::printf("%-16s %8zu bytes: packed %8zu, mscompress %8ju (%+.2f %%)\n", sample.name.c_str(), sample.bytes.size(),
                packed.size(), theirs, theirs ? 100.0 * (double(packed.size()) - double(theirs)) / double(theirs) : 0.0);
  }
}

TEST(SzddPack, PacksTwoPayloadSizedLibrariesWellUnderASecond) {
  const Bytes* libraries[2] = {&SampleNamed("pe-i386"), &SampleNamed("pe-x86_64")};
  ASSERT_GT(libraries[0]->size() + libraries[1]->size(), 500000u);
  const auto start = std::chrono::steady_clock::now();
  std::size_t packed = 0;
  for (const Bytes* library : libraries) packed += szdd::Pack(*library).size();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("packed %zu + %zu bytes into %zu in %.3f s\n", libraries[0]->size(), libraries[1]->size(), packed,
              seconds);
  // A generous bound for a shared machine; the build packs both payloads on every run.
  EXPECT_LT(seconds, 1.0);
}

// ---- the command line ----

TEST(SzddTool, PacksAndExpandsFilesAndRefusesBrokenOnes) {
  ScratchFolder scratch;
  const fs::path input = scratch.Path() / "in.bin";
  const fs::path container = scratch.Path() / "in.bi_";
  const fs::path expanded = scratch.Path() / "out.bin";
  const std::string tool = Quoted(SZDD_TOOL);
  const std::string quiet = " 2>" + Quoted(scratch.Path() / "stderr.txt");
  const Bytes& text = SampleNamed("text");
  WriteFile(input, text);

  ASSERT_EQ(RunShell(tool + " --cut-char n " + Quoted(input) + " " + Quoted(container) + quiet), 0);
  const Bytes packed = ReadFile(container);
  EXPECT_EQ(packed, szdd::Pack(text, 'n'));
  ASSERT_EQ(RunShell(tool + " --expand " + Quoted(container) + " " + Quoted(expanded) + quiet), 0);
  EXPECT_TRUE(ReadFile(expanded) == text);

  struct Refusal {
    const char* name;
    std::string arguments;
    int status;
    const char* message;
  };
  const fs::path truncated = scratch.Path() / "short.bi_";
  WriteFile(truncated, Bytes(packed.begin(), packed.end() - 1));
  const fs::path refused = scratch.Path() / "refused.bin";
  const Refusal refusals[] = {
      {"truncated container", "--expand " + Quoted(truncated) + " " + Quoted(refused), 1, "short.bi_: "},
      {"missing input", Quoted(scratch.Path() / "absent") + " " + Quoted(refused), 1, "absent: "},
      {"no output named", Quoted(input), 2, "usage: szdd"},
      {"cut character of two", "--cut-char ab " + Quoted(input) + " " + Quoted(refused), 2, "exactly one character"},
      {"unknown option", "--fast " + Quoted(input) + " " + Quoted(refused), 2, "unknown option --fast"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(RunShell(tool + " " + r.arguments + quiet), r.status);
    const Bytes said = ReadFile(scratch.Path() / "stderr.txt");
    EXPECT_NE(std::string(said.begin(), said.end()).find(r.message), std::string::npos)
        << std::string(said.begin(), said.end());
    EXPECT_FALSE(fs::exists(refused));
  }
}

}  // namespace
