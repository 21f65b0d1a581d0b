// Whole GVSP datagrams for tests, built with the codec's own builders; what
// this adds is defaults a test rarely cares about and the shared payload
// pattern as packet data.
#pragma once

#include <gvsp/gvsp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/pattern.h"

namespace testlib {

using Bytes = std::vector<std::byte>;
using gvsp::HeaderKind;

inline gvsp::Header header(std::uint64_t block_id, std::uint32_t packet_id,
                           HeaderKind kind = HeaderKind::standard) {
  return gvsp::Header{.kind = kind, .block_id = block_id, .packet_id = packet_id};
}

// A raw-data leader; its time has distinct halves, so a test can tell them apart.
inline gvsp::Leader raw_leader(std::uint64_t data_size = 0,
                               std::uint64_t timestamp = 0x1122334455667788ull) {
  gvsp::Leader l;
  l.payload_type = gvsp::payload_type_raw;
  l.payload_data_size = data_size;
  l.timestamp = timestamp;
  return l;
}

inline Bytes make_leader(const gvsp::Header &h, const gvsp::Leader &l) {
  Bytes out(gvsp::header_size(h.kind) + gvsp::leader_size(l));
  out.resize(gvsp::build_leader(out, h, l));
  return out;
}

inline Bytes make_leader(std::uint64_t block_id, const gvsp::Leader &l) {
  return make_leader(header(block_id, 0), l);
}

inline Bytes make_leader(std::uint64_t block_id, HeaderKind kind = HeaderKind::standard,
                         std::uint64_t data_size = 0) {
  return make_leader(header(block_id, 0, kind), raw_leader(data_size));
}

inline Bytes make_trailer(std::uint64_t block_id, std::uint32_t packet_id,
                          HeaderKind kind = HeaderKind::standard) {
  gvsp::Trailer t;
  t.payload_type = gvsp::payload_type_raw;
  Bytes out(gvsp::header_size(kind) + gvsp::trailer_size(t.payload_type));
  out.resize(gvsp::build_trailer(out, header(block_id, packet_id, kind), t));
  return out;
}

inline Bytes make_payload(const gvsp::Header &h, gvsp::bytes data) {
  Bytes out(gvsp::header_size(h.kind) + data.size());
  out.resize(gvsp::build_payload(out, h, data));
  return out;
}

// Payload packet k of a block sent in packets of `size` data bytes: the
// pattern from where packet k's data starts.
inline Bytes make_payload(std::uint64_t block_id, std::uint32_t packet_id, std::size_t size,
                          HeaderKind kind = HeaderKind::standard) {
  return make_payload(header(block_id, packet_id, kind),
                      pattern(block_id, std::uint64_t{packet_id - 1} * size, size));
}

inline Bytes make_error(std::uint64_t block_id, std::uint32_t packet_id, std::uint16_t status) {
  gvsp::Header h = header(block_id, packet_id);
  h.format = static_cast<std::uint8_t>(gvsp::Format::payload);
  Bytes out(gvsp::header_size(h.kind));
  out.resize(gvsp::build_error(out, h, status));
  return out;
}

}  // namespace testlib
