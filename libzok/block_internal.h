// One block being assembled: its lifecycle state, its geometry, what of it
// has arrived and what is missing.
#pragma once

#include <zok/zok.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "block_geometry_internal.h"
#include "buffer_internal.h"
#include "resend_ranges_internal.h"

namespace zok {

// A block's lifecycle. Every open block is in exactly one of the three open
// states; `close_block` is the one way back to free.
//
//   from          event                                            to
//   free          leader or all-in of an unknown id                 assembling
//   free          leader that may begin a new run (a finished id    tentative
//                 with another time, an id older than remembered)
//   free          payload or trailer of an unknown id that may      tentative
//                 open (close after the newest, fits a buffer)
//   tentative     its leader (packets so far forgotten as strays)   assembling
//   tentative     packets that follow on as a sender's do           assembling
//   tentative     ... the following packet being its trailer        trailer_seen
//   assembling    its trailer                                       trailer_seen
//   assembling    leader with another time (the sender restarted    free; it reopens
//                 and reused the id)                                as a new run's
//   any open      complete, resends spent, timeout, overrun,        free
//                 evicted, sender restarted
//
// A tentative block asks for nothing, and ending tentative it was no block:
// its packets count as refused and nothing is handed over. A tentative block
// may know its trailer (a trailer can come before the packets that confirm).
enum class BlockState : std::uint8_t { free, tentative, assembling, trailer_seen };

// Everything of a block but its resend ranges, so a block can start afresh
// without clearing the ranges' storage.
// Strays name a block nobody sent, so a block opened without its leader is
// the sender's once a packet of it, the `seen`th distinct one, follows on
// from the highest before it (where it `may_follow`: only the trailer
// follows a short packet), or is the third (a sender that sends out of
// order).
constexpr bool shows_sender(std::uint32_t packet_id, std::uint32_t seen, std::int64_t highest,
                            bool may_follow = true) noexcept {
  return seen >= 3 ||
         (seen == 2 && may_follow && static_cast<std::int64_t>(packet_id) == highest + 1);
}

// Distinct packets of a tentative block that lay past the buffers, refused.
struct PastEnd {
  std::array<std::uint32_t, 2> ids{};
  std::uint32_t count = 0;
  std::int64_t highest = -1;
  // The block's last packet, with its length, where the packet size a
  // longer one gave puts its end past the buffer (its start may lie within).
  std::optional<std::pair<std::uint32_t, std::uint32_t>> last;

  // True when `packet_id`, with `placed` packets taken up to `placed_highest`,
  // shows the sender at the block. Remembers it.
  bool proves(std::uint32_t packet_id, std::uint32_t placed, std::int64_t placed_highest) noexcept {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (ids[i] == packet_id) return false;
    }
    const bool shows =
        shows_sender(packet_id, placed + count + 1, std::max(placed_highest, highest));
    if (count < ids.size()) ids[count++] = packet_id;
    highest = std::max<std::int64_t>(highest, packet_id);
    return shows;
  }
};

struct BlockFields {
  BlockState state = BlockState::free;
  Buffer *buffer = nullptr;
  std::uint64_t block_id = 0;
  std::uint64_t order = 0;  // opening order, for eviction and prediction
  Geometry geometry;
  std::optional<std::uint64_t> leader_timestamp;  // set once its leader came
  // Its leader may begin a new run of the sender's ids (a restart): it
  // stays tentative until its packets follow, and then the run restarts.
  bool new_run = false;
  std::uint32_t payloads = 0;  // distinct payload packets received
  std::uint32_t received = 0;  // distinct packets received, leader and trailer too
  std::int64_t highest = -1;   // highest packet id received
  std::uint32_t touched = 0;   // highest packet bit set
  // The first payload packet: while it is the only one, a contradiction may
  // show it was the stray and not the packets that contradict it.
  std::uint32_t first_payload_id = 0;
  std::uint32_t first_payload_length = 0;
  // The one packet shorter than full while the block's end is unknown.
  std::optional<std::uint32_t> short_id;
  std::uint32_t short_length = 0;
  std::uint64_t span_end = 0;  // end of the data received
  std::uint16_t sender_status = 0;
  Nanos first_arrival = 0;  // of the datagram that opened it (or its leader, strays forgotten)
  Nanos last_arrival = 0;
  Nanos last_asked = 0;  // when the last resend command for it left
  std::uint64_t epoch_ns = 0;
  std::optional<std::uint32_t> forced_packet;
  std::optional<std::uint32_t> first_asked;
  std::uint32_t commands = 0;
  bool leader_asked = false;
  // A packet past the buffer came while it was tentative.
  bool overran = false;
  // Those packets, refused: a sender's block too long for the buffers
  // shows itself by them as by any others.
  PastEnd past_end;
  // Kept open through a restart of the sender (its leader yet to come).
  bool before_restart = false;
  // Its tail (the packets after the highest, to the trailer) was asked for:
  // once per block, when a later block started or it fell idle.
  bool tail_asked = false;
  // ... as one packet past the highest, nothing telling where the block
  // ends: a packet above the highest shows the sender still at it.
  bool tail_probed = false;
  // Payload packets that came before the leader, while anyone could have
  // named the block: a later copy with other bytes is the sender's.
  std::array<std::uint32_t, 8> early{};
  std::uint32_t early_count = 0;
  // The source port of its first packet, and whether another came since:
  // before the lock, packets of one id from two ports are two senders'.
  std::uint16_t port = 0;
  bool ports_differ = false;
  // Packets placed of which two copies came with other bytes: the block
  // cannot be vouched for whole. (Past the array's room, for good.)
  std::array<std::uint32_t, 4> conflicts{};
  std::uint32_t conflict_count = 0;
  void conflict(std::uint32_t packet_id) noexcept {
    if (conflict_count < conflicts.size()) {
      if (std::find(conflicts.begin(), conflicts.begin() + conflict_count, packet_id) ==
          conflicts.begin() + conflict_count) {
        conflicts[conflict_count++] = packet_id;
      }
    } else {
      conflict_count = static_cast<std::uint32_t>(conflicts.size()) + 1;
    }
  }
  // The packet left its place: its copies no longer conflict.
  void unconflict(std::uint32_t packet_id) noexcept {
    if (conflict_count > conflicts.size()) return;
    const auto end = conflicts.begin() + conflict_count;
    const auto at = std::find(conflicts.begin(), end, packet_id);
    if (at != end) {
      *at = *(end - 1);
      --conflict_count;
    }
  }
  // The port its packets came from, when they all came from one.
  std::optional<std::uint16_t> one_port() const noexcept {
    return ports_differ ? std::nullopt : std::optional(port);
  }
  std::uint64_t hold_generation = 0;
  bool after_hold = false;
  zok_block_desc desc{};

  bool open() const noexcept { return state != BlockState::free; }
  // True once for a packet that came before the leader (then forgotten).
  bool settle_early(std::uint32_t packet_id) noexcept {
    for (std::uint32_t i = 0; i < early_count; ++i) {
      if (early[i] == packet_id) {
        early[i] = early[--early_count];
        return true;
      }
    }
    return false;
  }
  void heard_from(std::uint16_t from) noexcept {
    if (received == 0) {
      port = from;
    } else if (from != port) {
      ports_differ = true;
    }
  }
  bool confirmed() const noexcept {
    return state == BlockState::assembling || state == BlockState::trailer_seen;
  }
  // The block timeout runs from its last packet, or from its last resend
  // command when that is later: the answer is still on its way.
  Nanos quiet_since() const noexcept {
    return last_arrival > last_asked ? last_arrival : last_asked;
  }
};

struct Block : BlockFields {
  ResendRanges ranges;

  void reset() noexcept {
    static_cast<BlockFields &>(*this) = BlockFields{};
    ranges.clear();
  }
};

}  // namespace zok
