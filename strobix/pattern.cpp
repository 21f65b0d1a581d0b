// The test image: every pixel a function of its place on the sensor, so that
// a packet put in the wrong place breaks the ramps, and every format drawn
// differently enough that one read as another looks wrong at a glance.
#include <algorithm>
#include <bit>
#include <cstring>

#include "pattern_internal.h"

namespace {

// In GenICam's pixel format naming convention, unpacked formats of more than
// 8 bits are little-endian words.
const pixel_format_info formats[] = {
    {0x01080001, "Mono8", 8},         {0x01100003, "Mono10", 16}, {0x01100005, "Mono12", 16},
    {0x010C0006, "Mono12Packed", 12}, {0x01100007, "Mono16", 16}, {0x01080009, "BayerRG8", 8},
    {0x01100011, "BayerRG12", 16},    {0x02180014, "RGB8", 24},   {0x02180015, "BGR8", 24},
    {0x02100032, "YUV422_8", 16},
};

enum : std::uint32_t {
  mono8 = 0x01080001,
  mono10 = 0x01100003,
  mono12 = 0x01100005,
  mono12_packed = 0x010C0006,
  mono16 = 0x01100007,
  bayer_rg8 = 0x01080009,
  bayer_rg12 = 0x01100011,
  rgb8 = 0x02180014,
  bgr8 = 0x02180015,
  yuv422_8 = 0x02100032,
};

// An n-bit value from an 8-bit one: the 8 bits on top, and below them the
// low bits of X + Y, so that the bits an 8-bit viewer drops still say where
// the pixel is (a nibble in the wrong place shows as noise).
std::uint32_t widen(std::uint32_t v8, unsigned bits, std::uint32_t x, std::uint32_t y) {
  const unsigned low = bits - 8;
  return (v8 << low) | ((x + y) & ((1u << low) - 1));
}

void put_le16(std::byte *p, std::uint32_t v) {
  p[0] = std::byte(v & 0xFF);
  p[1] = std::byte((v >> 8) & 0xFF);
}

void put_be32(std::byte *p, std::uint32_t v) {
  p[0] = std::byte(v >> 24);
  p[1] = std::byte((v >> 16) & 0xFF);
  p[2] = std::byte((v >> 8) & 0xFF);
  p[3] = std::byte(v & 0xFF);
}

void put_be64(std::byte *p, std::uint64_t v) {
  put_be32(p, static_cast<std::uint32_t>(v >> 32));
  put_be32(p + 4, static_cast<std::uint32_t>(v));
}

// The scene behind every colour format: red grows to the right, green
// downward, blue stays at half; each repeats every 256 pixels.
struct rgb {
  std::uint32_t r, g, b;
};
rgb scene(std::uint32_t x, std::uint32_t y) {
  return {x & 0xFF, y & 0xFF, 128};
}

std::uint32_t mono(std::uint32_t x, std::uint32_t y) {
  return (x + 2 * y) & 0xFF;
}

// The channel a Bayer RG sensor sees at (x, y): R G on even lines, G B on odd.
std::uint32_t bayer_rg(std::uint32_t x, std::uint32_t y) {
  const rgb c = scene(x, y);
  if ((y & 1) == 0) return (x & 1) == 0 ? c.r : c.g;
  return (x & 1) == 0 ? c.g : c.b;
}

void fill_line(std::byte *p, const image_geometry &g, std::uint32_t y) {
  const std::uint32_t x0 = g.offset_x;
  switch (g.pixel_format) {
    case mono8:
      for (std::uint32_t i = 0; i < g.width; ++i) p[i] = std::byte(mono(x0 + i, y));
      break;
    case mono10:
    case mono12:
    case mono16: {
      const unsigned bits = g.pixel_format == mono10 ? 10 : g.pixel_format == mono12 ? 12 : 16;
      for (std::uint32_t i = 0; i < g.width; ++i)
        put_le16(p + 2 * i, widen(mono(x0 + i, y), bits, x0 + i, y));
      break;
    }
    case mono12_packed:
      // Two pixels in three bytes: the high 8 bits of each in bytes 0 and 2,
      // their low nibbles in byte 1 (the first pixel's in its low half).
      for (std::uint32_t i = 0; i + 1 < g.width; i += 2) {
        const std::uint32_t a = widen(mono(x0 + i, y), 12, x0 + i, y);
        const std::uint32_t b = widen(mono(x0 + i + 1, y), 12, x0 + i + 1, y);
        std::byte *q = p + 3 * (i / 2);
        q[0] = std::byte(a >> 4);
        q[1] = std::byte(((b & 0xF) << 4) | (a & 0xF));
        q[2] = std::byte(b >> 4);
      }
      break;
    case bayer_rg8:
      for (std::uint32_t i = 0; i < g.width; ++i) p[i] = std::byte(bayer_rg(x0 + i, y));
      break;
    case bayer_rg12:
      for (std::uint32_t i = 0; i < g.width; ++i)
        put_le16(p + 2 * i, widen(bayer_rg(x0 + i, y), 12, x0 + i, y));
      break;
    case rgb8:
    case bgr8:
      for (std::uint32_t i = 0; i < g.width; ++i) {
        const rgb c = scene(x0 + i, y);
        const bool swap = g.pixel_format == bgr8;
        p[3 * i] = std::byte(swap ? c.b : c.r);
        p[3 * i + 1] = std::byte(c.g);
        p[3 * i + 2] = std::byte(swap ? c.r : c.b);
      }
      break;
    case yuv422_8:
      // Y0 U Y1 V per pair of pixels: luma as in Mono8, U and V the scene's
      // red and green of the pair's first pixel.
      for (std::uint32_t i = 0; i + 1 < g.width; i += 2) {
        const rgb c = scene(x0 + i, y);
        std::byte *q = p + 2 * i;
        q[0] = std::byte(mono(x0 + i, y));
        q[1] = std::byte(c.r);
        q[2] = std::byte(mono(x0 + i + 1, y));
        q[3] = std::byte(c.g);
      }
      break;
    default:
      break;
  }
}

std::uint32_t enabled_chunk(std::uint32_t chunk_control, unsigned i) {
  static constexpr std::uint32_t bits[] = {0x2, 0x4, 0x8};
  return chunk_control & bits[i];
}

}  // namespace

const pixel_format_info *find_pixel_format(std::uint32_t pfnc) {
  for (const pixel_format_info &f : formats)
    if (f.pfnc == pfnc) return &f;
  return nullptr;
}

std::uint64_t image_bytes(const image_geometry &g) {
  const pixel_format_info *f = find_pixel_format(g.pixel_format);
  if (f == nullptr) return 0;
  return std::uint64_t{g.width} * g.height * f->bits_per_pixel / 8;
}

void fill_test_image(std::span<std::byte> out, const image_geometry &g, std::uint32_t first_line,
                     std::uint32_t lines) {
  const std::uint64_t line_bytes = g.height == 0 ? 0 : image_bytes(g) / g.height;
  for (std::uint32_t l = 0; l < lines && (l + 1) * line_bytes <= out.size(); ++l)
    fill_line(out.data() + l * line_bytes, g, g.offset_y + first_line + l);
}

std::uint64_t chunk_bytes(std::uint32_t chunk_control) {
  if ((chunk_control & 0x1) == 0) return 0;
  return chunk_tag_bytes +
         std::popcount(chunk_control & 0xE) * (chunk_value_bytes + chunk_tag_bytes);
}

void write_chunks(std::span<std::byte> out, std::uint64_t offset, std::uint64_t image_size,
                  std::uint32_t chunk_control, const chunk_values &v) {
  const std::uint64_t total = chunk_bytes(chunk_control);
  const std::uint64_t end = offset + out.size();
  if (total == 0 || end <= image_size || offset >= image_size + total) return;
  // The whole chunk area is small: build it, then copy the part asked for.
  std::byte area[chunk_tag_bytes + 3 * (chunk_value_bytes + chunk_tag_bytes)];
  std::size_t n = 0;
  put_be32(area, chunk_id_image);
  put_be32(area + 4, static_cast<std::uint32_t>(image_size));
  n += chunk_tag_bytes;
  static constexpr std::uint32_t ids[] = {chunk_id_timestamp, chunk_id_frame_id, chunk_id_exposure};
  for (unsigned i = 0; i < 3; ++i) {
    if (enabled_chunk(chunk_control, i) == 0) continue;
    const std::uint64_t value = i == 0   ? v.timestamp
                                : i == 1 ? v.frame_id
                                         : std::bit_cast<std::uint64_t>(v.exposure_us);
    put_be64(area + n, value);
    put_be32(area + n + 8, ids[i]);
    put_be32(area + n + 12, chunk_value_bytes);
    n += chunk_value_bytes + chunk_tag_bytes;
  }
  const std::uint64_t from = std::max(offset, image_size);
  const std::uint64_t to = std::min(end, image_size + total);
  std::memcpy(out.data() + (from - offset), area + (from - image_size), to - from);
}
