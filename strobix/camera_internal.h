// Camera mode: the device model behind a GVCP socket, and a stream that
// starts, runs and stops as the controlling application's writes say.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <span>
#include <vector>

#include "device_internal.h"
#include "options_internal.h"
#include "pattern_internal.h"
#include "stream_internal.h"

struct camera {
  device dev;
  stream_state st;
  strobix_options base;  // the command line's options
  std::vector<std::byte> zip;
  bool identity_fixed = false;  // bound to one address: its interface is the camera's
  image_geometry image{};       // what the image in st.block_data shows
  bool image_valid = false;
  std::int64_t next_frame_ns = 0;
  std::uint64_t next_block_id = 1;
  std::uint64_t blocks_at_start = 0;
};

std::span<const std::byte> description_xml();
// False when built without libzip or when zipping fails.
bool zip_description(std::span<const std::byte> xml, std::vector<std::byte> &out);

// The whole camera run: sockets, description, the loop until stopped.
// Returns the exit status.
int run_camera(const strobix_options &opts);
