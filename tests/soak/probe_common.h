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
// id and bytes 2-3 the word's index, both in network order.
inline bool pattern_holds(const zok_block_desc &block) {
  if (block.payload_type != GVSP_PAYLOAD_TYPE_RAW_DATA) return false;
  if (block.payload_length != block.raw_data.payload_data_size) return false;
  const auto *bytes = static_cast<const std::uint8_t *>(block.payload);
  const auto id = static_cast<std::uint16_t>(block.block_id);
  for (std::size_t word = 0; word < block.payload_length / 4; ++word) {
    const std::uint8_t *w = bytes + word * 4;
    if (w[0] != (id >> 8) || w[1] != (id & 0xFF)) return false;
    if (w[2] != ((word >> 8) & 0xFF) || w[3] != (word & 0xFF)) return false;
  }
  return true;
}

inline int fail(const char *what, int rc) {
  std::fprintf(stderr, "%s : %s (errno=%d)\n", what, std::strerror(rc), rc);
  return 1;
}

}  // namespace probe
