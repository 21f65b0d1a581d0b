// The test image against the formula man strobix gives (the pictures other
// programs take are checked against the same), and chunk data as a client
// finds it, walking back from the end.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "pattern_internal.h"

namespace {

// The documented formula, written out again here on purpose: v8 for mono is
// (X + 2Y) mod 256; an n-bit value is v8 << (n - 8) | (X + Y) mod 2^(n-8);
// the colour scene is R = X mod 256, G = Y mod 256, B = 128.
std::uint32_t mono(std::uint32_t x, std::uint32_t y, unsigned bits) {
  const std::uint32_t v8 = (x + 2 * y) % 256;
  return bits == 8 ? v8 : (v8 << (bits - 8)) | ((x + y) % (1u << (bits - 8)));
}

unsigned byte_at(const std::vector<std::byte> &v, std::size_t i) {
  return std::to_integer<unsigned>(v[i]);
}

TEST(CameraPattern, EveryFormatFollowsTheDocumentedFormula) {
  // A region off the sensor's corner, so that offsets count.
  const std::uint32_t ox = 300, oy = 6, w = 16, h = 4;
  struct Case {
    const char *name;
    std::uint32_t pfnc;
    std::uint64_t bytes;
  } cases[] = {
      {"Mono8", 0x01080001, 64},        {"Mono10", 0x01100003, 128}, {"Mono12", 0x01100005, 128},
      {"Mono12Packed", 0x010C0006, 96}, {"Mono16", 0x01100007, 128}, {"BayerRG8", 0x01080009, 64},
      {"BayerRG12", 0x01100011, 128},   {"RGB8", 0x02180014, 192},   {"BGR8", 0x02180015, 192},
      {"YUV422_8", 0x02100032, 128},
  };
  for (const Case &c : cases) {
    const image_geometry g{c.pfnc, w, h, ox, oy};
    ASSERT_EQ(image_bytes(g), c.bytes) << c.name;
    std::vector<std::byte> img(c.bytes);
    fill_test_image(img, g, 0, h);
    const std::size_t line = c.bytes / h;
    for (std::uint32_t y = 0; y < h; ++y) {
      for (std::uint32_t x = 0; x < w; ++x) {
        const std::uint32_t X = ox + x, Y = oy + y;
        const std::size_t at = y * line;
        std::uint32_t got = 0, want = 0;
        switch (c.pfnc) {
          case 0x01080001:
            got = byte_at(img, at + x), want = mono(X, Y, 8);
            break;
          case 0x01100003:
          case 0x01100005:
          case 0x01100007: {
            const unsigned bits = c.pfnc == 0x01100003 ? 10 : c.pfnc == 0x01100005 ? 12 : 16;
            got = byte_at(img, at + 2 * x) | byte_at(img, at + 2 * x + 1) << 8;
            want = mono(X, Y, bits);
            break;
          }
          case 0x010C0006: {
            // Bytes 0 and 2 the high 8 bits of the pair's pixels, byte 1
            // their low nibbles, the first pixel's in the low half.
            const std::size_t p = at + 3 * (x / 2);
            got = x % 2 == 0 ? byte_at(img, p) << 4 | (byte_at(img, p + 1) & 0xF)
                             : byte_at(img, p + 2) << 4 | byte_at(img, p + 1) >> 4;
            want = mono(X, Y, 12);
            break;
          }
          case 0x01080009:
          case 0x01100011: {
            const unsigned bits = c.pfnc == 0x01080009 ? 8 : 12;
            const std::uint32_t v8 =
                Y % 2 == 0 ? (X % 2 == 0 ? X % 256 : Y % 256) : (X % 2 == 0 ? Y % 256 : 128);
            want = bits == 8 ? v8 : v8 << 4 | (X + Y) % 16;
            got = bits == 8 ? byte_at(img, at + x)
                            : byte_at(img, at + 2 * x) | byte_at(img, at + 2 * x + 1) << 8;
            break;
          }
          case 0x02180014:
          case 0x02180015: {
            const bool bgr = c.pfnc == 0x02180015;
            got = byte_at(img, at + 3 * x) << 16 | byte_at(img, at + 3 * x + 1) << 8 |
                  byte_at(img, at + 3 * x + 2);
            want = bgr ? 128u << 16 | (Y % 256) << 8 | X % 256
                       : (X % 256) << 16 | (Y % 256) << 8 | 128;
            break;
          }
          default: {
            // Y0 U Y1 V: U and V the red and green of the pair's first pixel.
            const std::size_t p = at + 2 * (x - x % 2);
            got = byte_at(img, p + (x % 2 == 0 ? 0 : 2)) << 16 | byte_at(img, p + 1) << 8 |
                  byte_at(img, p + 3);
            const std::uint32_t first = X - x % 2;
            want = mono(X, Y, 8) << 16 | (first % 256) << 8 | Y % 256;
            break;
          }
        }
        ASSERT_EQ(got, want) << c.name << " at " << x << "," << y;
      }
    }
  }
}

std::uint64_t be(const std::vector<std::byte> &v, std::size_t at, int n) {
  std::uint64_t x = 0;
  for (int i = 0; i < n; ++i) x = x << 8 | byte_at(v, at + i);
  return x;
}

TEST(CameraPattern, ChunksAreFoundWalkingBackFromTheEnd) {
  const std::uint64_t image = 1000;
  for (std::uint32_t control : {0x1u, 0x3u, 0x5u, 0xBu, 0xFu}) {
    const std::uint64_t total = image + chunk_bytes(control);
    std::vector<std::byte> block(total);
    // Written in pieces that split tags and values, as packets do.
    for (std::uint64_t off = 0; off < total; off += 7) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(7, total - off));
      write_chunks(std::span(block).subspan(off, n), off, image, control, {111, 222, 33.5});
    }
    std::vector<std::uint32_t> ids;
    std::uint64_t end = total;
    while (end >= 8) {
      const auto id = static_cast<std::uint32_t>(be(block, end - 8, 4));
      const std::uint64_t len = be(block, end - 4, 4);
      ASSERT_LE(len + 8, end) << std::hex << control;
      const std::uint64_t at = end - 8 - len;
      const std::uint64_t value = be(block, at, 8);
      if (id == chunk_id_timestamp) {
        EXPECT_EQ(value, 111u);
      } else if (id == chunk_id_frame_id) {
        EXPECT_EQ(value, 222u);
      } else if (id == chunk_id_exposure) {
        EXPECT_EQ(std::bit_cast<double>(value), 33.5);
      }
      ids.push_back(id);
      end = at;
    }
    EXPECT_EQ(end, 0u);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back(), chunk_id_image) << "the image is the first chunk";
    EXPECT_EQ(ids.size(), 1u + std::popcount(control & 0xE));
  }
  EXPECT_EQ(chunk_bytes(0xE), 0u) << "chunk mode off sends no chunks";
}

}  // namespace
