// What the in-process probes (tests/soak/stream_probe, tests/net/stream_pair)
// share: their endpoints, strobix -c's pattern, and how a failed call is said.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <zok/zok.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/pattern.h"

namespace probe {

// IP:PORT; the address in network order, the port in the host's.
inline bool parse_endpoint(const char *text, std::uint32_t &addr, std::uint16_t &port) {
  const std::string s = text;
  const auto colon = s.find(':');
  if (colon == std::string::npos) return false;
  in_addr a{};
  if (inet_pton(AF_INET, s.substr(0, colon).c_str(), &a) != 1) return false;
  addr = a.s_addr;
  port = static_cast<std::uint16_t>(std::atoi(s.c_str() + colon + 1));
  return port != 0;
}

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
