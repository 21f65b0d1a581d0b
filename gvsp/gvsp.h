// gvsp: the GVSP stream packets and the GVCP resend command, as bytes.
//
// Pure functions: parsers take the datagram as a span and return a view into
// it or the reason they refused it; builders write into the caller's span and
// return the number of bytes written, 0 when the packet does not fit or cannot
// be expressed (a 16-bit header asked to carry a 64-bit id). Nothing here
// touches a socket, reads a clock or allocates. Everything on the wire is
// big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace gvsp {

using bytes = std::span<const std::byte>;
using out_bytes = std::span<std::byte>;

// ---------------------------------------------------------------------------
// Sizes

inline constexpr std::size_t ip_header_size = 20;
inline constexpr std::size_t udp_header_size = 8;
inline constexpr std::size_t standard_header_size = 8;
inline constexpr std::size_t extended_header_size = 20;
inline constexpr std::size_t gvcp_header_size = 8;
inline constexpr std::size_t resend_command_size = gvcp_header_size + 12;
inline constexpr std::size_t resend_command_extended_size = gvcp_header_size + 20;
// The largest UDP payload an IPv4 datagram can carry.
inline constexpr std::size_t max_datagram_size = 65535 - ip_header_size - udp_header_size;

enum class HeaderKind : std::uint8_t { standard, extended };

constexpr std::size_t header_size(HeaderKind kind) {
  return kind == HeaderKind::extended ? extended_header_size : standard_header_size;
}

// A device's stream packet size counts the IP and UDP headers and the GVSP
// header, so the data a full payload packet carries is what is left of it.
// 0 when the packet size leaves no room for data.
constexpr std::size_t packet_data_capacity(std::size_t packet_size, HeaderKind kind) {
  const std::size_t overhead = ip_header_size + udp_header_size + header_size(kind);
  return packet_size > overhead ? packet_size - overhead : 0;
}

// Stream packet size (as a device states it) of a datagram of this UDP payload.
constexpr std::size_t stream_packet_size(std::size_t udp_payload_size) {
  return ip_header_size + udp_header_size + udp_payload_size;
}

// Payload packets needed for a block of data_bytes when every packet but the
// last carries bytes_per_packet. 0 for no data or no capacity.
constexpr std::uint64_t expected_packet_count(std::uint64_t data_bytes,
                                              std::uint64_t bytes_per_packet) {
  if (bytes_per_packet == 0) return 0;
  return data_bytes / bytes_per_packet + (data_bytes % bytes_per_packet != 0 ? 1 : 0);
}

// Byte offset in the block of the data of payload packet k (k >= 1; the leader
// is packet 0). 0 for k = 0.
constexpr std::uint64_t payload_data_offset(std::uint64_t packet_id,
                                            std::uint64_t bytes_per_packet) {
  return packet_id == 0 ? 0 : (packet_id - 1) * bytes_per_packet;
}

// ---------------------------------------------------------------------------
// Ids

// Largest packet id a header can carry: 24 bits in the standard header.
constexpr std::uint32_t max_packet_id(HeaderKind kind) {
  return kind == HeaderKind::extended ? 0xFFFFFFFFu : 0x00FFFFFFu;
}
constexpr std::uint64_t max_block_id(HeaderKind kind) {
  return kind == HeaderKind::extended ? ~std::uint64_t{0} : 0xFFFFu;
}

// The block id after id. Block id 0 means "no block" on the wire, so senders
// skip it: 16-bit ids wrap 65535 -> 1, and a 64-bit id that wraps goes to 1 too.
constexpr std::uint64_t block_id_next(std::uint64_t id, HeaderKind kind) {
  const std::uint64_t next = (id & max_block_id(kind)) + 1;
  const std::uint64_t wrapped = next & max_block_id(kind);
  return wrapped == 0 ? 1 : wrapped;
}

// Number of block_id_next steps from `from` to `to`, on the ring of ids that
// skips 0 (16-bit: 65535 ids; 64-bit: modular arithmetic less the 0 a wrap
// passes over).
constexpr std::uint64_t block_id_distance(std::uint64_t from, std::uint64_t to, HeaderKind kind) {
  if (kind == HeaderKind::extended) return to - from - (to < from && to != 0 && from != 0 ? 1 : 0);
  const std::uint64_t f = ((from & 0xFFFFu) + 0xFFFEu) % 0xFFFFu;  // 1..65535 -> 0..65534
  const std::uint64_t t = ((to & 0xFFFFu) + 0xFFFEu) % 0xFFFFu;
  return (t + 0xFFFFu - f) % 0xFFFFu;
}

// True when block a was sent before block b: b lies less than half the id
// ring ahead of a. Equal ids are not before each other.
constexpr bool block_id_before(std::uint64_t a, std::uint64_t b, HeaderKind kind) {
  const std::uint64_t d = block_id_distance(a, b, kind);
  const std::uint64_t half = kind == HeaderKind::extended ? (std::uint64_t{1} << 63) : 0xFFFFu / 2;
  return d != 0 && d <= half;
}

// A resend range first..last (inclusive) that names packets of a block whose
// highest packet id (its trailer) is last_packet_id.
constexpr bool packet_range_valid(std::uint32_t first, std::uint32_t last,
                                  std::uint32_t last_packet_id) {
  return first <= last && last <= last_packet_id;
}

// ---------------------------------------------------------------------------
// Refusals

enum class Error : std::uint8_t {
  ok,
  truncated,         // the datagram ends before the fields it must hold
  bad_format,        // a packet format this codec does not take (0, 5..15)
  bad_packet_id,     // packet id impossible for the format, or too wide for the header
  bad_block_id,      // block id 0, which senders never use
  bad_payload_type,  // an all-in packet of a payload type whose layout is unknown
  bad_key,           // GVCP key byte is not 0x42
  bad_length,        // GVCP length field disagrees with the datagram or the id width
  unknown_command,   // GVCP command other than PACKETRESEND
  bad_range,         // resend range whose first packet id is after its last
};

// Short English name of a refusal ("truncated", "bad key", ...).
std::string_view error_name(Error e);

template <typename T>
struct Result {
  T value{};
  Error error = Error::ok;
  constexpr bool ok() const { return error == Error::ok; }
  constexpr explicit operator bool() const { return ok(); }
};

// ---------------------------------------------------------------------------
// GVSP header

enum class Format : std::uint8_t {
  leader = 1,
  trailer = 2,
  payload = 3,
  all_in = 4,
  h264 = 5,
  multizone = 6,
};

inline constexpr std::uint16_t status_success = 0x0000;
// Some 1.x devices mark a resent packet with this status instead of a flag.
inline constexpr std::uint16_t status_packet_resent = 0x0100;
inline constexpr std::uint16_t status_packet_unavailable = 0x800C;
inline constexpr std::uint16_t status_data_overrun = 0x800D;
inline constexpr std::uint16_t status_packet_not_yet_available = 0x8010;
inline constexpr std::uint16_t status_packet_and_prev_removed = 0x8011;
inline constexpr std::uint16_t status_packet_removed = 0x8012;

constexpr bool status_is_error(std::uint16_t status) {
  return (status & 0x8000u) != 0;
}

// Extended header, byte 3.
inline constexpr std::uint8_t flag_packet_resent = 0x01;
inline constexpr std::uint8_t flag_previous_block_dropped = 0x02;
inline constexpr std::uint8_t flag_resend_range_error = 0x04;

struct Header {
  std::uint16_t status = status_success;
  std::uint8_t device_flags = 0;  // extended header byte 2
  std::uint8_t flags = 0;         // extended header byte 3 (flag_*)
  std::uint8_t format = 0;        // packet format, low 4 bits on the wire (Format)
  HeaderKind kind = HeaderKind::standard;
  std::uint64_t block_id = 0;
  std::uint32_t packet_id = 0;
};

constexpr bool is_resent(const Header &h) {
  return h.kind == HeaderKind::extended ? (h.flags & flag_packet_resent) != 0
                                        : h.status == status_packet_resent;
}

// Writes the header alone (8 or 20 bytes). 0 when out is too small, the ids do
// not fit the header kind or the format does not fit in 4 bits.
std::size_t build_header(out_bytes out, const Header &h);
// Reads either header kind; refuses a short datagram and block id 0. The
// format is returned as found, known or not.
Result<Header> parse_header(bytes datagram);

// ---------------------------------------------------------------------------
// Leader and trailer data

inline constexpr std::uint16_t payload_type_image = 0x0001;
inline constexpr std::uint16_t payload_type_raw = 0x0002;
inline constexpr std::uint16_t payload_type_file = 0x0003;
inline constexpr std::uint16_t payload_type_chunk = 0x0004;
inline constexpr std::uint16_t payload_type_extended_chunk = 0x0005;
inline constexpr std::uint16_t payload_type_jpeg = 0x0006;
inline constexpr std::uint16_t payload_type_jpeg2000 = 0x0007;
inline constexpr std::uint16_t payload_type_h264 = 0x0008;
inline constexpr std::uint16_t payload_type_multizone = 0x0009;
// 2.x: chunk data follows the payload; the trailer then carries two more fields.
inline constexpr std::uint16_t payload_type_chunk_bit = 0x4000;

inline constexpr std::uint32_t pixel_format_mono8 = 0x01080001;

// The payload type without the chunk bit. Bit 15 stays: it marks device
// specific types, whose layouts are not the standard ones of the same low bits.
constexpr std::uint16_t payload_type_base(std::uint16_t payload_type) {
  return payload_type & static_cast<std::uint16_t>(~payload_type_chunk_bit);
}
constexpr bool payload_type_has_chunks(std::uint16_t payload_type) {
  return (payload_type & payload_type_chunk_bit) != 0;
}

inline constexpr std::size_t leader_common_size = 12;

// Every leader field this codec knows; fields a payload type lacks stay 0.
struct Leader {
  std::uint8_t field_info = 0;
  std::uint8_t generic_flags = 0;
  std::uint16_t payload_type = 0;  // as on the wire, chunk bit included
  std::uint64_t timestamp = 0;
  // image, extended chunk
  std::uint32_t pixel_format = 0;
  std::uint32_t size_x = 0;
  std::uint32_t size_y = 0;
  std::uint32_t offset_x = 0;
  std::uint32_t offset_y = 0;
  std::uint16_t padding_x = 0;
  std::uint16_t padding_y = 0;
  // raw, file, JPEG
  std::uint64_t payload_data_size = 0;
  // JPEG
  std::uint64_t timestamp_tick_frequency = 0;
  std::uint32_t data_format = 0;
  // file: the name without its NUL. Parsed, it points into the datagram and
  // ends at the first NUL or at the end of the datagram.
  std::string_view file_name;
};

struct Trailer {
  std::uint16_t payload_type = 0;
  std::uint32_t size_y = 0;                     // image, multi-zone, extended chunk
  std::uint32_t chunk_data_payload_length = 0;  // chunk, extended chunk, chunk bit
  std::uint32_t chunk_layout_id = 0;            // extended chunk, chunk bit
};

// Bytes the leader data of this leader takes (file: 20 + name + NUL). For a
// payload type of unknown layout, the common 12 bytes.
std::size_t leader_size(const Leader &l);
// Bytes the trailer data of this payload type takes, chunk-bit fields included.
std::size_t trailer_size(std::uint16_t payload_type);
// True for the payload types whose leader and trailer layouts this codec
// knows in full (and so can place inside an all-in packet).
bool payload_type_known(std::uint16_t payload_type);

// Leader or trailer data alone (what follows the header). Longer input is
// accepted: devices pad short packets.
Result<Leader> parse_leader(bytes data);
Result<Trailer> parse_trailer(bytes data);

// ---------------------------------------------------------------------------
// Whole packets

enum class PacketKind : std::uint8_t { leader, trailer, payload, all_in, error };

struct Packet {
  Header header;
  PacketKind kind = PacketKind::payload;
  Leader leader;    // leader, all_in
  Trailer trailer;  // trailer, all_in
  bytes data;       // payload, all_in: the block data it carries
};

// Parses one GVSP datagram. A status with bit 15 set makes an error packet,
// whose body (normally none) is not examined. Refuses leaders and all-in
// packets whose packet id is not 0, payload and trailer packets with id 0,
// formats other than 1 to 4, and all-in packets of unknown payload types or
// whose trailer names another payload type than their leader.
Result<Packet> parse_packet(bytes datagram);

// Builders. They take the header as given except for the format, which they
// set; the caller chooses the packet id.
std::size_t build_leader(out_bytes out, Header h, const Leader &l);
std::size_t build_trailer(out_bytes out, Header h, const Trailer &t);
std::size_t build_payload(out_bytes out, Header h, bytes data);
std::size_t build_all_in(out_bytes out, Header h, const Leader &l, const Trailer &t, bytes data);
// A header-only packet carrying status (e.g. status_packet_unavailable).
std::size_t build_error(out_bytes out, Header h, std::uint16_t status);

// ---------------------------------------------------------------------------
// GVCP PACKETRESEND_CMD

inline constexpr std::uint8_t gvcp_key = 0x42;
inline constexpr std::uint8_t gvcp_flag_ack_wanted = 0x01;
inline constexpr std::uint8_t gvcp_flag_extended_ids = 0x10;
inline constexpr std::uint16_t gvcp_command_packetresend = 0x0040;
inline constexpr std::uint16_t gvcp_port = 3956;

struct ResendCommand {
  std::uint16_t req_id = 0;
  std::uint16_t channel = 0;
  HeaderKind kind = HeaderKind::standard;  // extended: the 2.x form with 64-bit block id
  std::uint64_t block_id = 0;
  std::uint32_t first_packet_id = 0;
  std::uint32_t last_packet_id = 0;
};

// 20 bytes (28 extended); 0 when out is too small or an id does not fit.
std::size_t build_resend_command(out_bytes out, const ResendCommand &c);
// Refuses a wrong key, another command, a length field that is not 12 (20
// with the extended flag) or disagrees with the datagram, block id 0, packet
// ids wider than 24 bits in the 1.x form, and first > last.
Result<ResendCommand> parse_resend_command(bytes datagram);

}  // namespace gvsp
