// What the conversions share inside the library.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pixels/pixels.h"

namespace pixels {

// Where the lines lie. Bit-packed pixels without line padding run on from
// one line into the next, so the whole image is then one stream.
struct lines {
  bool continuous = false;
  std::uint64_t line_bytes = 0;  // what a line's pixels take
  std::uint64_t stride = 0;      // from one line's start to the next's
  std::uint64_t total = 0;       // bytes the image takes
};

// False when the geometry is empty or too large to hold.
bool lines_of(const format &f, const geometry &g, lines &out);

// One raw sample per pixel (masked to the format's bits, not shifted), rows
// top to bottom. `data` must hold `l.total` bytes.
void unpack_samples(std::span<const std::byte> data, const format &f, const geometry &g,
                    const lines &l, std::vector<std::uint16_t> &out);

// Bilinear: each colour a pixel lacks is the rounded mean of that colour's
// pixels among its eight neighbours inside the image. RGB interleaved out.
void demosaic(const std::vector<std::uint16_t> &plane, std::uint32_t width, std::uint32_t height,
              mosaic pattern, std::vector<std::uint16_t> &rgb);

}  // namespace pixels
