// The shape of the blocks strobix sends, and every packet of one block, built
// again from nothing but the block's id and timestamp (which is how resends
// come out byte for byte like the first sending).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "gvsp/gvsp.h"
#include "options_internal.h"

// Leader and trailer bytes never exceed this (file name included).
inline constexpr std::size_t max_head_bytes = 128;

// What a block's data holds: zeros, the -c pattern (made again for every
// block), or a camera's test image with its chunks after it.
enum class block_data_kind : std::uint8_t { zeros, pattern, image };

struct block_layout {
  gvsp::HeaderKind kind;
  std::uint64_t block_bytes;
  std::uint64_t bytes_per_packet;  // data of every full payload packet
  std::uint64_t payload_packets;   // 0 for an all-in block
  std::uint64_t last_packet_id;    // the trailer's, or 0 for an all-in block
  bool all_in;
  block_data_kind data;
  std::uint64_t image_bytes;    // image: where the chunks start
  std::uint32_t chunk_control;  // image: which chunks follow it (0: none)
  std::size_t leader_bytes;     // GVSP header + leader data
  gvsp::Leader leader;          // timestamp filled per block
  gvsp::Trailer trailer;
};

struct block_record {
  std::uint64_t block_id;
  std::uint64_t timestamp;
  double exposure_us;  // what the exposure chunk says
};

// The part of the block's data a packet carries.
struct data_range {
  std::uint64_t offset;
  std::size_t length;
};

block_layout make_block_layout(const strobix_options &opts);

// Data of packet packet_id (nothing for the leader and trailer).
data_range packet_data(const block_layout &layout, std::uint32_t packet_id);

// Writes the packet's header (and its leader or trailer data, or for an
// all-in packet both) into head; the data of packet_data() follows it on the
// wire. Returns the head's length. resent marks it as the 1.x status or the
// 2.x flag says.
std::size_t build_packet_head(const block_layout &layout, const block_record &block,
                              std::uint32_t packet_id, bool resent, std::span<std::byte> head);

// A header-only "packet unavailable" answer for a packet of a block.
std::size_t build_unavailable(const block_layout &layout, std::uint64_t block_id,
                              std::uint32_t packet_id, std::span<std::byte> head);

// The -c pattern repeats every 65536 words (its word index keeps 16 bits), so
// a block's data is sent from a window of one period plus one packet, which
// stays in the cache where a whole block would not. Zeros need one packet's
// worth, shared by every packet.
inline constexpr std::uint64_t pattern_period = 65536 * 4;

// Whether a packet's data must be made again for a resend, since the data
// window may hold a later block's bytes there by now.
bool data_made_per_block(const block_layout &layout, const data_range &r);
// That data, for block, into out (r.length bytes); window is the data window.
void make_packet_data(const block_layout &layout, const block_record &block, const data_range &r,
                      std::span<const std::byte> window, std::span<std::byte> out);

// Bytes of the window that holds every packet's data of a block.
std::size_t data_window_size(const block_layout &layout);
// Where in that window the data at this block offset starts.
std::uint64_t data_window_offset(const block_layout &layout, std::uint64_t offset);

// The -c pattern for the block bytes starting at offset: in every 4-byte word
// the low 16 bits of the block id, then the low 16 bits of the word's index,
// both high byte first.
void fill_pattern(std::span<std::byte> out, std::uint64_t block_id, std::uint64_t offset);
