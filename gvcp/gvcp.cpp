#include "gvcp/gvcp.h"

#include <algorithm>

#include "gvsp/byte_order_internal.h"

namespace gvcp {
namespace {

using namespace byte_order;

std::size_t put_header(out_bytes out, std::uint8_t flags, std::uint16_t command,
                       std::size_t payload, std::uint16_t req_id) {
  if (req_id == 0 || payload > max_payload || out.size() < header_size + payload) return 0;
  out[0] = std::byte{key};
  out[1] = std::byte{flags};
  put16(out, 2, command);
  put16(out, 4, static_cast<std::uint16_t>(payload));
  put16(out, 6, req_id);
  std::fill(out.begin() + header_size, out.begin() + header_size + payload, std::byte{0});
  return header_size + payload;
}

// A fixed-width text field: up to its first NUL.
std::string_view text(bytes b, std::size_t off, std::size_t n) {
  const char *p = reinterpret_cast<const char *>(b.data() + off);
  std::size_t len = 0;
  while (len < n && p[len] != '\0') ++len;
  return {p, len};
}

void put_text(out_bytes b, std::size_t off, std::size_t n, std::string_view s) {
  const std::size_t len = std::min(s.size(), n);
  for (std::size_t i = 0; i < len; ++i) b[off + i] = std::byte(static_cast<unsigned char>(s[i]));
}

}  // namespace

std::string_view status_name(std::uint16_t status) {
  switch (status) {
    case status_success:
      return "success";
    case status_not_implemented:
      return "not implemented";
    case status_invalid_parameter:
      return "invalid parameter";
    case status_invalid_address:
      return "invalid address";
    case status_write_protect:
      return "write protected";
    case status_bad_alignment:
      return "bad alignment";
    case status_access_denied:
      return "access denied";
    case status_busy:
      return "busy";
    case 0x800C:
      return "packet unavailable";
    case 0x800D:
      return "data overrun";
    case status_invalid_header:
      return "invalid header";
    case status_error:
      return "error";
    default:
      return "";
  }
}

std::string_view error_name(Error e) {
  switch (e) {
    case Error::ok:
      return "ok";
    case Error::truncated:
      return "truncated";
    case Error::bad_key:
      return "bad key";
    case Error::bad_length:
      return "bad length";
    case Error::bad_count:
      return "bad count";
    case Error::wrong_answer:
      return "wrong answer";
    case Error::bad_alignment:
      return "bad alignment";
  }
  return "unknown";
}

std::size_t build_discovery(out_bytes out, std::uint16_t req_id) {
  return put_header(out, flag_ack_required | flag_broadcast_ack, cmd_discovery, 0, req_id);
}

std::size_t build_forceip(out_bytes out, std::uint16_t req_id,
                          const std::array<std::uint8_t, 6> &mac, std::uint32_t ip,
                          std::uint32_t mask, std::uint32_t gateway) {
  const std::size_t n =
      put_header(out, flag_ack_required | flag_broadcast_ack, cmd_forceip, 56, req_id);
  if (n == 0) return 0;
  for (std::size_t i = 0; i < 6; ++i) out[header_size + 2 + i] = std::byte{mac[i]};
  put32(out, header_size + 20, ip);
  put32(out, header_size + 36, mask);
  put32(out, header_size + 52, gateway);
  return n;
}

std::size_t build_readreg(out_bytes out, std::uint16_t req_id,
                          std::span<const std::uint32_t> addresses) {
  if (addresses.empty() || addresses.size() > max_readreg_count) return 0;
  for (std::uint32_t a : addresses)
    if (a % 4 != 0) return 0;
  const std::size_t n =
      put_header(out, flag_ack_required, cmd_readreg, addresses.size() * 4, req_id);
  if (n == 0) return 0;
  for (std::size_t i = 0; i < addresses.size(); ++i) put32(out, header_size + 4 * i, addresses[i]);
  return n;
}

std::size_t build_writereg(out_bytes out, std::uint16_t req_id, std::span<const RegWrite> writes) {
  if (writes.empty() || writes.size() > max_writereg_count) return 0;
  for (const RegWrite &w : writes)
    if (w.address % 4 != 0) return 0;
  const std::size_t n = put_header(out, flag_ack_required, cmd_writereg, writes.size() * 8, req_id);
  if (n == 0) return 0;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    put32(out, header_size + 8 * i, writes[i].address);
    put32(out, header_size + 8 * i + 4, writes[i].value);
  }
  return n;
}

std::size_t build_readmem(out_bytes out, std::uint16_t req_id, std::uint32_t address,
                          std::uint16_t count) {
  if (count == 0 || count % 4 != 0 || count > max_mem_bytes || address % 4 != 0) return 0;
  const std::size_t n = put_header(out, flag_ack_required, cmd_readmem, 8, req_id);
  if (n == 0) return 0;
  put32(out, header_size, address);
  put16(out, header_size + 6, count);
  return n;
}

std::size_t build_writemem(out_bytes out, std::uint16_t req_id, std::uint32_t address, bytes data) {
  if (data.empty() || data.size() % 4 != 0 || data.size() > max_mem_bytes || address % 4 != 0)
    return 0;
  const std::size_t n = put_header(out, flag_ack_required, cmd_writemem, 4 + data.size(), req_id);
  if (n == 0) return 0;
  put32(out, header_size, address);
  std::copy(data.begin(), data.end(), out.begin() + header_size + 4);
  return n;
}

Result<Command> parse_command(bytes datagram) {
  if (datagram.size() < header_size) return {{}, Error::truncated};
  if (std::to_integer<std::uint8_t>(datagram[0]) != key) return {{}, Error::bad_key};
  Command c;
  c.flags = std::to_integer<std::uint8_t>(datagram[1]);
  c.command = get16(datagram, 2);
  const std::size_t length = get16(datagram, 4);
  c.req_id = get16(datagram, 6);
  if (datagram.size() - header_size < length) return {{}, Error::bad_length};
  c.payload = datagram.subspan(header_size, length);
  return {c, Error::ok};
}

Result<Ack> parse_ack(bytes datagram) {
  if (datagram.size() < header_size) return {{}, Error::truncated};
  Ack a;
  a.status = get16(datagram, 0);
  a.ack = get16(datagram, 2);
  const std::size_t length = get16(datagram, 4);
  a.ack_id = get16(datagram, 6);
  if (datagram.size() - header_size < length) return {{}, Error::bad_length};
  a.payload = datagram.subspan(header_size, length);
  return {a, Error::ok};
}

std::size_t build_ack(out_bytes out, std::uint16_t status, std::uint16_t ack, std::uint16_t ack_id,
                      bytes payload) {
  if (payload.size() > 0xFFFF || out.size() < header_size + payload.size()) return 0;
  put16(out, 0, status);
  put16(out, 2, ack);
  put16(out, 4, static_cast<std::uint16_t>(payload.size()));
  put16(out, 6, ack_id);
  std::copy(payload.begin(), payload.end(), out.begin() + header_size);
  return header_size + payload.size();
}

Result<DeviceInfo> parse_discovery_ack(const Ack &a) {
  if (a.ack != ack_discovery) return {{}, Error::wrong_answer};
  const bytes p = a.payload;
  if (p.size() < discovery_ack_size) return {{}, Error::truncated};
  DeviceInfo d;
  d.version_major = get16(p, 0);
  d.version_minor = get16(p, 2);
  d.device_mode = get32(p, 4);
  for (std::size_t i = 0; i < 6; ++i) d.mac[i] = std::to_integer<std::uint8_t>(p[10 + i]);
  d.ip_config_supported = get32(p, 0x10);
  d.ip_config_current = get32(p, 0x14);
  d.ip = get32(p, 0x24);
  d.mask = get32(p, 0x34);
  d.gateway = get32(p, 0x44);
  d.manufacturer = text(p, 0x48, 32);
  d.model = text(p, 0x68, 32);
  d.device_version = text(p, 0x88, 32);
  d.manufacturer_info = text(p, 0xA8, 48);
  d.serial = text(p, 0xD8, 16);
  d.user_name = text(p, 0xE8, 16);
  return {d, Error::ok};
}

std::size_t build_discovery_payload(out_bytes out, const DeviceInfo &d) {
  if (out.size() < discovery_ack_size) return 0;
  std::fill(out.begin(), out.begin() + discovery_ack_size, std::byte{0});
  put16(out, 0, d.version_major);
  put16(out, 2, d.version_minor);
  put32(out, 4, d.device_mode);
  for (std::size_t i = 0; i < 6; ++i) out[10 + i] = std::byte{d.mac[i]};
  put32(out, 0x10, d.ip_config_supported);
  put32(out, 0x14, d.ip_config_current);
  put32(out, 0x24, d.ip);
  put32(out, 0x34, d.mask);
  put32(out, 0x44, d.gateway);
  put_text(out, 0x48, 32, d.manufacturer);
  put_text(out, 0x68, 32, d.model);
  put_text(out, 0x88, 32, d.device_version);
  put_text(out, 0xA8, 48, d.manufacturer_info);
  put_text(out, 0xD8, 16, d.serial);
  put_text(out, 0xE8, 16, d.user_name);
  return discovery_ack_size;
}

std::uint32_t Values::operator[](std::size_t i) const {
  return get32(raw, 4 * i);
}

Result<Values> parse_readreg_ack(const Ack &a, std::size_t count) {
  if (a.ack != ack_readreg) return {{}, Error::wrong_answer};
  if (a.payload.size() < 4 * count) return {{}, Error::truncated};
  return {Values{a.payload.first(4 * count)}, Error::ok};
}

Result<std::uint16_t> parse_write_ack(const Ack &a) {
  if (a.ack != ack_writereg && a.ack != ack_writemem) return {{}, Error::wrong_answer};
  if (a.payload.size() < 4) return {{}, Error::truncated};
  return {get16(a.payload, 2), Error::ok};
}

Result<Memory> parse_readmem_ack(const Ack &a, std::uint32_t address, std::uint16_t count) {
  if (a.ack != ack_readmem) return {{}, Error::wrong_answer};
  if (a.payload.size() < 4 + std::size_t{count}) return {{}, Error::truncated};
  Memory m{get32(a.payload, 0), a.payload.subspan(4, count)};
  if (m.address != address) return {{}, Error::wrong_answer};
  return {m, Error::ok};
}

Result<std::uint16_t> parse_pending_ack(const Ack &a) {
  if (a.ack != ack_pending) return {{}, Error::wrong_answer};
  if (a.payload.size() < 4) return {{}, Error::truncated};
  return {get16(a.payload, 2), Error::ok};
}

RegWrite RegWrites::operator[](std::size_t i) const {
  return {get32(raw, 8 * i), get32(raw, 8 * i + 4)};
}

Result<Values> parse_readreg_command(const Command &c) {
  const bytes p = c.payload;
  if (p.empty() || p.size() % 4 != 0) return {{}, Error::bad_length};
  if (p.size() / 4 > max_readreg_count) return {{}, Error::bad_count};
  for (std::size_t i = 0; i < p.size(); i += 4)
    if (get32(p, i) % 4 != 0) return {{}, Error::bad_alignment};
  return {Values{p}, Error::ok};
}

Result<RegWrites> parse_writereg_command(const Command &c) {
  const bytes p = c.payload;
  if (p.empty() || p.size() % 8 != 0) return {{}, Error::bad_length};
  if (p.size() / 8 > max_writereg_count) return {{}, Error::bad_count};
  for (std::size_t i = 0; i < p.size(); i += 8)
    if (get32(p, i) % 4 != 0) return {{}, Error::bad_alignment};
  return {RegWrites{p}, Error::ok};
}

Result<MemRead> parse_readmem_command(const Command &c) {
  if (c.payload.size() < 8) return {{}, Error::bad_length};
  MemRead m{get32(c.payload, 0), get16(c.payload, 6)};
  if (m.count == 0 || m.count > max_mem_bytes) return {{}, Error::bad_count};
  if (m.address % 4 != 0 || m.count % 4 != 0) return {{}, Error::bad_alignment};
  return {m, Error::ok};
}

Result<Memory> parse_writemem_command(const Command &c) {
  if (c.payload.size() < 8) return {{}, Error::bad_length};
  Memory m{get32(c.payload, 0), c.payload.subspan(4)};
  if (m.data.size() > max_mem_bytes) return {{}, Error::bad_count};
  if (m.address % 4 != 0 || m.data.size() % 4 != 0) return {{}, Error::bad_alignment};
  return {m, Error::ok};
}

std::size_t build_readreg_ack(out_bytes out, std::uint16_t status, std::uint16_t ack_id,
                              std::span<const std::uint32_t> values) {
  if (values.size() > max_readreg_count) return 0;
  const std::size_t n = build_ack(out, status, ack_readreg, ack_id, {});
  if (n == 0 || out.size() < n + 4 * values.size()) return 0;
  put16(out, 4, static_cast<std::uint16_t>(4 * values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) put32(out, header_size + 4 * i, values[i]);
  return n + 4 * values.size();
}

std::size_t build_write_ack(out_bytes out, std::uint16_t ack, std::uint16_t status,
                            std::uint16_t ack_id, std::uint16_t index) {
  if (ack != ack_writereg && ack != ack_writemem) return 0;
  std::array<std::byte, 4> payload{};
  put16(payload, 2, index);
  return build_ack(out, status, ack, ack_id, payload);
}

std::size_t build_readmem_ack(out_bytes out, std::uint16_t status, std::uint16_t ack_id,
                              std::uint32_t address, bytes data) {
  if (data.size() > max_mem_bytes || out.size() < header_size + 4 + data.size()) return 0;
  const std::size_t n = build_ack(out, status, ack_readmem, ack_id, {});
  if (n == 0) return 0;
  put16(out, 4, static_cast<std::uint16_t>(4 + data.size()));
  put32(out, header_size, address);
  std::copy(data.begin(), data.end(), out.begin() + header_size + 4);
  return header_size + 4 + data.size();
}

std::size_t build_pending_ack(out_bytes out, std::uint16_t ack_id, std::uint16_t milliseconds) {
  std::array<std::byte, 4> payload{};
  put16(payload, 2, milliseconds);
  return build_ack(out, status_success, ack_pending, ack_id, payload);
}

}  // namespace gvcp
