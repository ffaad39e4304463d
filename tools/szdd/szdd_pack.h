#pragma once
// The packer: the smallest SZDD container (mode A) that holds a given input.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace szdd {

// The longest back-reference that can start at one input position.
struct Match {
  std::uint8_t length = 0;         // 0 when no reference of kMinMatch or more bytes fits
  std::uint16_t ringPosition = 0;  // the absolute ring position the reference names
};

// For every input position, the longest reference (capped at kMaxMatch and at
// the end of the input) to a ring position that every decoder reads alike;
// all shorter lengths down to kMinMatch are then available from the same
// position. Exposed so that tests can hold it against a brute-force search.
std::vector<Match> FindLongestMatches(const std::uint8_t* data, std::size_t size);

// The whole container: header with the given cut character and the stated
// length, then the stream of the parse with the fewest bytes. Throws
// std::length_error when the input is too long for the 32-bit length field.
std::vector<std::uint8_t> Pack(const std::vector<std::uint8_t>& input, std::uint8_t cutChar = 0);

}  // namespace szdd
