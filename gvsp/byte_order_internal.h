// Big-endian field access for the wire codecs (gvsp/ and gvcp/), at offsets
// the caller has already checked against the datagram or the output span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace byte_order {

using in = std::span<const std::byte>;
using out = std::span<std::byte>;

inline std::uint16_t get16(in b, std::size_t off) {
  return static_cast<std::uint16_t>((std::to_integer<unsigned>(b[off]) << 8) |
                                    std::to_integer<unsigned>(b[off + 1]));
}
inline std::uint32_t get24(in b, std::size_t off) {
  return (std::to_integer<std::uint32_t>(b[off]) << 16) |
         (std::to_integer<std::uint32_t>(b[off + 1]) << 8) |
         std::to_integer<std::uint32_t>(b[off + 2]);
}
inline std::uint32_t get32(in b, std::size_t off) {
  return (std::uint32_t{get16(b, off)} << 16) | get16(b, off + 2);
}
inline std::uint64_t get64(in b, std::size_t off) {
  return (std::uint64_t{get32(b, off)} << 32) | get32(b, off + 4);
}

inline void put8(out b, std::size_t off, std::uint8_t v) {
  b[off] = std::byte{v};
}
inline void put16(out b, std::size_t off, std::uint16_t v) {
  b[off] = std::byte(v >> 8);
  b[off + 1] = std::byte(v & 0xFF);
}
inline void put24(out b, std::size_t off, std::uint32_t v) {
  b[off] = std::byte((v >> 16) & 0xFF);
  put16(b, off + 1, static_cast<std::uint16_t>(v & 0xFFFF));
}
inline void put32(out b, std::size_t off, std::uint32_t v) {
  put16(b, off, static_cast<std::uint16_t>(v >> 16));
  put16(b, off + 2, static_cast<std::uint16_t>(v & 0xFFFF));
}
inline void put64(out b, std::size_t off, std::uint64_t v) {
  put32(b, off, static_cast<std::uint32_t>(v >> 32));
  put32(b, off + 4, static_cast<std::uint32_t>(v & 0xFFFFFFFF));
}

}  // namespace byte_order
