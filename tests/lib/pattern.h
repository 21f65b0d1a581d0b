// The one payload pattern of the tests: what strobix -c sends. In every
// 4-byte word of a block, the low 16 bits of the block id, then the low 16
// bits of the word's index in the block, both high byte first. A byte's value
// follows from its block and its place in it, so data that lands in the
// wrong block or at the wrong offset shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testlib {

constexpr std::uint8_t pattern_byte(std::uint64_t block_id, std::uint64_t offset) {
  const std::uint64_t word = offset / 4;
  switch (offset % 4) {
    case 0:
      return static_cast<std::uint8_t>(block_id >> 8);
    case 1:
      return static_cast<std::uint8_t>(block_id);
    case 2:
      return static_cast<std::uint8_t>(word >> 8);
    default:
      return static_cast<std::uint8_t>(word);
  }
}

// The bytes of block_id from offset on.
inline void fill_pattern(void *out, std::size_t size, std::uint64_t block_id,
                         std::uint64_t offset = 0) {
  auto *p = static_cast<std::uint8_t *>(out);
  for (std::size_t i = 0; i < size; ++i) p[i] = pattern_byte(block_id, offset + i);
}

inline std::vector<std::byte> pattern(std::uint64_t block_id, std::uint64_t offset,
                                      std::size_t size) {
  std::vector<std::byte> out(size);
  fill_pattern(out.data(), size, block_id, offset);
  return out;
}

inline bool pattern_holds(const void *data, std::size_t size, std::uint64_t block_id,
                          std::uint64_t offset = 0) {
  const auto *p = static_cast<const std::uint8_t *>(data);
  for (std::size_t i = 0; i < size; ++i) {
    if (p[i] != pattern_byte(block_id, offset + i)) return false;
  }
  return true;
}

}  // namespace testlib
