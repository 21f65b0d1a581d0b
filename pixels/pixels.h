// Camera pixel formats (the GenICam naming convention's codes, as a GVSP
// image leader gives them) turned into rows of 8- or 16-bit gray or RGB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pixels {

// How the samples lie in the block's bytes.
enum class layout : std::uint8_t {
  mono,         // one sample per pixel: a byte, or a little-endian 16-bit word
  packed_lsb,   // a continuous bit stream, each pixel's least significant bit first
  packed_pair,  // two pixels in three bytes: high bits in bytes 0 and 2, low bits in byte 1
  rgb,          // three or four bytes per pixel; the order comes with the format
  yuv422,       // two pixels in four bytes sharing U and V
  yuv444,       // three bytes per pixel
};

// The colour of the first transmitted pixel and of its right neighbour.
enum class mosaic : std::uint8_t { none, rg, gr, gb, bg };

struct format {
  std::uint32_t code;
  const char *name;
  layout how;
  unsigned bits;        // significant bits of a sample
  unsigned pixel_bits;  // bits a pixel takes in the block
  mosaic bayer;
  // rgb: byte offsets of R, G, B within a pixel; yuv422: of Y0, U, Y1, V
  // within a pair; yuv444: of Y, U, V.
  std::uint8_t order[4];
};

// Null for a format that is not converted.
const format *find_format(std::uint32_t code);

// What the leader gives besides the format. padding_x: bytes after each line.
struct geometry {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t padding_x = 0;
};

struct image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  unsigned channels = 1;  // 1 gray, 3 RGB
  unsigned depth = 8;     // bits a sample: 8 or 16
  // Rows top to bottom, samples interleaved: one of the two, by depth.
  // 16-bit values are in host order, their significant bits at the top.
  std::vector<std::uint8_t> samples8;
  std::vector<std::uint16_t> samples16;
};

enum class bayer_output : std::uint8_t { demosaic, mosaic };

enum class outcome : std::uint8_t {
  ok,
  unknown_format,
  short_data,    // fewer bytes than the geometry needs
  bad_geometry,  // no pixels, or more than any camera sends
};

// Bytes the image takes in the block (padding_y, after the last line, not
// counted); 0 when the geometry overflows.
std::uint64_t data_size(const format &f, const geometry &g);

outcome convert(std::span<const std::byte> data, std::uint32_t code, const geometry &g,
                bayer_output bayer, image &out);

}  // namespace pixels
