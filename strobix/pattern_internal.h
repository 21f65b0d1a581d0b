// The camera's pixel formats, the test image it sends in each, and the chunk
// data it appends. man strobix gives the image's formula; keep them alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct pixel_format_info {
  std::uint32_t pfnc;
  const char *name;
  unsigned bits_per_pixel;
};

// nullptr for a format the camera does not send.
const pixel_format_info *find_pixel_format(std::uint32_t pfnc);

struct image_geometry {
  std::uint32_t pixel_format = 0;
  std::uint32_t width = 0, height = 0;
  std::uint32_t offset_x = 0, offset_y = 0;  // where the image lies on the sensor
};

std::uint64_t image_bytes(const image_geometry &g);
// Lines first_line .. first_line + lines - 1 of the test image, into out
// (which holds exactly those lines).
void fill_test_image(std::span<std::byte> out, const image_geometry &g, std::uint32_t first_line,
                     std::uint32_t lines);

// Chunk data follows the image: each chunk is its data and then a tag of its
// id and length (both big-endian), so that a reader finds them walking back
// from the end; the image itself is tagged first.
inline constexpr std::uint32_t chunk_id_image = 0x00000001;
inline constexpr std::uint32_t chunk_id_timestamp = 0x00000101;
inline constexpr std::uint32_t chunk_id_frame_id = 0x00000102;
inline constexpr std::uint32_t chunk_id_exposure = 0x00000103;
inline constexpr std::size_t chunk_tag_bytes = 8;
inline constexpr std::size_t chunk_value_bytes = 8;

// Bytes the chunks take after the image, for chunk_control's enable bits
// (0 when chunk mode is off).
std::uint64_t chunk_bytes(std::uint32_t chunk_control);

struct chunk_values {
  std::uint64_t timestamp = 0;
  std::uint64_t frame_id = 0;
  double exposure_us = 0;
};

// The part of a block's chunk area (starting at byte image_size of the block)
// that overlaps [offset, offset + out.size()) of the block, written into out.
void write_chunks(std::span<std::byte> out, std::uint64_t offset, std::uint64_t image_size,
                  std::uint32_t chunk_control, const chunk_values &v);
