#include <png.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "png_internal.h"

namespace {

void on_png_error(png_structp png, png_const_charp message) {
  auto *reason = static_cast<std::string *>(png_get_error_ptr(png));
  *reason = message;
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Everything after setjmp is C, so a longjmp leaves no destructor unrun.
bool write_rows(std::FILE *f, const pixels::image &img, png_bytep *rows, const char *comment,
                std::string &reason) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &reason, on_png_error, on_png_warning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    reason = "out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, img.width, img.height, static_cast<int>(img.depth),
               img.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_text text{};
  if (*comment != '\0') {
    text.compression = PNG_TEXT_COMPRESSION_NONE;
    text.key = const_cast<png_charp>("Comment");
    text.text = const_cast<png_charp>(comment);
    png_set_text(png, info, &text, 1);
  }
  png_write_info(png, info);
  // The file holds 16-bit samples big-endian; ours are in host order.
  if (img.depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::string write_png(const std::string &path, const pixels::image &img,
                      const std::string &comment) {
  const std::size_t row_samples = static_cast<std::size_t>(img.width) * img.channels;
  std::vector<png_bytep> rows(img.height);
  for (std::size_t y = 0; y < rows.size(); ++y) {
    const void *row = img.depth == 16 ? static_cast<const void *>(&img.samples16[y * row_samples])
                                      : &img.samples8[y * row_samples];
    rows[y] = static_cast<png_bytep>(const_cast<void *>(row));
  }
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return std::strerror(errno);
  std::string reason;
  bool ok = write_rows(f, img, rows.data(), comment.c_str(), reason);
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    reason = std::strerror(errno);
  }
  if (!ok) std::remove(path.c_str());
  return reason;
}
