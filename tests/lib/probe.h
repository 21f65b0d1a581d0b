// What the in-process probes (tests/soak/stream_probe, tests/net/stream_pair)
// share: strobix -c's pattern, and how a failed call is said.
#pragma once

#include <zok/zok.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lib/pattern.h"

namespace probe {

// strobix -c's pattern in every byte of a raw-data block, a last partial
// word included, so a packet's data in another packet's place shows, as long
// as the block is no larger than the pattern's period (the word index keeps
// 16 bits: 256 KiB). A block_bytes of 0 takes the leader's size for the one
// that was sent.
inline bool pattern_holds(const zok_block_desc &block, std::size_t block_bytes = 0) {
  if (block.payload_type != GVSP_PAYLOAD_TYPE_RAW_DATA) return false;
  if (block.payload_length != block.raw_data.payload_data_size) return false;
  if (block_bytes != 0 && block.payload_length != block_bytes) return false;
  return testlib::pattern_holds(block.payload, block.payload_length, block.block_id);
}

inline int fail(const char *what, int rc) {
  std::fprintf(stderr, "%s : %s (errno=%d)\n", what, std::strerror(rc), rc);
  return 1;
}

}  // namespace probe
