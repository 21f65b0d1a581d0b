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

// strobix -c: in every 4-byte word, bytes 0-1 the low 16 bits of the block
// id and bytes 2-3 the word's index, both in network order; a last partial
// word holds its first bytes. Every byte is checked, so a packet's data in
// another packet's place shows, as long as the block is no larger than the
// pattern's period (the index keeps 16 bits: 256 KiB). A block_bytes of 0
// takes the leader's size for the one that was sent.
inline bool pattern_holds(const zok_block_desc &block, std::size_t block_bytes = 0) {
  if (block.payload_type != GVSP_PAYLOAD_TYPE_RAW_DATA) return false;
  if (block.payload_length != block.raw_data.payload_data_size) return false;
  if (block_bytes != 0 && block.payload_length != block_bytes) return false;
  const auto *bytes = static_cast<const std::uint8_t *>(block.payload);
  const auto id = static_cast<std::uint16_t>(block.block_id);
  for (std::size_t at = 0; at < block.payload_length; ++at) {
    const std::size_t word = at / 4;
    const std::uint8_t want[4] = {
        static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id & 0xFF),
        static_cast<std::uint8_t>((word >> 8) & 0xFF), static_cast<std::uint8_t>(word & 0xFF)};
    if (bytes[at] != want[at % 4]) return false;
  }
  return true;
}

inline int fail(const char *what, int rc) {
  std::fprintf(stderr, "%s : %s (errno=%d)\n", what, std::strerror(rc), rc);
  return 1;
}

}  // namespace probe
