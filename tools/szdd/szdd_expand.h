#pragma once
// A strict reader of SZDD containers (mode A). Unlike the Windows LZ
// expansion, it refuses a container that is cut short or whose stream does
// not give exactly the stated length.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace szdd {

struct Expansion {
  bool ok = false;
  std::string error;  // why the container was refused, when !ok
  std::vector<std::uint8_t> bytes;
  std::uint8_t cutChar = 0;
  std::uint32_t statedLength = 0;
  std::size_t literals = 0;
  std::size_t references = 0;
  // References naming the ring slot at the write position, which decoders
  // that work with distances read differently.
  std::size_t writeSlotReferences = 0;
};

Expansion Expand(const std::uint8_t* data, std::size_t size);

}  // namespace szdd
