// One entry for every format: check the block holds the image, then
// unpack, demosaic or turn YUV into RGB.
#include <algorithm>
#include <array>

#include "pixels/pixels_internal.h"

namespace pixels {

namespace {

std::uint8_t clamp_byte(std::int32_t v) {
  return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

// Full-range ITU-R BT.601, U and V offset by 128, as the formats' Y'CbCr
// is defined; fixed point in 1/65536 with rounding to nearest.
std::array<std::uint8_t, 3> rgb_of(unsigned y, unsigned u, unsigned v) {
  const std::int32_t cb = static_cast<std::int32_t>(u) - 128;
  const std::int32_t cr = static_cast<std::int32_t>(v) - 128;
  const std::int32_t luma = static_cast<std::int32_t>(y);
  constexpr std::int32_t half = 1 << 15;
  return {clamp_byte(luma + ((91881 * cr + half) >> 16)),
          clamp_byte(luma + ((-22554 * cb - 46802 * cr + half) >> 16)),
          clamp_byte(luma + ((116130 * cb + half) >> 16))};
}

void convert_colour(std::span<const std::byte> data, const format &f, const geometry &g,
                    const lines &l, image &out) {
  out.channels = 3;
  out.samples8.resize(static_cast<std::size_t>(g.width) * g.height * 3);
  const auto at = [&](std::uint64_t i) { return std::to_integer<unsigned>(data[i]); };
  const std::uint64_t bytes_per_pixel = f.pixel_bits / 8;
  std::size_t o = 0;
  for (std::uint64_t y = 0; y < g.height; ++y) {
    const std::uint64_t line = y * l.stride;
    for (std::uint64_t x = 0; x < g.width; ++x) {
      std::array<std::uint8_t, 3> px{};
      if (f.how == layout::rgb) {
        const std::uint64_t p = line + x * bytes_per_pixel;
        for (unsigned c = 0; c < 3; ++c) px[c] = static_cast<std::uint8_t>(at(p + f.order[c]));
      } else if (f.how == layout::yuv422) {
        const std::uint64_t pair = line + 4 * (x / 2);
        const unsigned luma = at(pair + f.order[x % 2 == 0 ? 0 : 2]);
        px = rgb_of(luma, at(pair + f.order[1]), at(pair + f.order[3]));
      } else {
        const std::uint64_t p = line + 3 * x;
        px = rgb_of(at(p + f.order[0]), at(p + f.order[1]), at(p + f.order[2]));
      }
      for (std::uint8_t s : px) out.samples8[o++] = s;
    }
  }
}

}  // namespace

std::uint64_t data_size(const format &f, const geometry &g) {
  lines l;
  return lines_of(f, g, l) ? l.total : 0;
}

outcome convert(std::span<const std::byte> data, std::uint32_t code, const geometry &g,
                bayer_output bayer, image &out) {
  const format *f = find_format(code);
  if (f == nullptr) return outcome::unknown_format;
  lines l;
  if (!lines_of(*f, g, l)) return outcome::bad_geometry;
  if (data.size() < l.total) return outcome::short_data;
  out = image{};
  out.width = g.width;
  out.height = g.height;
  if (f->how == layout::rgb || f->how == layout::yuv422 || f->how == layout::yuv444) {
    convert_colour(data, *f, g, l, out);
    return outcome::ok;
  }
  std::vector<std::uint16_t> plane;
  unpack_samples(data, *f, g, l, plane);
  if (f->bayer != mosaic::none && bayer == bayer_output::demosaic) {
    std::vector<std::uint16_t> rgb;
    demosaic(plane, g.width, g.height, f->bayer, rgb);
    plane.swap(rgb);
    out.channels = 3;
  }
  if (f->bits <= 8) {
    out.samples8.assign(plane.begin(), plane.end());
    return outcome::ok;
  }
  // Wider samples go to the top of 16 bits, so that one scene looks the
  // same at any of the camera's bit depths.
  out.depth = 16;
  const unsigned shift = 16 - f->bits;
  out.samples16.resize(plane.size());
  std::transform(plane.begin(), plane.end(), out.samples16.begin(),
                 [shift](std::uint16_t v) { return static_cast<std::uint16_t>(v << shift); });
  return outcome::ok;
}

}  // namespace pixels
