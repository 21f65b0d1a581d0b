// Every converted pixel format, per family: known samples in, a PNG written
// the way camctl snap writes it, and the pixels a viewer decodes from it.
#include "pixels/pixels.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "lib/png_read.h"
#include "png_internal.h"

namespace {

using pixels::bayer_output;
using pixels::outcome;

struct conversion_case {
  const char *what;
  std::uint32_t code;
  pixels::geometry g;
  std::vector<std::uint8_t> bytes;
  unsigned channels, depth;
  std::vector<std::uint16_t> want;  // as the PNG holds them
  bayer_output bayer = bayer_output::demosaic;
};

// A Bayer mosaic whose every red site holds r, green g, blue b, laid out
// as `pattern` (its 2x2 cell, row by row, e.g. "RGGB") says.
std::vector<std::uint8_t> mosaic(const char *pattern, unsigned w, unsigned h, unsigned r,
                                 unsigned g, unsigned b, bool wide) {
  std::vector<std::uint8_t> out;
  for (unsigned y = 0; y < h; ++y) {
    for (unsigned x = 0; x < w; ++x) {
      const char c = pattern[(y % 2) * 2 + x % 2];
      const unsigned v = c == 'R' ? r : c == 'G' ? g : b;
      out.push_back(static_cast<std::uint8_t>(v));
      if (wide) out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
  }
  return out;
}

std::vector<std::uint16_t> filled(unsigned pixels, std::initializer_list<unsigned> pixel) {
  std::vector<std::uint16_t> out;
  for (unsigned i = 0; i < pixels; ++i)
    for (unsigned v : pixel) out.push_back(static_cast<std::uint16_t>(v));
  return out;
}

std::vector<conversion_case> cases() {
  std::vector<conversion_case> c = {
      // Monochrome: line padding skipped; wider samples are little-endian
      // words, stray high bits masked, the value moved to the top bits.
      {"Mono8 with line padding",
       0x01080001,
       {3, 2, 2},
       {1, 2, 3, 0xEE, 0xEE, 4, 5, 6, 0xEE, 0xEE},
       1,
       8,
       {1, 2, 3, 4, 5, 6}},
      {"Mono10", 0x01100003, {2, 1, 0}, {0xFF, 0x03, 0x01, 0xFC}, 1, 16, {0xFFC0, 0x0040}},
      {"Mono12", 0x01100005, {2, 1, 0}, {0x34, 0x0A, 0x00, 0x08}, 1, 16, {0xA340, 0x8000}},
      {"Mono14", 0x01100025, {1, 1, 0}, {0xFF, 0x3F}, 1, 16, {0xFFFC}},
      {"Mono16", 0x01100007, {2, 1, 0}, {0x34, 0x12, 0xCD, 0xAB}, 1, 16, {0x1234, 0xABCD}},

      // The two 10/12-bit packings of the same pixels differ byte for byte.
      {"Mono10p",
       0x010A0046,
       {4, 1, 0},
       {0xFF, 0x03, 0x50, 0x95, 0xAA},
       1,
       16,
       {0xFFC0, 0x0000, 0x5540, 0xAA80}},
      {"Mono12p", 0x010C0047, {2, 1, 0}, {0xBC, 0x3A, 0x12}, 1, 16, {0xABC0, 0x1230}},
      {"Mono12Packed", 0x010C0006, {2, 1, 0}, {0xAB, 0x3C, 0x12}, 1, 16, {0xABC0, 0x1230}},
      {"Mono10Packed", 0x010C0004, {2, 1, 0}, {0xB5, 0x13, 0x69}, 1, 16, {0xB5C0, 0x6940}},
      // Without padding the bits run on into the next line, mid-byte or
      // mid-pair; with it each line starts afresh.
      {"Mono12p across lines",
       0x010C0047,
       {3, 2, 0},
       {0x01, 0xF0, 0x7F, 0x00, 0xF8, 0xFF, 0xF0, 0xA0, 0xA5},
       1,
       16,
       {0x0010, 0x7FF0, 0x8000, 0xFFF0, 0x0F00, 0xA5A0}},
      {"Mono12Packed across lines",
       0x010C0006,
       {3, 2, 0},
       {0x00, 0xF1, 0x7F, 0x80, 0xF0, 0xFF, 0x0F, 0xA0, 0xA5},
       1,
       16,
       {0x0010, 0x7FF0, 0x8000, 0xFFF0, 0x0F00, 0xA5A0}},
      {"Mono10p with line padding",
       0x010A0046,
       {3, 2, 1},
       {0x01, 0xFC, 0x0F, 0x20, 0xEE, 0xF0, 0x54, 0xA5, 0x2A, 0xEE},
       1,
       16,
       {0x0040, 0xFFC0, 0x8000, 0x3C00, 0x5540, 0xAA80}},
      {"Mono10Packed with line padding",
       0x010C0004,
       {3, 2, 1},
       {0x00, 0x31, 0xFF, 0x80, 0x00, 0xEE, 0x3C, 0x10, 0x55, 0xAA, 0x02, 0xEE},
       1,
       16,
       {0x0040, 0xFFC0, 0x8000, 0x3C00, 0x5540, 0xAA80}},

      // Bilinear demosaic of a 3x3 RG mosaic, edges included: each missing
      // colour is the rounded mean of its neighbours inside the image.
      {"BayerRG8 interpolated",
       0x01080009,
       {3, 3, 0},
       {10, 20, 30, 40, 50, 60, 70, 81, 100},
       3,
       8,
       {10, 30, 50, 20, 20, 50, 30,  40, 50,  //
        40, 40, 50, 53, 50, 50, 65,  60, 50,  //
        70, 61, 50, 85, 81, 50, 100, 71, 50}},
      {"BayerRG8 kept as a mosaic",
       0x01080009,
       {2, 2, 0},
       {1, 2, 3, 4},
       1,
       8,
       {1, 2, 3, 4},
       bayer_output::mosaic},

      // Colour: byte order and alpha.
      {"RGB8", 0x02180014, {2, 1, 0}, {1, 2, 3, 4, 5, 6}, 3, 8, {1, 2, 3, 4, 5, 6}},
      {"BGR8", 0x02180015, {2, 1, 0}, {3, 2, 1, 6, 5, 4}, 3, 8, {1, 2, 3, 4, 5, 6}},
      {"RGBa8", 0x02200016, {2, 1, 0}, {1, 2, 3, 9, 4, 5, 6, 9}, 3, 8, {1, 2, 3, 4, 5, 6}},
      {"BGRa8", 0x02200017, {2, 1, 0}, {3, 2, 1, 9, 6, 5, 4, 9}, 3, 8, {1, 2, 3, 4, 5, 6}},

      // Y'CbCr, full-range BT.601: gray stays gray; JFIF's encodings of red
      // and blue come back as (254, 0, 0) and (0, 0, 254).
      {"YCbCr8",
       0x0218005B,
       {3, 1, 0},
       {77, 128, 128, 76, 85, 255, 29, 255, 107},
       3,
       8,
       {77, 77, 77, 254, 0, 0, 0, 0, 254}},
      {"YUV8_UYV", 0x02180020, {1, 1, 0}, {85, 76, 255}, 3, 8, {254, 0, 0}},
      // Two pixels share U and V.
      {"YUV422_8", 0x02100032, {2, 1, 0}, {76, 85, 150, 255}, 3, 8, {254, 0, 0, 255, 74, 74}},
      {"YUV422_8_UYVY", 0x0210001F, {2, 1, 0}, {85, 76, 255, 150}, 3, 8, {254, 0, 0, 255, 74, 74}},
  };
  // A mosaic of one colour must come out as that colour everywhere, edges
  // included, for each of the four layouts: a pattern read wrongly swaps
  // or mixes the channels.
  const struct {
    const char *what, *cell;
    std::uint32_t code;
    unsigned bits;
  } bayer[] = {
      {"BayerRG8 uniform", "RGGB", 0x01080009, 8},   {"BayerGR8 uniform", "GRBG", 0x01080008, 8},
      {"BayerGB8 uniform", "GBRG", 0x0108000A, 8},   {"BayerBG8 uniform", "BGGR", 0x0108000B, 8},
      {"BayerGB12 uniform", "GBRG", 0x01100012, 12}, {"BayerBG10 uniform", "BGGR", 0x0110000F, 10},
      {"BayerRG16 uniform", "RGGB", 0x0110002F, 16},
  };
  for (const auto &b : bayer) {
    if (b.bits == 8) {
      c.push_back({b.what,
                   b.code,
                   {4, 3, 0},
                   mosaic(b.cell, 4, 3, 200, 100, 50, false),
                   3,
                   8,
                   filled(12, {200, 100, 50})});
      continue;
    }
    const unsigned up = 16 - b.bits;
    c.push_back({b.what,
                 b.code,
                 {4, 3, 0},
                 mosaic(b.cell, 4, 3, 0x300, 0x200, 0x100, true),
                 3,
                 16,
                 filled(12, {0x300u << up, 0x200u << up, 0x100u << up})});
  }
  return c;
}

TEST(Pixels, EveryFormatFamilyConvertsExactlyAndDecodesBackFromPng) {
  const std::string path = testing::TempDir() + "pixels_test_" + std::to_string(getpid()) + ".png";
  for (const conversion_case &k : cases()) {
    SCOPED_TRACE(k.what);
    const auto *p = reinterpret_cast<const std::byte *>(k.bytes.data());
    pixels::image img;
    ASSERT_EQ(pixels::convert({p, k.bytes.size()}, k.code, k.g, k.bayer, img), outcome::ok);
    ASSERT_EQ(write_png(path, img, "a note"), "");
    const testlib::png_pixels got = testlib::read_png(path);
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(got.width, k.g.width);
    EXPECT_EQ(got.height, k.g.height);
    EXPECT_EQ(got.channels, k.channels);
    EXPECT_EQ(got.depth, k.depth);
    EXPECT_EQ(got.samples, k.want);
    EXPECT_EQ(got.comment, "a note");
    // One byte fewer than the image takes is refused, not read past.
    EXPECT_EQ(pixels::convert({p, k.bytes.size() - 1 - (k.g.padding_x > 0 ? k.g.padding_x : 0)},
                              k.code, k.g, k.bayer, img),
              outcome::short_data);
  }
  unlink(path.c_str());
}

TEST(Pixels, RefusesWhatItCannotConvert) {
  const std::array<std::byte, 16> data{};
  pixels::image img;
  // YCbCr422_8: a real format, not one converted.
  EXPECT_EQ(pixels::convert(data, 0x0210003B, {2, 2, 0}, bayer_output::demosaic, img),
            outcome::unknown_format);
  EXPECT_EQ(pixels::convert(data, 0x01080001, {0, 4, 0}, bayer_output::demosaic, img),
            outcome::bad_geometry);
  // Far beyond any sensor: refused before anything is allocated or read.
  EXPECT_EQ(
      pixels::convert(data, 0x01100007, {0xFFFFFFFF, 0xFFFFFFFF, 0}, bayer_output::demosaic, img),
      outcome::bad_geometry);
  EXPECT_EQ(write_png("/nonexistent-dir/x.png", img, "").empty(), false);
}

}  // namespace
