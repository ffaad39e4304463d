// payload_check LIBRARY
//
// Refuses a replacement library that the updater must not carry: anything
// but an i386 DLL, or a library whose file version lies on one of the two
// update lines (3.7.0 - 3.7.5.x, 3.8.0 - 3.8.5.x). Such a library would be
// classified as outdated again after it was installed, and every later run
// would install it once more. Prints the file version on success.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

uint16_t U16(const Bytes& b, size_t at) {
  return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}
uint32_t U32(const Bytes& b, size_t at) {
  return at + 4 <= b.size() ? static_cast<uint32_t>(U16(b, at) | U16(b, at + 2) << 16) : 0;
}

struct Section {
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class Image {
 public:
  explicit Image(Bytes bytes) : b_(std::move(bytes)) {}

  // Empty when the headers are those of an i386 DLL, else why not.
  std::string CheckI386Dll() {
    if (U16(b_, 0) != 0x5A4D) return "no MZ header";
    const uint32_t pe = U32(b_, 0x3C);
    if (U32(b_, pe) != 0x00004550) return "no PE signature";
    const uint16_t machine = U16(b_, pe + 4);
    if (machine != 0x014C) return "machine is not i386";
    const uint16_t characteristics = U16(b_, pe + 22);
    if (!(characteristics & 0x2000)) return "not a DLL";
    const uint16_t optionalSize = U16(b_, pe + 20);
    const size_t optional = pe + 24;
    if (U16(b_, optional) != 0x10B) return "not a PE32 image";
    const uint16_t sections = U16(b_, pe + 6);
    for (uint16_t i = 0; i < sections; ++i) {
      const size_t s = optional + optionalSize + i * 40u;
      sections_.push_back({U32(b_, s + 12), U32(b_, s + 8), U32(b_, s + 20), U32(b_, s + 16)});
    }
    const uint32_t directoryCount = U32(b_, optional + 92);
    if (directoryCount > 2) resourceRva_ = U32(b_, optional + 96 + 2 * 8);
    return std::string();
  }

  // The fixed file information of the version resource; false when absent.
  bool FileVersion(uint32_t& ms, uint32_t& ls) {
    const size_t root = Offset(resourceRva_);
    if (!resourceRva_ || root == 0) return false;
    size_t entry = FirstEntryFor(root, 16);  // RT_VERSION
    for (int level = 0; level < 2 && entry; ++level) {
      const uint32_t target = U32(b_, entry + 4);
      if (!(target & 0x80000000u)) return false;
      entry = FirstEntryFor(root + (target & 0x7FFFFFFFu), -1);
    }
    if (!entry) return false;
    const uint32_t leaf = U32(b_, entry + 4);
    if (leaf & 0x80000000u) return false;
    const size_t data = root + leaf;
    const size_t at = Offset(U32(b_, data));
    const uint32_t size = U32(b_, data + 4);
    if (at == 0 || at + size > b_.size()) return false;
    for (size_t p = at; p + 52 <= at + size; p += 4) {
      if (U32(b_, p) == 0xFEEF04BDu) {
        ms = U32(b_, p + 8);
        ls = U32(b_, p + 12);
        return true;
      }
    }
    return false;
  }

 private:
  size_t Offset(uint32_t rva) const {
    for (const Section& s : sections_) {
      if (rva >= s.virtualAddress && rva < s.virtualAddress + std::max(s.virtualSize, s.rawSize))
        return s.rawOffset + (rva - s.virtualAddress);
    }
    return 0;
  }
  // The entry with this numeric id in a resource directory (-1: the first).
  size_t FirstEntryFor(size_t directory, long id) const {
    const uint16_t named = U16(b_, directory + 12), numbered = U16(b_, directory + 14);
    for (unsigned i = 0; i < static_cast<unsigned>(named) + numbered; ++i) {
      const size_t e = directory + 16 + i * 8u;
      if (id < 0 || (i >= named && U32(b_, e) == static_cast<uint32_t>(id))) return e;
    }
    return 0;
  }

  Bytes b_;
  std::vector<Section> sections_;
  uint32_t resourceRva_ = 0;
};

bool OnUpdateLine(uint32_t ms, uint32_t ls) {
  const unsigned major = ms >> 16, minor = ms & 0xFFFF, third = ls >> 16;
  return major == 3 && (minor == 7 || minor == 8) && third <= 5;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: payload_check LIBRARY\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "payload_check: cannot read %s\n", argv[1]);
    return 1;
  }
  Image image(Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  const std::string why = image.CheckI386Dll();
  if (!why.empty()) {
    std::fprintf(stderr, "payload_check: %s is refused as a payload: %s (an i386 DLL is needed)\n",
                 argv[1], why.c_str());
    return 1;
  }
  uint32_t ms = 0, ls = 0;
  if (!image.FileVersion(ms, ls)) {
    std::fprintf(stderr, "payload_check: %s is refused as a payload: it has no version resource\n",
                 argv[1]);
    return 1;
  }
  if (OnUpdateLine(ms, ls)) {
    std::fprintf(stderr,
                 "payload_check: %s is refused as a payload: its file version %u.%u.%u.%u lies on "
                 "an update line (3.7.0-3.7.5, 3.8.0-3.8.5), so the updater would install it "
                 "again on every run\n",
                 argv[1], ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
    return 1;
  }
  std::printf("%u.%u.%u.%u\n", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
  return 0;
}
