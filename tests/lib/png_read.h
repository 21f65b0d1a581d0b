// A PNG file read back with libpng, as a viewer would, so that a test
// compares the pixels a person would see. Link libpng (PNG::PNG).
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testlib {

struct png_pixels {
  bool ok = false;
  std::uint32_t width = 0, height = 0;
  unsigned channels = 0, depth = 0;    // depth: bits a sample
  std::vector<std::uint16_t> samples;  // rows top to bottom, interleaved
  std::string comment;                 // the Comment text, if any
};

inline png_pixels read_png(const std::string &path) {
  png_pixels out;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    out.ok = true;
  }
  if (out.ok) {
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.channels = png_get_channels(png, info);
    out.depth = png_get_bit_depth(png, info);
    const png_bytepp rows = png_get_rows(png, info);
    for (std::uint32_t y = 0; y < out.height; ++y)
      for (std::size_t i = 0; i < std::size_t{out.width} * out.channels; ++i)  // 16 bits big-endian
        out.samples.push_back(out.depth == 16 ? rows[y][2 * i] << 8 | rows[y][2 * i + 1]
                                              : rows[y][i]);
    png_textp text = nullptr;
    const int texts = png_get_text(png, info, &text, nullptr);
    for (int i = 0; i < texts; ++i)
      if (std::string(text[i].key) == "Comment") out.comment = text[i].text;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return out;
}

}  // namespace testlib
