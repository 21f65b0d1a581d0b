// Colour from a Bayer mosaic.
#include <array>

#include "pixels/pixels_internal.h"

namespace pixels {

namespace {

enum channel : unsigned { red, green, blue };

// The colours of a 2x2 cell, row by row, as the pattern's name reads.
channel colour_at(mosaic pattern, std::uint64_t x, std::uint64_t y) {
  static constexpr std::array<std::array<channel, 4>, 5> cells{{
      {green, green, green, green},  // none: never asked
      {red, green, green, blue},
      {green, red, blue, green},
      {green, blue, red, green},
      {blue, green, green, red},
  }};
  return cells[static_cast<unsigned>(pattern)][(y % 2) * 2 + x % 2];
}

}  // namespace

void demosaic(const std::vector<std::uint16_t> &plane, std::uint32_t width, std::uint32_t height,
              mosaic pattern, std::vector<std::uint16_t> &rgb) {
  rgb.resize(plane.size() * 3);
  for (std::uint64_t y = 0; y < height; ++y) {
    for (std::uint64_t x = 0; x < width; ++x) {
      std::array<std::uint32_t, 3> sum{}, count{};
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          // Wraps past the top or left edge to a huge value: outside too.
          const std::uint64_t nx = x + dx, ny = y + dy;
          if ((dx == 0 && dy == 0) || nx >= width || ny >= height) continue;
          const channel c = colour_at(pattern, nx, ny);
          sum[c] += plane[ny * width + nx];
          ++count[c];
        }
      }
      const std::uint64_t at = y * width + x;
      const channel own = colour_at(pattern, x, y);
      for (unsigned c = red; c <= blue; ++c) {
        std::uint32_t v = 0;
        if (c == own)
          v = plane[at];
        else if (count[c] != 0)
          v = (sum[c] + count[c] / 2) / count[c];
        rgb[3 * at + c] = static_cast<std::uint16_t>(v);
      }
    }
  }
}

}  // namespace pixels
