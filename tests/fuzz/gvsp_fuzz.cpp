// Feeds arbitrary datagrams to every parser, and packets built from arbitrary
// field values (then cut or bit-flipped) back through them. Whatever a parser
// accepts must survive being built again unchanged; nothing may read outside
// the datagram (the sanitizers watch that).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gvsp/gvsp.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const gvsp::Leader &a, const gvsp::Leader &b) {
  return a.field_info == b.field_info && a.generic_flags == b.generic_flags &&
         a.payload_type == b.payload_type && a.timestamp == b.timestamp &&
         a.pixel_format == b.pixel_format && a.size_x == b.size_x && a.size_y == b.size_y &&
         a.offset_x == b.offset_x && a.offset_y == b.offset_y && a.padding_x == b.padding_x &&
         a.padding_y == b.padding_y && a.payload_data_size == b.payload_data_size &&
         a.timestamp_tick_frequency == b.timestamp_tick_frequency &&
         a.data_format == b.data_format && a.file_name == b.file_name;
}

bool same(const gvsp::Trailer &a, const gvsp::Trailer &b) {
  return a.payload_type == b.payload_type && a.size_y == b.size_y &&
         a.chunk_data_payload_length == b.chunk_data_payload_length &&
         a.chunk_layout_id == b.chunk_layout_id;
}

bool same(const gvsp::Header &a, const gvsp::Header &b) {
  return a.status == b.status && a.format == b.format && a.kind == b.kind &&
         a.block_id == b.block_id && a.packet_id == b.packet_id &&
         (a.kind == gvsp::HeaderKind::standard ||
          (a.flags == b.flags && a.device_flags == b.device_flags));
}

std::vector<std::byte> scratch(gvsp::max_datagram_size + 64);

// A packet the parser took is rebuilt from its fields and parsed again.
void rebuild(const gvsp::Packet &p) {
  std::size_t n = 0;
  switch (p.kind) {
    case gvsp::PacketKind::leader:
      n = gvsp::build_leader(scratch, p.header, p.leader);
      break;
    case gvsp::PacketKind::trailer:
      n = gvsp::build_trailer(scratch, p.header, p.trailer);
      break;
    case gvsp::PacketKind::payload:
      n = gvsp::build_payload(scratch, p.header, p.data);
      break;
    case gvsp::PacketKind::all_in:
      n = gvsp::build_all_in(scratch, p.header, p.leader, p.trailer, p.data);
      break;
    case gvsp::PacketKind::error:
      n = gvsp::build_error(scratch, p.header, p.header.status);
      break;
  }
  if (n == 0) {
    // Only a file name running to the end of a datagram can outgrow it.
    check(p.kind == gvsp::PacketKind::all_in || p.kind == gvsp::PacketKind::leader);
    return;
  }
  const std::vector<std::byte> copy(scratch.begin(), scratch.begin() + n);
  const auto again = gvsp::parse_packet(copy);
  check(again.ok());
  check(again.value.kind == p.kind);
  check(same(again.value.header, p.header));
  if (p.kind == gvsp::PacketKind::leader || p.kind == gvsp::PacketKind::all_in) {
    check(same(again.value.leader, p.leader));
  }
  if (p.kind == gvsp::PacketKind::trailer || p.kind == gvsp::PacketKind::all_in) {
    check(same(again.value.trailer, p.trailer));
  }
  check(again.value.data.size() == p.data.size());
  check(p.data.empty() || std::memcmp(again.value.data.data(), p.data.data(), p.data.size()) == 0);
}

void parse_all(gvsp::bytes d) {
  const auto h = gvsp::parse_header(d);
  if (h) check(h.value.block_id != 0);
  const auto p = gvsp::parse_packet(d);
  if (p) {
    check(h.ok());
    check(p.value.data.empty() ||
          (p.value.data.data() >= d.data() &&
           p.value.data.data() + p.value.data.size() <= d.data() + d.size()));
    rebuild(p.value);
  }
  (void)gvsp::parse_leader(d);
  (void)gvsp::parse_trailer(d);
  const auto c = gvsp::parse_resend_command(d);
  if (c) {
    std::array<std::byte, gvsp::resend_command_extended_size> out{};
    const std::size_t n = gvsp::build_resend_command(out, c.value);
    check(n == d.size());
    const auto again = gvsp::parse_resend_command(gvsp::bytes(out).first(n));
    check(again.ok() && again.value.block_id == c.value.block_id &&
          again.value.first_packet_id == c.value.first_packet_id &&
          again.value.last_packet_id == c.value.last_packet_id &&
          again.value.channel == c.value.channel && again.value.req_id == c.value.req_id);
  }
}

// Builds a well-formed packet from fuzzer-chosen fields, so that the deep
// paths are reached without the fuzzer having to find the framing itself.
void build_and_damage(FuzzedDataProvider &in) {
  gvsp::Header h;
  h.kind = in.ConsumeBool() ? gvsp::HeaderKind::extended : gvsp::HeaderKind::standard;
  h.block_id = in.ConsumeIntegralInRange<std::uint64_t>(1, gvsp::max_block_id(h.kind));
  h.status = in.ConsumeIntegral<std::uint16_t>();
  h.flags = in.ConsumeIntegral<std::uint8_t>();
  gvsp::Leader l;
  l.payload_type = in.ConsumeIntegralInRange<std::uint16_t>(0, 10) |
                   (in.ConsumeBool() ? gvsp::payload_type_chunk_bit : 0);
  l.timestamp = in.ConsumeIntegral<std::uint64_t>();
  l.size_x = in.ConsumeIntegral<std::uint32_t>();
  l.payload_data_size = in.ConsumeIntegral<std::uint64_t>();
  const std::string name = in.ConsumeRandomLengthString(300);
  l.file_name = std::string_view(name.c_str());
  gvsp::Trailer t;
  t.payload_type = l.payload_type;
  t.size_y = in.ConsumeIntegral<std::uint32_t>();
  t.chunk_data_payload_length = in.ConsumeIntegral<std::uint32_t>();
  const int kind = in.ConsumeIntegralInRange(0, 5);
  const std::size_t cut = in.ConsumeIntegral<std::uint16_t>();
  const std::size_t flip = in.ConsumeIntegral<std::uint16_t>();
  const std::vector<std::uint8_t> data = in.ConsumeRemainingBytes<std::uint8_t>();
  const gvsp::bytes payload(reinterpret_cast<const std::byte *>(data.data()), data.size());
  std::size_t n = 0;
  switch (kind) {
    case 0:
      n = gvsp::build_leader(scratch, h, l);
      break;
    case 1:
      h.packet_id = in.ConsumeIntegral<std::uint32_t>() & gvsp::max_packet_id(h.kind);
      n = gvsp::build_trailer(scratch, h, t);
      break;
    case 2:
      n = gvsp::build_all_in(scratch, h, l, t, payload);
      break;
    case 3:
      h.packet_id = 1;
      n = gvsp::build_payload(scratch, h, payload);
      break;
    case 4: {
      gvsp::ResendCommand c;
      c.kind = h.kind;
      c.block_id = h.block_id;
      c.last_packet_id = static_cast<std::uint32_t>(l.size_x) & gvsp::max_packet_id(h.kind);
      n = gvsp::build_resend_command(scratch, c);
      break;
    }
    default:
      n = gvsp::build_error(scratch, h, gvsp::status_packet_unavailable);
      break;
  }
  if (n == 0) return;
  if (cut < n && (flip & 1)) n = cut;
  if (flip >> 1 < n * 8 && (flip & 2)) {
    scratch[(flip >> 1) / 8] ^= std::byte(1u << ((flip >> 1) % 8));
  }
  const std::vector<std::byte> exact(scratch.begin(), scratch.begin() + n);
  parse_all(exact);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    FuzzedDataProvider in(data + 1, size - 1);
    build_and_damage(in);
  } else {
    // An exact-size copy, so a read one byte past the datagram is caught.
    const std::vector<std::byte> d(reinterpret_cast<const std::byte *>(data) + 1,
                                   reinterpret_cast<const std::byte *>(data) + size);
    parse_all(d);
  }
  return 0;
}
