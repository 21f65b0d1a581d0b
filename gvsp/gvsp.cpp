#include "gvsp/gvsp.h"

#include <cstring>

#include "gvsp/byte_order_internal.h"

namespace gvsp {
namespace {

using namespace byte_order;

template <typename T>
Result<T> refuse(Error e) {
  return Result<T>{T{}, e};
}

// Fixed size of a leader's data by base payload type; 0 where it varies
// (file) or is unknown.
std::size_t fixed_leader_size(std::uint16_t base) {
  switch (base) {
    case payload_type_image:
    case payload_type_extended_chunk:
      return 36;
    case payload_type_raw:
      return 20;
    case payload_type_chunk:
      return leader_common_size;
    case payload_type_jpeg:
    case payload_type_jpeg2000:
      return 32;
    default:
      return 0;
  }
}

// Trailer's own fields, before the chunk-bit ones.
std::size_t own_trailer_size(std::uint16_t base) {
  switch (base) {
    case payload_type_image:
    case payload_type_multizone:
    case payload_type_chunk:
      return 8;
    case payload_type_extended_chunk:
      return 16;
    default:
      return 4;
  }
}

// Leader fields after the common part; `data` holds at least leader_size.
void write_leader_body(out_bytes out, const Leader &l) {
  put8(out, 0, l.field_info);
  put8(out, 1, l.generic_flags);
  put16(out, 2, l.payload_type);
  put64(out, 4, l.timestamp);
  switch (payload_type_base(l.payload_type)) {
    case payload_type_image:
    case payload_type_extended_chunk:
      put32(out, 12, l.pixel_format);
      put32(out, 16, l.size_x);
      put32(out, 20, l.size_y);
      put32(out, 24, l.offset_x);
      put32(out, 28, l.offset_y);
      put16(out, 32, l.padding_x);
      put16(out, 34, l.padding_y);
      break;
    case payload_type_raw:
      put64(out, 12, l.payload_data_size);
      break;
    case payload_type_file:
      put64(out, 12, l.payload_data_size);
      if (!l.file_name.empty()) std::memcpy(&out[20], l.file_name.data(), l.file_name.size());
      put8(out, 20 + l.file_name.size(), 0);
      break;
    case payload_type_jpeg:
    case payload_type_jpeg2000:
      put64(out, 12, l.payload_data_size);
      put64(out, 20, l.timestamp_tick_frequency);
      put32(out, 28, l.data_format);
      break;
    default:
      break;
  }
}

void write_trailer_body(out_bytes out, const Trailer &t) {
  const std::uint16_t base = payload_type_base(t.payload_type);
  put16(out, 0, 0);
  put16(out, 2, t.payload_type);
  switch (base) {
    case payload_type_image:
    case payload_type_multizone:
      put32(out, 4, t.size_y);
      break;
    case payload_type_chunk:
      put32(out, 4, t.chunk_data_payload_length);
      break;
    case payload_type_extended_chunk:
      put32(out, 4, t.chunk_data_payload_length);
      put32(out, 8, t.size_y);
      put32(out, 12, t.chunk_layout_id);
      break;
    default:
      break;
  }
  if (payload_type_has_chunks(t.payload_type)) {
    const std::size_t off = own_trailer_size(base);
    put32(out, off, t.chunk_data_payload_length);
    put32(out, off + 4, t.chunk_layout_id);
  }
}

// For an all-in packet: the leader data's length as found in the datagram (the
// file type's name runs to its NUL, which must be there).
Result<std::size_t> leader_extent(bytes data) {
  if (data.size() < leader_common_size) return refuse<std::size_t>(Error::truncated);
  const std::uint16_t base = payload_type_base(get16(data, 2));
  if (base == payload_type_file) {
    if (data.size() < 20) return refuse<std::size_t>(Error::truncated);
    for (std::size_t i = 20; i < data.size(); ++i) {
      if (data[i] == std::byte{0}) return {i + 1, Error::ok};
    }
    return refuse<std::size_t>(Error::truncated);
  }
  const std::size_t n = fixed_leader_size(base);
  if (n == 0) return refuse<std::size_t>(Error::bad_payload_type);
  if (data.size() < n) return refuse<std::size_t>(Error::truncated);
  return {n, Error::ok};
}

}  // namespace

std::string_view error_name(Error e) {
  switch (e) {
    case Error::ok:
      return "ok";
    case Error::truncated:
      return "truncated";
    case Error::bad_format:
      return "bad format";
    case Error::bad_packet_id:
      return "bad packet id";
    case Error::bad_block_id:
      return "bad block id";
    case Error::bad_payload_type:
      return "bad payload type";
    case Error::bad_key:
      return "bad key";
    case Error::bad_length:
      return "bad length";
    case Error::unknown_command:
      return "unknown command";
    case Error::bad_range:
      return "bad range";
  }
  return "unknown error";
}

// ---------------------------------------------------------------------------
// Header

std::size_t build_header(out_bytes out, const Header &h) {
  const std::size_t n = header_size(h.kind);
  if (out.size() < n || h.format > 0x0F || h.block_id > max_block_id(h.kind) ||
      h.packet_id > max_packet_id(h.kind)) {
    return 0;
  }
  put16(out, 0, h.status);
  if (h.kind == HeaderKind::standard) {
    put16(out, 2, static_cast<std::uint16_t>(h.block_id));
    put8(out, 4, h.format);
    put24(out, 5, h.packet_id);
  } else {
    put8(out, 2, h.device_flags);
    put8(out, 3, h.flags);
    put8(out, 4, static_cast<std::uint8_t>(0x80 | h.format));
    put24(out, 5, 0);
    put64(out, 8, h.block_id);
    put32(out, 16, h.packet_id);
  }
  return n;
}

Result<Header> parse_header(bytes d) {
  if (d.size() < standard_header_size) return refuse<Header>(Error::truncated);
  Header h;
  h.status = get16(d, 0);
  const auto fmt = std::to_integer<std::uint8_t>(d[4]);
  h.format = fmt & 0x0F;
  if ((fmt & 0x80) == 0) {
    h.kind = HeaderKind::standard;
    h.block_id = get16(d, 2);
    h.packet_id = get24(d, 5);
  } else {
    if (d.size() < extended_header_size) return refuse<Header>(Error::truncated);
    h.kind = HeaderKind::extended;
    h.device_flags = std::to_integer<std::uint8_t>(d[2]);
    h.flags = std::to_integer<std::uint8_t>(d[3]);
    h.block_id = get64(d, 8);
    h.packet_id = get32(d, 16);
  }
  if (h.block_id == 0) return refuse<Header>(Error::bad_block_id);
  return {h, Error::ok};
}

// ---------------------------------------------------------------------------
// Leader and trailer

std::size_t leader_size(const Leader &l) {
  const std::uint16_t base = payload_type_base(l.payload_type);
  if (base == payload_type_file) return 20 + l.file_name.size() + 1;
  const std::size_t n = fixed_leader_size(base);
  return n != 0 ? n : leader_common_size;
}

std::size_t trailer_size(std::uint16_t payload_type) {
  return own_trailer_size(payload_type_base(payload_type)) +
         (payload_type_has_chunks(payload_type) ? 8 : 0);
}

bool payload_type_known(std::uint16_t payload_type) {
  const std::uint16_t base = payload_type_base(payload_type);
  return base == payload_type_file || fixed_leader_size(base) != 0;
}

Result<Leader> parse_leader(bytes d) {
  if (d.size() < leader_common_size) return refuse<Leader>(Error::truncated);
  Leader l;
  l.field_info = std::to_integer<std::uint8_t>(d[0]);
  l.generic_flags = std::to_integer<std::uint8_t>(d[1]);
  l.payload_type = get16(d, 2);
  l.timestamp = get64(d, 4);
  const std::uint16_t base = payload_type_base(l.payload_type);
  const std::size_t need = base == payload_type_file ? 20 : fixed_leader_size(base);
  if (d.size() < need) return refuse<Leader>(Error::truncated);
  switch (base) {
    case payload_type_image:
    case payload_type_extended_chunk:
      l.pixel_format = get32(d, 12);
      l.size_x = get32(d, 16);
      l.size_y = get32(d, 20);
      l.offset_x = get32(d, 24);
      l.offset_y = get32(d, 28);
      l.padding_x = get16(d, 32);
      l.padding_y = get16(d, 34);
      break;
    case payload_type_raw:
      l.payload_data_size = get64(d, 12);
      break;
    case payload_type_file: {
      l.payload_data_size = get64(d, 12);
      std::size_t end = 20;
      while (end < d.size() && d[end] != std::byte{0}) ++end;
      l.file_name = std::string_view(reinterpret_cast<const char *>(d.data()) + 20, end - 20);
      break;
    }
    case payload_type_jpeg:
    case payload_type_jpeg2000:
      l.payload_data_size = get64(d, 12);
      l.timestamp_tick_frequency = get64(d, 20);
      l.data_format = get32(d, 28);
      break;
    default:
      break;
  }
  return {l, Error::ok};
}

Result<Trailer> parse_trailer(bytes d) {
  if (d.size() < 4) return refuse<Trailer>(Error::truncated);
  Trailer t;
  t.payload_type = get16(d, 2);
  if (d.size() < trailer_size(t.payload_type)) return refuse<Trailer>(Error::truncated);
  const std::uint16_t base = payload_type_base(t.payload_type);
  switch (base) {
    case payload_type_image:
    case payload_type_multizone:
      t.size_y = get32(d, 4);
      break;
    case payload_type_chunk:
      t.chunk_data_payload_length = get32(d, 4);
      break;
    case payload_type_extended_chunk:
      t.chunk_data_payload_length = get32(d, 4);
      t.size_y = get32(d, 8);
      t.chunk_layout_id = get32(d, 12);
      break;
    default:
      break;
  }
  if (payload_type_has_chunks(t.payload_type)) {
    const std::size_t off = own_trailer_size(base);
    t.chunk_data_payload_length = get32(d, off);
    t.chunk_layout_id = get32(d, off + 4);
  }
  return {t, Error::ok};
}

// ---------------------------------------------------------------------------
// Packets

Result<Packet> parse_packet(bytes d) {
  const Result<Header> h = parse_header(d);
  if (!h) return refuse<Packet>(h.error);
  Packet p;
  p.header = h.value;
  const bytes body = d.subspan(header_size(p.header.kind));
  // An all-in packet is the whole block, and its status is the block's.
  if (status_is_error(p.header.status) && static_cast<Format>(p.header.format) != Format::all_in) {
    p.kind = PacketKind::error;
    return {p, Error::ok};
  }
  switch (static_cast<Format>(p.header.format)) {
    case Format::leader: {
      if (p.header.packet_id != 0) return refuse<Packet>(Error::bad_packet_id);
      const Result<Leader> l = parse_leader(body);
      if (!l) return refuse<Packet>(l.error);
      p.kind = PacketKind::leader;
      p.leader = l.value;
      return {p, Error::ok};
    }
    case Format::trailer: {
      if (p.header.packet_id == 0) return refuse<Packet>(Error::bad_packet_id);
      const Result<Trailer> t = parse_trailer(body);
      if (!t) return refuse<Packet>(t.error);
      p.kind = PacketKind::trailer;
      p.trailer = t.value;
      return {p, Error::ok};
    }
    case Format::payload:
      if (p.header.packet_id == 0) return refuse<Packet>(Error::bad_packet_id);
      p.kind = PacketKind::payload;
      p.data = body;
      return {p, Error::ok};
    case Format::all_in: {
      if (p.header.packet_id != 0) return refuse<Packet>(Error::bad_packet_id);
      const Result<std::size_t> ln = leader_extent(body);
      if (!ln) return refuse<Packet>(ln.error);
      const Result<Leader> l = parse_leader(body.first(ln.value));
      if (!l) return refuse<Packet>(l.error);
      const bytes rest = body.subspan(ln.value);
      // The trailer's size follows from the leader's type; a trailer naming
      // another type would put the data at a different offset.
      if (rest.size() < 4) return refuse<Packet>(Error::truncated);
      if (get16(rest, 2) != l.value.payload_type) return refuse<Packet>(Error::bad_payload_type);
      const std::size_t tn = trailer_size(l.value.payload_type);
      if (rest.size() < tn) return refuse<Packet>(Error::truncated);
      const Result<Trailer> t = parse_trailer(rest.first(tn));
      if (!t) return refuse<Packet>(t.error);
      p.kind = PacketKind::all_in;
      p.leader = l.value;
      p.trailer = t.value;
      p.data = rest.subspan(tn);
      return {p, Error::ok};
    }
    default:
      return refuse<Packet>(Error::bad_format);
  }
}

std::size_t build_leader(out_bytes out, Header h, const Leader &l) {
  h.format = static_cast<std::uint8_t>(Format::leader);
  const std::size_t hn = header_size(h.kind);
  const std::size_t n = hn + leader_size(l);
  if (out.size() < n || build_header(out, h) == 0) return 0;
  write_leader_body(out.subspan(hn), l);
  return n;
}

std::size_t build_trailer(out_bytes out, Header h, const Trailer &t) {
  h.format = static_cast<std::uint8_t>(Format::trailer);
  const std::size_t hn = header_size(h.kind);
  const std::size_t n = hn + trailer_size(t.payload_type);
  if (out.size() < n || build_header(out, h) == 0) return 0;
  write_trailer_body(out.subspan(hn), t);
  return n;
}

std::size_t build_payload(out_bytes out, Header h, bytes data) {
  h.format = static_cast<std::uint8_t>(Format::payload);
  const std::size_t hn = header_size(h.kind);
  const std::size_t n = hn + data.size();
  if (out.size() < n || build_header(out, h) == 0) return 0;
  if (!data.empty()) std::memcpy(out.data() + hn, data.data(), data.size());
  return n;
}

std::size_t build_all_in(out_bytes out, Header h, const Leader &l, const Trailer &t, bytes data) {
  h.format = static_cast<std::uint8_t>(Format::all_in);
  const std::size_t hn = header_size(h.kind);
  const std::size_t ln = leader_size(l);
  const std::size_t tn = trailer_size(t.payload_type);
  const std::size_t n = hn + ln + tn + data.size();
  if (out.size() < n || build_header(out, h) == 0) return 0;
  write_leader_body(out.subspan(hn), l);
  write_trailer_body(out.subspan(hn + ln), t);
  if (!data.empty()) std::memcpy(out.data() + hn + ln + tn, data.data(), data.size());
  return n;
}

std::size_t build_error(out_bytes out, Header h, std::uint16_t status) {
  h.status = status;
  return build_header(out, h);
}

// ---------------------------------------------------------------------------
// GVCP PACKETRESEND_CMD

std::size_t build_resend_command(out_bytes out, const ResendCommand &c) {
  const bool ext = c.kind == HeaderKind::extended;
  const std::size_t n = ext ? resend_command_extended_size : resend_command_size;
  if (out.size() < n || c.block_id > max_block_id(c.kind) ||
      c.first_packet_id > max_packet_id(c.kind) || c.last_packet_id > max_packet_id(c.kind)) {
    return 0;
  }
  put8(out, 0, gvcp_key);
  put8(out, 1, ext ? gvcp_flag_extended_ids : 0);
  put16(out, 2, gvcp_command_packetresend);
  put16(out, 4, static_cast<std::uint16_t>(n - gvcp_header_size));
  put16(out, 6, c.req_id);
  put16(out, 8, c.channel);
  put16(out, 10, ext ? 0 : static_cast<std::uint16_t>(c.block_id));
  put32(out, 12, c.first_packet_id);
  put32(out, 16, c.last_packet_id);
  if (ext) {
    put32(out, 20, static_cast<std::uint32_t>(c.block_id >> 32));
    put32(out, 24, static_cast<std::uint32_t>(c.block_id & 0xFFFFFFFF));
  }
  return n;
}

Result<ResendCommand> parse_resend_command(bytes d) {
  if (d.size() < gvcp_header_size) return refuse<ResendCommand>(Error::truncated);
  if (std::to_integer<std::uint8_t>(d[0]) != gvcp_key) return refuse<ResendCommand>(Error::bad_key);
  if (get16(d, 2) != gvcp_command_packetresend) {
    return refuse<ResendCommand>(Error::unknown_command);
  }
  ResendCommand c;
  const bool ext = (std::to_integer<std::uint8_t>(d[1]) & gvcp_flag_extended_ids) != 0;
  c.kind = ext ? HeaderKind::extended : HeaderKind::standard;
  const std::size_t n = ext ? resend_command_extended_size : resend_command_size;
  if (get16(d, 4) != n - gvcp_header_size) return refuse<ResendCommand>(Error::bad_length);
  if (d.size() < n) return refuse<ResendCommand>(Error::truncated);
  if (d.size() > n) return refuse<ResendCommand>(Error::bad_length);
  c.req_id = get16(d, 6);
  c.channel = get16(d, 8);
  c.first_packet_id = get32(d, 12);
  c.last_packet_id = get32(d, 16);
  c.block_id = ext ? get64(d, 20) : get16(d, 10);
  if (c.block_id == 0) return refuse<ResendCommand>(Error::bad_block_id);
  if (c.first_packet_id > max_packet_id(c.kind) || c.last_packet_id > max_packet_id(c.kind)) {
    return refuse<ResendCommand>(Error::bad_packet_id);
  }
  if (c.first_packet_id > c.last_packet_id) return refuse<ResendCommand>(Error::bad_range);
  return {c, Error::ok};
}

}  // namespace gvsp
