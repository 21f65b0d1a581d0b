// strobix's command line, read into one plain record.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gvsp/gvsp.h"

struct drop_entry {
  std::uint64_t block_id;
  std::uint32_t packet_id;
};

struct strobix_options {
  bool pattern = false;                                 // -c
  std::int64_t blocks = 1;                              // -n, -1 = until stopped
  std::uint64_t block_bytes = 1048576;                  // -s
  std::uint64_t packet_size = 1500;                     // -k
  std::uint16_t payload_type = gvsp::payload_type_raw;  // -y
  std::uint32_t width = 0;                              // -g, or derived from -s
  std::uint32_t height = 0;
  double block_rate = 0;                                      // -r, 0 = none
  double mbit_rate = 0;                                       // -R, 0 = none
  gvsp::HeaderKind header_kind = gvsp::HeaderKind::standard;  // -2
  std::uint64_t first_block_id = 1;                           // -I
  sockaddr_in local{};                                        // -l
  std::uint64_t history_blocks = 64;                          // -H
  std::uint64_t linger_ms = 500;                              // -W
  double loss_percent = 0;                                    // -L
  std::vector<drop_entry> drops;                              // --drop
  std::uint64_t seed = 1;                                     // --seed
  bool out_of_order = false;                                  // -O
  std::uint64_t reorder_distance = 0;                         // -O<n>, 0 = shuffle
  bool twice = false;                                         // -U
  bool all_in = false;                                        // -a
  double run_seconds = 0;                                     // -T, 0 = no limit
  int verbosity = 0;                                          // -v
  sockaddr_in destination{};

  // --camera: a GigE Vision camera whose registers decide the stream; the
  // options above that describe a stream give its first settings.
  bool camera = false;
  bool zip_description = false;       // --zip
  std::string serial;                 // --serial, else from the address
  std::string user_id;                // --user-id
  std::uint32_t sensor_width = 4096;  // --sensor
  std::uint32_t sensor_height = 3072;
  // The image a camera sends; set from its registers, never from the command line.
  std::uint32_t pixel_format = gvsp::pixel_format_mono8;
  std::uint32_t offset_x = 0, offset_y = 0;
  std::uint32_t chunk_control = 0;
};

// Reads argv into opts. Returns exit_ok, or the exit status after printing the
// message and the usage text on standard error.
int parse_options(int argc, char **argv, strobix_options &opts);
