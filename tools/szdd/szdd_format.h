#pragma once
// The SZDD container of the Windows LZ expansion interface, mode A.
//
//   offset 0   8 bytes  signature 53 5A 44 44 88 F0 27 33
//   offset 8   1 byte   compression mode, 'A'
//   offset 9   1 byte   the character cut from the end of the file name, 0 for none
//   offset 10  4 bytes  expanded length, unsigned, little-endian
//   offset 14  ...      LZSS stream
//
// The stream works on a 4096-byte ring that starts filled with spaces, with the
// write position at 4080. Groups of up to eight items each begin with a flag
// byte read least significant bit first: a set bit is one literal byte, a clear
// bit a back-reference of two bytes b0 b1 naming the absolute ring position
// b0 | (b1 & 0xF0) << 4 and the length (b1 & 0x0F) + 3. Every byte produced,
// literal or copied, is stored at the write position, which then advances.

#include <cstddef>
#include <cstdint>

namespace szdd {

constexpr std::uint8_t kSignature[8] = {0x53, 0x5A, 0x44, 0x44, 0x88, 0xF0, 0x27, 0x33};
constexpr std::uint8_t kModeA = 0x41;
constexpr std::size_t kHeaderSize = 14;

constexpr std::size_t kRingSize = 4096;
constexpr std::size_t kRingMask = kRingSize - 1;
constexpr std::size_t kRingStart = kRingSize - 16;
constexpr std::uint8_t kRingFill = 0x20;

constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 18;

}  // namespace szdd
