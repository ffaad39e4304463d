#pragma once
// Inputs that exercise the container's corners: shared by the host tests and
// by the generator of the containers that the Wine test expands.

#include <cstdint>
#include <string>
#include <vector>

namespace szdd_test {

struct Sample {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

// Deterministic: the same bytes on every run and machine. The two PE samples
// are copies of the libraries named at configure time.
std::vector<Sample> MakeSamples();

// Small deterministic generator (xorshift64*), so that samples do not depend
// on a standard library's distributions.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed ? seed : 1) {}
  std::uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
  }
  std::uint32_t Below(std::uint32_t bound) { return static_cast<std::uint32_t>((Next() >> 32) % bound); }

 private:
  std::uint64_t state_;
};

std::vector<std::uint8_t> ReadFileOrDie(const std::string& path);

}  // namespace szdd_test
