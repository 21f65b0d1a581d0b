// PNG files from converted images.
#pragma once

#include <string>

#include "pixels/pixels.h"

// Writes `img` to `path`, with `comment` as its Comment text when not
// empty. Returns an empty string, or why it failed (nothing is left behind).
std::string write_png(const std::string &path, const pixels::image &img,
                      const std::string &comment);
