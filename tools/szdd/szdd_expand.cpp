#include "szdd_expand.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "szdd_format.h"

namespace szdd {
namespace {

Expansion Refuse(Expansion result, std::string why) {
  result.ok = false;
  result.error = std::move(why);
  result.bytes.clear();
  return result;
}

}  // namespace

Expansion Expand(const std::uint8_t* data, std::size_t size) {
  Expansion result;
  if (size < kHeaderSize) {
    return Refuse(std::move(result), "truncated container: " + std::to_string(size) + " bytes, the header alone takes " +
                                         std::to_string(kHeaderSize));
  }
  if (std::memcmp(data, kSignature, sizeof kSignature) != 0) {
    return Refuse(std::move(result), "not an SZDD container: wrong signature");
  }
  if (data[8] != kModeA) {
    return Refuse(std::move(result), "compression mode " + std::to_string(data[8]) + " is not 'A' (65)");
  }
  result.cutChar = data[9];
  result.statedLength = static_cast<std::uint32_t>(data[10]) | static_cast<std::uint32_t>(data[11]) << 8 |
                        static_cast<std::uint32_t>(data[12]) << 16 | static_cast<std::uint32_t>(data[13]) << 24;

  std::array<std::uint8_t, kRingSize> ring;
  ring.fill(kRingFill);
  std::size_t write = kRingStart;
  std::vector<std::uint8_t>& out = result.bytes;
  out.reserve(std::min<std::size_t>(result.statedLength, size * kMaxMatch));

  std::size_t at = kHeaderSize;
  while (at < size) {
    const std::size_t flagOffset = at;
    const unsigned flags = data[at++];
    if (at == size) {
      return Refuse(std::move(result),
                    "truncated container: the flag byte at offset " + std::to_string(flagOffset) + " has no item after it");
    }
    for (unsigned item = 0; item < 8 && at < size; ++item) {
      if (flags >> item & 1) {
        const std::uint8_t byte = data[at++];
        out.push_back(byte);
        ring[write] = byte;
        write = (write + 1) & kRingMask;
        ++result.literals;
        continue;
      }
      if (size - at < 2) {
        return Refuse(std::move(result), "truncated container: the back-reference at offset " + std::to_string(at) +
                                             " lacks its second byte");
      }
      const unsigned b0 = data[at];
      const unsigned b1 = data[at + 1];
      at += 2;
      std::size_t read = b0 | (b1 & 0xF0) << 4;
      const unsigned length = (b1 & 0x0F) + kMinMatch;
      ++result.references;
      if (read == write) ++result.writeSlotReferences;
      // One byte at a time: a reference may read what it has just produced.
      for (unsigned k = 0; k < length; ++k) {
        const std::uint8_t byte = ring[read];
        read = (read + 1) & kRingMask;
        out.push_back(byte);
        ring[write] = byte;
        write = (write + 1) & kRingMask;
      }
    }
  }
  if (out.size() != result.statedLength) {
    const std::size_t produced = out.size();
    return Refuse(std::move(result), "the stream expands to " + std::to_string(produced) + " bytes, the header states " +
                                         std::to_string(result.statedLength));
  }
  result.ok = true;
  return result;
}

}  // namespace szdd
