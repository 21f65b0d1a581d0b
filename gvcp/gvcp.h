// gvcp: the control protocol's commands and acknowledges, as bytes.
//
// Same shape as gvsp/: builders write into the caller's span and return the
// bytes written (0 when the command does not fit or cannot be expressed);
// parsers take the datagram and return a view into it or the reason they
// refused it, checking every length and count against the datagram before
// reading. No socket, clock or allocation. Everything is big-endian.
// PACKETRESEND lives in gvsp/, beside the stream it serves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace gvcp {

using bytes = std::span<const std::byte>;
using out_bytes = std::span<std::byte>;

inline constexpr std::uint16_t port = 3956;
inline constexpr std::size_t header_size = 8;
inline constexpr std::uint8_t key = 0x42;
inline constexpr std::uint8_t flag_ack_required = 0x01;
// DISCOVERY and FORCEIP: the device may answer by broadcast when the
// host is not on its subnet, which is exactly when these are needed.
inline constexpr std::uint8_t flag_broadcast_ack = 0x10;

// The protocol's bound on a command's payload; READREG/WRITEMEM limits follow.
inline constexpr std::size_t max_payload = 540;
inline constexpr std::size_t max_readreg_count = 135;
inline constexpr std::size_t max_writereg_count = max_payload / 8;
inline constexpr std::size_t max_mem_bytes = 536;
inline constexpr std::size_t max_datagram = header_size + max_payload;

inline constexpr std::uint16_t cmd_discovery = 0x0002;
inline constexpr std::uint16_t ack_discovery = 0x0003;
inline constexpr std::uint16_t cmd_forceip = 0x0004;
inline constexpr std::uint16_t ack_forceip = 0x0005;
inline constexpr std::uint16_t cmd_readreg = 0x0080;
inline constexpr std::uint16_t ack_readreg = 0x0081;
inline constexpr std::uint16_t cmd_writereg = 0x0082;
inline constexpr std::uint16_t ack_writereg = 0x0083;
inline constexpr std::uint16_t cmd_readmem = 0x0084;
inline constexpr std::uint16_t ack_readmem = 0x0085;
inline constexpr std::uint16_t cmd_writemem = 0x0086;
inline constexpr std::uint16_t ack_writemem = 0x0087;
inline constexpr std::uint16_t ack_pending = 0x0089;
inline constexpr std::uint16_t cmd_packetresend = 0x0040;
inline constexpr std::uint16_t cmd_event = 0x00C0;
inline constexpr std::uint16_t cmd_eventdata = 0x00C2;

// The acknowledge code that answers a command (0 for none).
constexpr std::uint16_t ack_for(std::uint16_t command) {
  switch (command) {
    case cmd_discovery:
    case cmd_forceip:
    case cmd_readreg:
    case cmd_writereg:
    case cmd_readmem:
    case cmd_writemem:
      return static_cast<std::uint16_t>(command + 1);
    default:
      return 0;
  }
}

inline constexpr std::uint16_t status_success = 0x0000;
inline constexpr std::uint16_t status_not_implemented = 0x8001;
inline constexpr std::uint16_t status_invalid_parameter = 0x8002;
inline constexpr std::uint16_t status_invalid_address = 0x8003;
inline constexpr std::uint16_t status_write_protect = 0x8004;
inline constexpr std::uint16_t status_bad_alignment = 0x8005;
inline constexpr std::uint16_t status_access_denied = 0x8006;
inline constexpr std::uint16_t status_busy = 0x8007;
inline constexpr std::uint16_t status_invalid_header = 0x800E;
inline constexpr std::uint16_t status_error = 0x8FFF;

// Short English text of a status ("access denied", ...; "error 0x8123" style
// names are left to the caller for codes this table lacks: returns "").
std::string_view status_name(std::uint16_t status);

// Bootstrap registers.
inline constexpr std::uint32_t reg_version = 0x0000;
inline constexpr std::uint32_t reg_device_mode = 0x0004;
inline constexpr std::uint32_t reg_mac_high = 0x0008;
inline constexpr std::uint32_t reg_mac_low = 0x000C;
inline constexpr std::uint32_t reg_current_ip = 0x0024;
inline constexpr std::uint32_t reg_current_mask = 0x0034;
inline constexpr std::uint32_t reg_current_gateway = 0x0044;
// Manufacturer name, model name, device version: 32 bytes each, adjacent.
inline constexpr std::uint32_t reg_manufacturer_name = 0x0048;
inline constexpr std::uint32_t reg_device_version = 0x0088;
inline constexpr std::uint32_t reg_first_url = 0x0200;
inline constexpr std::uint32_t reg_second_url = 0x0400;
inline constexpr std::size_t url_size = 512;
inline constexpr std::uint32_t reg_stream_channel_count = 0x0904;
inline constexpr std::uint32_t reg_gvcp_capability = 0x0934;
// Several operations in one command: READREG with many addresses.
inline constexpr std::uint32_t gvcp_cap_concatenation = 0x1;
inline constexpr std::uint32_t reg_heartbeat_timeout = 0x0938;
inline constexpr std::uint32_t reg_ccp = 0x0A00;
inline constexpr std::uint32_t ccp_exclusive = 0x1;
inline constexpr std::uint32_t ccp_control = 0x2;

constexpr std::uint32_t reg_scp(unsigned channel) {
  return 0x0D00 + 0x40 * channel;
}
constexpr std::uint32_t reg_scps(unsigned channel) {
  return 0x0D04 + 0x40 * channel;
}
constexpr std::uint32_t reg_scpd(unsigned channel) {
  return 0x0D08 + 0x40 * channel;
}
constexpr std::uint32_t reg_scda(unsigned channel) {
  return 0x0D18 + 0x40 * channel;
}
constexpr std::uint32_t reg_scsp(unsigned channel) {
  return 0x0D1C + 0x40 * channel;
}
inline constexpr std::uint32_t scps_fire_test_packet = 0x80000000;
inline constexpr std::uint32_t scps_do_not_fragment = 0x40000000;
inline constexpr std::uint32_t scps_size_mask = 0xFFFF;

enum class Error : std::uint8_t {
  ok,
  truncated,      // the datagram ends before the fields it must hold
  bad_key,        // a command whose first byte is not 0x42
  bad_length,     // the length field disagrees with the datagram or the command's rules
  bad_count,      // a count or size outside the protocol's bounds or not a multiple of 4
  wrong_answer,   // an acknowledge of another kind than the one parsed for
  bad_alignment,  // an address or size that is not a multiple of 4
};

std::string_view error_name(Error e);

template <typename T>
struct Result {
  T value{};
  Error error = Error::ok;
  constexpr bool ok() const { return error == Error::ok; }
  constexpr explicit operator bool() const { return ok(); }
};

// ---------------------------------------------------------------------------
// Commands (host to device)

struct Command {
  std::uint8_t flags = 0;
  std::uint16_t command = 0;
  std::uint16_t req_id = 0;
  bytes payload;  // parsed: a view into the datagram
};

struct RegWrite {
  std::uint32_t address = 0;
  std::uint32_t value = 0;
};

// Request id 0 is reserved on the wire: the builders refuse it (return 0).
std::size_t build_discovery(out_bytes out, std::uint16_t req_id);
std::size_t build_forceip(out_bytes out, std::uint16_t req_id,
                          const std::array<std::uint8_t, 6> &mac, std::uint32_t ip,
                          std::uint32_t mask, std::uint32_t gateway);
// Addresses must be multiples of 4; 1 to 135 of them.
std::size_t build_readreg(out_bytes out, std::uint16_t req_id,
                          std::span<const std::uint32_t> addresses);
// 1 to 67 writes, addresses multiples of 4.
std::size_t build_writereg(out_bytes out, std::uint16_t req_id, std::span<const RegWrite> writes);
// count: 4 to 536, a multiple of 4; address a multiple of 4.
std::size_t build_readmem(out_bytes out, std::uint16_t req_id, std::uint32_t address,
                          std::uint16_t count);
std::size_t build_writemem(out_bytes out, std::uint16_t req_id, std::uint32_t address, bytes data);

// Any command: key, length against the datagram. Used by test devices and
// to recognise the device's own EVENT commands, which a client ignores.
Result<Command> parse_command(bytes datagram);

// ---------------------------------------------------------------------------
// Acknowledges (device to host)

struct Ack {
  std::uint16_t status = 0;
  std::uint16_t ack = 0;  // acknowledge code
  std::uint16_t ack_id = 0;
  bytes payload;  // exactly the length the header states
};

// Refuses a datagram shorter than its header or than the length it states.
// Bytes after the stated length are ignored (some devices pad).
Result<Ack> parse_ack(bytes datagram);

std::size_t build_ack(out_bytes out, std::uint16_t status, std::uint16_t ack, std::uint16_t ack_id,
                      bytes payload);

inline constexpr std::size_t discovery_ack_size = 248;

// What DISCOVERY_ACK carries. Strings point into the datagram and end at
// their first NUL or at the end of their field.
struct DeviceInfo {
  std::uint16_t version_major = 0, version_minor = 0;
  std::uint32_t device_mode = 0;
  std::array<std::uint8_t, 6> mac{};
  std::uint32_t ip_config_supported = 0, ip_config_current = 0;
  std::uint32_t ip = 0, mask = 0, gateway = 0;
  std::string_view manufacturer, model, device_version, manufacturer_info, serial, user_name;
};

Result<DeviceInfo> parse_discovery_ack(const Ack &a);
// READREG_ACK values, count as asked: a shorter answer is refused.
struct Values {
  bytes raw;
  std::size_t count() const { return raw.size() / 4; }
  std::uint32_t operator[](std::size_t i) const;
};
Result<Values> parse_readreg_ack(const Ack &a, std::size_t count);
// WRITEREG_ACK / WRITEMEM_ACK: the index of writes done (on error: the failing one).
Result<std::uint16_t> parse_write_ack(const Ack &a);
struct Memory {
  std::uint32_t address = 0;
  bytes data;
};
// READMEM_ACK; the answer must hold the count asked for, at the address asked.
Result<Memory> parse_readmem_ack(const Ack &a, std::uint32_t address, std::uint16_t count);
// PENDING_ACK: milliseconds until the real answer.
Result<std::uint16_t> parse_pending_ack(const Ack &a);

// DISCOVERY_ACK payload from its fields (for test devices).
std::size_t build_discovery_payload(out_bytes out, const DeviceInfo &d);

// ---------------------------------------------------------------------------
// The device's side: what a command asks for, refused where the protocol's
// rules forbid it (count, alignment, length not a whole number of entries),
// and the acknowledges that answer it.

// READREG addresses: 1 to 135, each a multiple of 4 (bad_count, or
// bad_alignment for a misaligned one, which the device answers with its own
// status rather than silence).
Result<Values> parse_readreg_command(const Command &c);
struct RegWrites {
  bytes raw;
  std::size_t count() const { return raw.size() / 8; }
  RegWrite operator[](std::size_t i) const;
};
// WRITEREG pairs: 1 to 67, each address a multiple of 4.
Result<RegWrites> parse_writereg_command(const Command &c);
struct MemRead {
  std::uint32_t address = 0;
  std::uint16_t count = 0;
};
// READMEM: count 4 to 536, multiples of 4, like the address.
Result<MemRead> parse_readmem_command(const Command &c);
// WRITEMEM: address then 4 to 536 bytes, a multiple of 4.
Result<Memory> parse_writemem_command(const Command &c);

// READREG_ACK with the values read (on error, those read before the failing
// address, as the length then says).
std::size_t build_readreg_ack(out_bytes out, std::uint16_t status, std::uint16_t ack_id,
                              std::span<const std::uint32_t> values);
// WRITEREG_ACK / WRITEMEM_ACK (ack picks which): the index of writes done.
std::size_t build_write_ack(out_bytes out, std::uint16_t ack, std::uint16_t status,
                            std::uint16_t ack_id, std::uint16_t index);
// READMEM_ACK: the address asked, then the bytes (none on error).
std::size_t build_readmem_ack(out_bytes out, std::uint16_t status, std::uint16_t ack_id,
                              std::uint32_t address, bytes data);
std::size_t build_pending_ack(out_bytes out, std::uint16_t ack_id, std::uint16_t milliseconds);

}  // namespace gvcp
