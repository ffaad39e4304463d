// szdd: packs a file into an SZDD container (mode A) with the fewest bytes the
// format allows, or expands one strictly.
//
//   szdd [--cut-char C] INPUT OUTPUT   pack INPUT; C is the one character cut
//                                      from the end of the file name (default none)
//   szdd --expand INPUT OUTPUT         expand INPUT, refusing a truncated
//                                      container or a wrong stated length
//
// Exit status: 0 done, 1 failed (the reason on stderr, no OUTPUT left behind),
// 2 wrong usage.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "szdd_expand.h"
#include "szdd_pack.h"

namespace {

constexpr char kUsage[] =
    "usage: szdd [--cut-char C] INPUT OUTPUT\n"
    "       szdd --expand INPUT OUTPUT\n";

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  bytes.clear();
  std::uint8_t buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  const bool failed = std::ferror(file) != 0;
  const int readErrno = errno;
  std::fclose(file);
  if (failed) {
    error = path + ": " + std::strerror(readErrno);
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int writeErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  error = path + ": " + std::strerror(written ? errno : writeErrno);
  std::remove(path.c_str());
  return false;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "szdd: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool expand = false;
  std::uint8_t cutChar = 0;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--expand") {
      expand = true;
    } else if (arg == "--cut-char") {
      if (i + 1 >= argc || std::strlen(argv[i + 1]) != 1) {
        std::fprintf(stderr, "szdd: --cut-char takes exactly one character\n%s", kUsage);
        return 2;
      }
      cutChar = static_cast<std::uint8_t>(argv[++i][0]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "szdd: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 2 || (expand && cutChar != 0)) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::vector<std::uint8_t> input;
  std::string error;
  if (!ReadWholeFile(paths[0], input, error)) return Fail(error);

  std::vector<std::uint8_t> output;
  if (expand) {
    szdd::Expansion expansion = szdd::Expand(input.data(), input.size());
    if (!expansion.ok) return Fail(paths[0] + ": " + expansion.error);
    output = std::move(expansion.bytes);
  } else {
    try {
      output = szdd::Pack(input, cutChar);
    } catch (const std::length_error& e) {
      return Fail(paths[0] + ": " + e.what());
    }
  }
  if (!WriteWholeFile(paths[1], output, error)) return Fail(error);
  return 0;
}
