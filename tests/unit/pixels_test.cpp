// Every converted pixel format, per family: known samples in, a PNG written
// the way camctl snap writes it, and the pixels a viewer decodes from it.
#include "pixels/pixels.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/png_read.h"
#include "png_internal.h"

namespace {

using pixels::bayer_output;
using pixels::outcome;
using samples = std::vector<std::uint16_t>;

enum out_kind { gray8, gray16, rgb8, rgb16 };

// Converts, writes, decodes back and compares; a byte fewer than the image
// needs (its last line's padding aside) must be refused, not read past.
void expect_converts(const char *what, std::uint32_t code, pixels::geometry g,
                     const std::vector<std::uint8_t> &bytes, out_kind kind, const samples &want,
                     bayer_output bayer = bayer_output::demosaic) {
  SCOPED_TRACE(what);
  const std::string path = testing::TempDir() + "pixels_" + std::to_string(getpid()) + ".png";
  const auto *p = reinterpret_cast<const std::byte *>(bytes.data());
  pixels::image img;
  ASSERT_EQ(pixels::convert({p, bytes.size()}, code, g, bayer, img), outcome::ok);
  ASSERT_EQ(write_png(path, img, "a note"), "");
  const testlib::png_pixels got = testlib::read_png(path);
  unlink(path.c_str());
  ASSERT_TRUE(got.ok);
  EXPECT_EQ(got.width, g.width);
  EXPECT_EQ(got.height, g.height);
  EXPECT_EQ(got.channels, kind == gray8 || kind == gray16 ? 1u : 3u);
  EXPECT_EQ(got.depth, kind == gray8 || kind == rgb8 ? 8u : 16u);
  EXPECT_EQ(got.samples, want);
  EXPECT_EQ(got.comment, "a note");
  EXPECT_EQ(pixels::convert({p, bytes.size() - 1 - g.padding_x}, code, g, bayer, img),
            outcome::short_data);
}

TEST(Pixels, MonochromeUnpackedAndBothPackings) {
  // Padding skipped; wider samples are little-endian words, stray high bits
  // masked, the value moved to the top bits.
  expect_converts("Mono8", 0x01080001, {3, 2, 2}, {1, 2, 3, 0xEE, 0xEE, 4, 5, 6, 0xEE, 0xEE}, gray8,
                  {1, 2, 3, 4, 5, 6});
  expect_converts("Mono10", 0x01100003, {2, 1, 0}, {0xFF, 0x03, 0x01, 0xFC}, gray16,
                  {0xFFC0, 0x0040});
  expect_converts("Mono12", 0x01100005, {2, 1, 0}, {0x34, 0x0A, 0x00, 0x08}, gray16,
                  {0xA340, 0x8000});
  expect_converts("Mono16", 0x01100007, {2, 1, 0}, {0x34, 0x12, 0xCD, 0xAB}, gray16,
                  {0x1234, 0xABCD});
  // The same pixels in the two 10/12-bit packings differ byte for byte.
  expect_converts("Mono10p", 0x010A0046, {4, 1, 0}, {0xFF, 0x03, 0x50, 0x95, 0xAA}, gray16,
                  {0xFFC0, 0x0000, 0x5540, 0xAA80});
  expect_converts("Mono12p", 0x010C0047, {2, 1, 0}, {0xBC, 0x3A, 0x12}, gray16, {0xABC0, 0x1230});
  expect_converts("Mono12Packed", 0x010C0006, {2, 1, 0}, {0xAB, 0x3C, 0x12}, gray16,
                  {0xABC0, 0x1230});
  expect_converts("Mono10Packed", 0x010C0004, {2, 1, 0}, {0xB5, 0x13, 0x69}, gray16,
                  {0xB5C0, 0x6940});
  // Without padding the pixels run on into the next line, here in the
  // middle of a pair; with it each line starts afresh, here mid-byte.
  expect_converts("Mono12Packed across lines", 0x010C0006, {3, 2, 0},
                  {0x00, 0xF1, 0x7F, 0x80, 0xF0, 0xFF, 0x0F, 0xA0, 0xA5}, gray16,
                  {0x0010, 0x7FF0, 0x8000, 0xFFF0, 0x0F00, 0xA5A0});
  expect_converts("Mono10p padded", 0x010A0046, {3, 2, 1},
                  {0x01, 0xFC, 0x0F, 0x20, 0xEE, 0xF0, 0x54, 0xA5, 0x2A, 0xEE}, gray16,
                  {0x0040, 0xFFC0, 0x8000, 0x3C00, 0x5540, 0xAA80});
}

TEST(Pixels, BayerDemosaicedBilinearlyOrKept) {
  // A 3x3 RG mosaic, edges included: each missing colour is the rounded
  // mean of its neighbours of that colour inside the image.
  expect_converts("BayerRG8", 0x01080009, {3, 3, 0}, {10, 20, 30, 40, 50, 60, 70, 81, 100}, rgb8,
                  {10, 30, 50, 20, 20, 50, 30, 40, 50, 40, 40,  50, 53, 50,
                   50, 65, 60, 50, 70, 61, 50, 85, 81, 50, 100, 71, 50});
  expect_converts("BayerRG8 mosaic", 0x01080009, {2, 2, 0}, {1, 2, 3, 4}, gray8, {1, 2, 3, 4},
                  bayer_output::mosaic);
  // One colour in, that colour everywhere out, for each layout: a pattern
  // read wrongly swaps or mixes the channels.
  const struct {
    const char *cell;
    std::uint32_t code;
    unsigned bits;
  } layouts[] = {{"RGGB", 0x01080009, 8}, {"GRBG", 0x01080008, 8},  {"GBRG", 0x0108000A, 8},
                 {"BGGR", 0x0108000B, 8}, {"GBRG", 0x01100012, 12}, {"RGGB", 0x0110002F, 16}};
  for (const auto &l : layouts) {
    const std::array<unsigned, 3> rgb = {0x300, 0x200, 0x100};
    const unsigned down = l.bits == 8 ? 2 : 0, up = l.bits == 8 ? 0 : 16 - l.bits;
    std::vector<unsigned> mosaic;
    for (unsigned i = 0; i < 12; ++i) {
      const char c = l.cell[(i / 4 % 2) * 2 + i % 2];
      mosaic.push_back(rgb[c == 'R' ? 0 : c == 'G' ? 1 : 2] >> down);
    }
    std::vector<std::uint8_t> bytes;
    for (unsigned v : mosaic) {
      bytes.push_back(std::uint8_t(v));
      if (l.bits > 8) bytes.push_back(std::uint8_t(v >> 8));
    }
    samples want;
    for (unsigned i = 0; i < 12; ++i)
      for (unsigned v : rgb) want.push_back(std::uint16_t(v >> down << up));
    expect_converts(l.cell, l.code, {4, 3, 0}, bytes, l.bits == 8 ? rgb8 : rgb16, want);
  }
}

TEST(Pixels, ColourOrderAlphaAndYCbCr) {
  const samples six = {1, 2, 3, 4, 5, 6};
  expect_converts("RGB8", 0x02180014, {2, 1, 0}, {1, 2, 3, 4, 5, 6}, rgb8, six);
  expect_converts("BGR8", 0x02180015, {2, 1, 0}, {3, 2, 1, 6, 5, 4}, rgb8, six);
  expect_converts("BGRa8", 0x02200017, {2, 1, 0}, {3, 2, 1, 9, 6, 5, 4, 9}, rgb8, six);
  // Full-range BT.601: gray stays gray; JFIF's encodings of red and blue
  // come back as (254, 0, 0) and (0, 0, 254). Pixel pairs share U and V.
  expect_converts("YCbCr8", 0x0218005B, {3, 1, 0}, {77, 128, 128, 76, 85, 255, 29, 255, 107}, rgb8,
                  {77, 77, 77, 254, 0, 0, 0, 0, 254});
  const samples pair = {254, 0, 0, 255, 74, 74};
  expect_converts("YUV422_8", 0x02100032, {2, 1, 0}, {76, 85, 150, 255}, rgb8, pair);
  expect_converts("YUV422_8_UYVY", 0x0210001F, {2, 1, 0}, {85, 76, 255, 150}, rgb8, pair);
}

TEST(Pixels, RefusesWhatItCannotConvert) {
  const std::array<std::byte, 16> data{};
  pixels::image img;
  const auto convert = [&](std::uint32_t code, pixels::geometry g) {
    return pixels::convert(data, code, g, bayer_output::demosaic, img);
  };
  EXPECT_EQ(convert(0x0210003B, {2, 2, 0}), outcome::unknown_format);  // YCbCr422_8
  EXPECT_EQ(convert(0x01080001, {0, 4, 0}), outcome::bad_geometry);
  // Far beyond any sensor: refused before anything is allocated or read.
  EXPECT_EQ(convert(0x01100007, {0xFFFFFFFF, 0xFFFFFFFF, 0}), outcome::bad_geometry);
  EXPECT_NE(write_png("/nonexistent-dir/x.png", img, ""), "");
}

}  // namespace
