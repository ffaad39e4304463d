#include "szdd_pack.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "szdd_format.h"

// Which ring positions a reference may name.
//
// At input position i the write slot is w = (4080 + i) mod 4096. A reference
// to ring position p reads slot (p + k) mod 4096 at its step k and then stores
// the byte at slot (w + k) mod 4096. Let d = (w - p) mod 4096.
//
// - d in 1..4095: step k reads slot w + k - d. When k >= d that slot was
//   stored at step k - d of this same copy, so it holds output byte i + k - d;
//   otherwise it still holds what input position i + k - d stored earlier, or
//   a space of the initial fill when that position lies before the input. So
//   the byte read is always X[i + k - d], X being the input preceded by
//   spaces: a plain copy from distance d, overlapping copies included, and
//   every decoder that copies byte by byte agrees on it.
// - d = 0 (p = w): every step reads the slot it is about to overwrite, the
//   byte from 4096 positions back. A decoder that turns the absolute position
//   into a distance, (w - p) mod 4096, gets 0 instead of 4096 and copies
//   garbage. Such references are never emitted.
//
// Hence a reference at input position i may copy from X[i - d] for d in
// 1..4095, and the candidates are the 4095 positions before i in the input
// with 4095 virtual spaces in front of it.

namespace szdd {
namespace {

constexpr std::size_t kMaxDistance = kRingSize - 1;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// A text position keyed by its next kMaxMatch bytes (zero-padded past the
// end) and by how many of them exist. Comparing (head, middle, tail) orders
// the keys lexicographically with a proper prefix before its extensions, so
// all keys that share their first L bytes lie next to each other.
struct Key {
  std::uint64_t head;    // bytes 0..7, first byte most significant
  std::uint64_t middle;  // bytes 8..15
  std::uint32_t tail;    // byte 16 << 16 | byte 17 << 8 | length
  std::size_t position;
};

bool KeyLess(const Key& a, const Key& b) {
  if (a.head != b.head) return a.head < b.head;
  if (a.middle != b.middle) return a.middle < b.middle;
  return a.tail < b.tail;
}

std::uint64_t BigEndian64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

std::vector<Match> FindLongestMatches(const std::uint8_t* data, std::size_t size) {
  std::vector<Match> matches(size);
  if (size == 0) return matches;

  // The text: the virtual spaces reachable from input position 0, the input,
  // and zero padding for the keys of the last positions.
  const std::size_t lead = kMaxDistance;
  const std::size_t total = lead + size;
  std::vector<std::uint8_t> text(total + kMaxMatch, 0);
  std::fill(text.begin(), text.begin() + lead, kRingFill);
  std::copy(data, data + size, text.begin() + lead);

  std::vector<Key> keys(total);
  for (std::size_t p = 0; p < total; ++p) {
    const std::uint8_t* bytes = text.data() + p;
    const std::uint32_t length = static_cast<std::uint32_t>(std::min<std::size_t>(kMaxMatch, total - p));
    keys[p] = Key{BigEndian64(bytes), BigEndian64(bytes + 8),
                  static_cast<std::uint32_t>(bytes[16]) << 16 | static_cast<std::uint32_t>(bytes[17]) << 8 | length, p};
  }
  std::sort(keys.begin(), keys.end(), KeyLess);

  // common[k]: how many leading bytes the keys k - 1 and k share.
  std::vector<std::uint8_t> common(total, 0);
  for (std::size_t k = 1; k < total; ++k) {
    const std::size_t limit = std::min(keys[k - 1].tail & 0xFF, keys[k].tail & 0xFF);
    const std::uint8_t* a = text.data() + keys[k - 1].position;
    const std::uint8_t* b = text.data() + keys[k].position;
    std::size_t n = 0;
    while (n < limit && a[n] == b[n]) ++n;
    common[k] = static_cast<std::uint8_t>(n);
  }

  // For each length L, the keys sharing their first L bytes form a group. A
  // match of length L exists at input position i exactly when the latest
  // earlier member of i's group lies within kMaxDistance; that member is also
  // the nearest source, so one sweep in text order per length settles it.
  // Lengths go upwards and every found match extends the previous one, so
  // each entry ends as the longest.
  std::vector<std::size_t> group(total);
  std::vector<std::size_t> latest;
  for (unsigned length = kMinMatch; length <= kMaxMatch; ++length) {
    std::size_t groups = 0;
    for (std::size_t k = 0; k < total; ++k) {
      if ((keys[k].tail & 0xFF) < length) {
        group[keys[k].position] = kNone;
        continue;
      }
      if (k == 0 || common[k] < length) ++groups;
      group[keys[k].position] = groups - 1;
    }
    latest.assign(groups, kNone);
    bool found = false;
    for (std::size_t p = 0; p < total; ++p) {
      const std::size_t g = group[p];
      if (g == kNone) continue;
      const std::size_t source = latest[g];
      if (p >= lead && source != kNone && p - source <= kMaxDistance) {
        // Text position j is input position j - lead, stored in ring slot
        // (kRingStart + j - lead) mod kRingSize.
        matches[p - lead] = Match{static_cast<std::uint8_t>(length),
                                  static_cast<std::uint16_t>((source + kRingSize + kRingStart - lead) & kRingMask)};
        found = true;
      }
      latest[g] = p;
    }
    if (!found) break;  // no position has L bytes, so none has more
  }
  return matches;
}

std::vector<std::uint8_t> Pack(const std::vector<std::uint8_t>& input, std::uint8_t cutChar) {
  if (input.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("input longer than the container's 32-bit length field");
  }
  const std::size_t size = input.size();
  const std::vector<Match> matches = FindLongestMatches(input.data(), size);

  // Shortest parse. A literal takes 9 bits (8 plus its flag bit), a reference
  // 17. The stream of a parse with payload P bytes and N items takes
  // P + ceil(N / 8) bytes, which is ceil((8P + N) / 8): the byte count is the
  // bit count rounded up to whole bytes, a non-decreasing function of it, so a
  // parse with the fewest bits also has the fewest bytes. Only the lengths
  // matter, so the longest match per position with all its prefixes covers
  // every choice the format allows.
  std::vector<std::uint64_t> bits(size + 1, 0);
  std::vector<std::uint8_t> step(size, 1);
  for (std::size_t i = size; i-- > 0;) {
    std::uint64_t best = 9 + bits[i + 1];
    std::uint8_t choice = 1;
    for (unsigned length = kMinMatch; length <= matches[i].length; ++length) {
      const std::uint64_t cost = 17 + bits[i + length];
      if (cost < best) {
        best = cost;
        choice = static_cast<std::uint8_t>(length);
      }
    }
    bits[i] = best;
    step[i] = choice;
  }

  std::vector<std::uint8_t> out(kSignature, kSignature + sizeof kSignature);
  out.push_back(kModeA);
  out.push_back(cutChar);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(size >> shift));
  out.reserve(kHeaderSize + static_cast<std::size_t>((bits[0] + 7) / 8));

  std::size_t i = 0;
  while (i < size) {
    const std::size_t flags = out.size();
    out.push_back(0);
    for (unsigned item = 0; item < 8 && i < size; ++item) {
      if (step[i] == 1) {
        out[flags] = static_cast<std::uint8_t>(out[flags] | 1u << item);
        out.push_back(input[i]);
        i += 1;
      } else {
        const unsigned position = matches[i].ringPosition;
        out.push_back(static_cast<std::uint8_t>(position & 0xFF));
        out.push_back(static_cast<std::uint8_t>((position >> 4 & 0xF0) | (step[i] - kMinMatch)));
        i += step[i];
      }
    }
  }
  return out;
}

}  // namespace szdd
