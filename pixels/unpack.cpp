// Samples out of their containers: bytes, little-endian words, and the two
// 10/12-bit packings.
#include "pixels/pixels_internal.h"

namespace pixels {

namespace {

// Beyond this a frame is no camera's, and the byte counts below stay far
// from overflowing 64 bits.
constexpr std::uint64_t max_pixels = std::uint64_t{1} << 28;

std::uint64_t bytes_for_bits(std::uint64_t bits) {
  return (bits + 7) / 8;
}

unsigned byte_at(std::span<const std::byte> d, std::uint64_t i) {
  return std::to_integer<unsigned>(d[i]);
}

// Pixel `i` of a stream that starts at byte `start`.
unsigned sample(std::span<const std::byte> d, const format &f, std::uint64_t start,
                std::uint64_t i) {
  const unsigned mask = (1u << f.bits) - 1;
  switch (f.how) {
    case layout::mono:
      if (f.pixel_bits == 8) return byte_at(d, start + i);
      // Wider samples come in 16-bit little-endian words, the stream
      // channel's default byte order.
      return (byte_at(d, start + 2 * i) | byte_at(d, start + 2 * i + 1) << 8) & mask;
    case layout::packed_lsb: {
      // The stream fills each byte from its least significant bit, and a
      // pixel's low bits come first.
      const std::uint64_t bit = i * f.bits;
      const std::uint64_t first = start + bit / 8;
      const unsigned shift = static_cast<unsigned>(bit % 8);
      const std::uint64_t n = bytes_for_bits(shift + f.bits);
      std::uint32_t v = 0;
      for (std::uint64_t k = 0; k < n; ++k) v |= byte_at(d, first + k) << (8 * k);
      return (v >> shift) & mask;
    }
    case layout::packed_pair: {
      // Bytes 0 and 2 hold the two pixels' high eight bits; byte 1 the
      // first pixel's low bits from bit 0, the second's from bit 4.
      const std::uint64_t group = start + 3 * (i / 2);
      const unsigned low_bits = f.bits - 8;
      const unsigned low_mask = (1u << low_bits) - 1;
      if (i % 2 == 0) return byte_at(d, group) << low_bits | (byte_at(d, group + 1) & low_mask);
      return byte_at(d, group + 2) << low_bits | ((byte_at(d, group + 1) >> 4) & low_mask);
    }
    default:
      return 0;
  }
}

}  // namespace

bool lines_of(const format &f, const geometry &g, lines &out) {
  if (g.width == 0 || g.height == 0) return false;
  const std::uint64_t w = g.width, h = g.height;
  if (w * h > max_pixels) return false;
  const bool bit_packed = f.how == layout::packed_lsb || f.how == layout::packed_pair;
  out.continuous = bit_packed && g.padding_x == 0;
  if (out.continuous) {
    out.line_bytes = bytes_for_bits(w * f.pixel_bits);
    out.stride = 0;
    out.total = bytes_for_bits(w * h * f.pixel_bits);
    return true;
  }
  // Two pixels share their U and V: a line holds whole pairs.
  out.line_bytes = f.how == layout::yuv422 ? 4 * ((w + 1) / 2) : bytes_for_bits(w * f.pixel_bits);
  out.stride = out.line_bytes + g.padding_x;
  out.total = (h - 1) * out.stride + out.line_bytes;
  return true;
}

void unpack_samples(std::span<const std::byte> data, const format &f, const geometry &g,
                    const lines &l, std::vector<std::uint16_t> &out) {
  out.resize(static_cast<std::size_t>(g.width) * g.height);
  std::size_t o = 0;
  for (std::uint64_t y = 0; y < g.height; ++y) {
    const std::uint64_t start = l.continuous ? 0 : y * l.stride;
    const std::uint64_t first = l.continuous ? y * g.width : 0;
    for (std::uint64_t x = 0; x < g.width; ++x)
      out[o++] = static_cast<std::uint16_t>(sample(data, f, start, first + x));
  }
}

}  // namespace pixels
