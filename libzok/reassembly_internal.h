// The reassembly core: turns datagrams and the passing of time into
// finished blocks, resend requests and counter updates. It does no I/O and
// reads no clock, so the socket loop, the worker and the tests all drive it
// the same way: on_packet / on_placed for arrivals, on_tick for time.
#pragma once

#include <gvsp/gvsp.h>
#include <zok/zok.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>

#include "block_internal.h"
#include "block_sequence_internal.h"
#include "buffer_internal.h"
#include "counters_internal.h"
#include "reorder_window_internal.h"
#include "resend_ranges_internal.h"

namespace zok {

inline constexpr Nanos ms_to_nanos(std::uint32_t ms) {
  return Nanos{ms} * 1'000'000;
}

// Used when the stream was opened with a timeout of 0. Resends on a LAN or
// loopback are answered well inside 10 ms; a block whose packets stopped for
// 300 ms is not coming back, yet a slow sender at a low frame rate is not
// cut short.
inline constexpr std::uint32_t default_resend_timeout_ms = 10;
inline constexpr std::uint32_t default_block_timeout_ms = 300;
// The reorder window a stream starts with (see ReorderWindow): a millisecond
// of flow time covers a shuffled block of several hundred kilobytes on a
// fast link. The block's trailer, or the start of a later block, shows the
// sender has moved on: what is missing then is asked for at once.
inline constexpr Nanos default_reorder_window = 1'000'000;
// The window widens up to this share of the resend timeout: a request that
// waits longer than its own answer would take buys nothing.
inline constexpr Nanos reorder_bound_divisor = 2;
// The stream's flow time advances with arrivals, by at most this much per
// datagram: a sender that pauses (descheduled, or between bursts) has not
// lost what it has yet to send, and a slow stream needs at least ten packets
// after a gap before it is asked for.
inline constexpr Nanos max_flow_step = 100'000;

// Blocks assembled at once. More only happens when a sender interleaves
// blocks or loses trailers; the oldest then ends incomplete.
inline constexpr std::size_t max_open_blocks = 64;
// A packet of a block not yet seen opens it only this close after the
// newest block: a lost leader is normal, a far-off id is someone else's.
inline constexpr std::uint64_t open_window = 64;
// Ticks per millisecond no sender's clock reaches.
inline constexpr std::uint64_t fastest_clock = std::uint64_t{1} << 40;
// The sender's packets that named no block near its newest are kept, this
// many and up to this size, for a leader that may begin a new run (see
// Reassembly::park).
inline constexpr std::size_t parked_slots = 8;
inline constexpr std::size_t parked_bytes = 9216;
// Ids of finished blocks remembered so that their late and duplicate
// packets do not open them again.
inline constexpr std::size_t closed_history = 64;
// Regions one predict hands out at most (the socket loop's batch).
inline constexpr std::size_t max_predicted = 64;

struct CoreConfig {
  gvsp::HeaderKind kind = gvsp::HeaderKind::standard;
  bool resend = false;
  bool drop_incomplete = false;
  Nanos block_timeout = ms_to_nanos(default_block_timeout_ms);
  Nanos resend_timeout = ms_to_nanos(default_resend_timeout_ms);
  std::uint32_t num_retries = 1;
  Nanos reorder_window = default_reorder_window;  // where the window starts
  std::uint32_t booo = ZOK_BOOO_ALWAYS_RETURN;
  // The sender's host (IPv4, network order) when the stream names one; 0:
  // the host of the first leader.
  std::uint32_t sender_host = 0;
};

struct FinishedBlock {
  zok_block_desc desc;
  zok_block_status status;
};

// What the core needs from the shell around it.
class CoreShell {
 public:
  // Oldest queued buffer, or null when none is queued.
  virtual Buffer *take_buffer() noexcept = 0;
  // A buffer whose block was dropped: the engine keeps it.
  virtual void recycle(Buffer *buffer) noexcept = 0;
  virtual void hand_over(const FinishedBlock &block) noexcept = 0;
  // Returns when the command left, on the core's clock (0: unknown), or
  // not_sent when it never reached the wire (the shell counts why).
  virtual Nanos send_resend(std::uint64_t block_id, std::uint32_t first,
                            std::uint32_t last) noexcept = 0;
  virtual std::uint16_t next_request_id() const noexcept = 0;
  // The core heeds only this source from now on (network order; port 0:
  // any port of the host). Told once when it locks and again when it takes
  // a restarted sender back.
  virtual void sender_locked(std::uint32_t host, std::uint16_t port) noexcept {
    (void)host;
    (void)port;
  }

 protected:
  ~CoreShell() = default;
};

struct Arrival {
  Nanos now = 0;               // when it arrived, on the core's clock
  std::uint64_t epoch_ns = 0;  // kernel receive time, 0 if none
  std::uint32_t source = 0;    // sender's IPv4 address, network order; 0 unknown
  std::uint16_t port = 0;      // sender's UDP port, network order; 0 unknown
};

// Where the socket loop may let the kernel put the data of the next
// datagrams: regions of the newest block's buffer for packets not yet
// received, so a wrong guess never overwrites received data.
struct Prediction {
  std::byte *dest = nullptr;
  std::uint32_t length = 0;
  std::uint64_t block_id = 0;
  std::uint32_t packet_id = 0;
  std::uint32_t slot = 0;
  std::uint32_t psize = 0;  // the packet size `dest` was worked out with
};

// The open blocks among a core's slots, found through a mask of their slots:
// the walks made per batch then touch those blocks alone, not every slot's
// cache lines. The mask is read once, at begin: a walk that ends blocks
// checks each block's state, one opened during it is not visited.
template <class B>
class OpenBlocks {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::remove_const_t<B>;
    using difference_type = std::ptrdiff_t;
    using pointer = B *;
    using reference = B &;
    iterator() = default;
    iterator(B *slots, std::uint64_t mask) noexcept : slots_(slots), mask_(mask) {}
    B &operator*() const noexcept { return slots_[std::countr_zero(mask_)]; }
    B *operator->() const noexcept { return &**this; }
    iterator &operator++() noexcept {
      mask_ &= mask_ - 1;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator was = *this;
      ++*this;
      return was;
    }
    bool operator==(const iterator &o) const noexcept { return mask_ == o.mask_; }

   private:
    B *slots_ = nullptr;
    std::uint64_t mask_ = 0;
  };
  OpenBlocks(B *slots, std::uint64_t mask) noexcept : slots_(slots), mask_(mask) {}
  iterator begin() const noexcept { return {slots_, mask_}; }
  iterator end() const noexcept { return {slots_, 0}; }

 private:
  B *slots_;
  std::uint64_t mask_;
};

class Reassembly {
 public:
  Reassembly(const CoreConfig &config, Counters &counters, CoreShell &shell) noexcept;
  Reassembly(const Reassembly &) = delete;
  Reassembly &operator=(const Reassembly &) = delete;

  void on_packet(gvsp::bytes datagram, Arrival at) noexcept;
  // A payload packet the kernel already wrote where `p` predicted.
  void on_placed(const Prediction &p, std::uint32_t data_length, Arrival at) noexcept;
  void on_tick(Nanos now) noexcept;
  // A datagram refused before it could be parsed (truncated by the kernel).
  void refuse() noexcept {
    took_datagram();
    refused();
  }

  // Regions for the datagrams of the next batch; they stand until
  // end_batch.
  std::size_t predict(std::span<Prediction> out) noexcept;
  // Earliest time on_tick has something to do; `never` when idle.
  Nanos next_deadline() const noexcept;

  // From any thread: the first arrival of this packet of the next block
  // with this id is discarded.
  void arm_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept;

  // The worker was held and let go: losses around now are blamed on it.
  void note_hold_released() noexcept;
  void end_batch() noexcept {
    after_hold_ = false;
    predicted_.reset();
  }

  // Ends every open block as if it timed out (the stream is closing).
  void abandon_all(Nanos now) noexcept;

  // Where resend commands go when the stream names no address: the locked
  // sender, or before any leader the sender of the newest block; 0 none.
  std::uint32_t sender_host() const noexcept { return lock_.host != 0 ? lock_.host : first_host_; }
  // The host the stream takes datagrams from (network order); 0 until it
  // has locked onto one.
  std::uint32_t locked_sender() const noexcept { return lock_.host; }
  // The reorder window now, in flow time.
  Nanos reorder_window() const noexcept { return window_.get(); }

 private:
  enum class Ending : std::uint8_t { complete, incomplete, timeout, overrun, not_available };

  struct Closed {
    std::uint64_t block_id = 0;
    std::optional<std::uint64_t> leader_timestamp;  // when it had its leader
    bool leader_asked = false;
    std::uint64_t took = 0;  // bit i: it took packet i (of 0..63)
    bool asked = false;      // it asked for packets again
    // A leader that may begin a new run and found no buffer.
    bool new_run = false;
    // Of a block without its leader: when its first packet came, and the
    // one port its packets came from (none when they came from two).
    Nanos first_arrival = 0;
    std::optional<std::uint16_t> port;
    // Kept without its leader through a restart, taken for the new run's.
    bool through_restart = false;
  };

  // Whom the stream hears. Before the lock, anyone (the first leader's
  // source becomes the sender); after, one host and port.
  struct SenderLock {
    std::uint32_t host = 0;  // the stream's named host, or the first leader's
    std::uint16_t port = 0;  // 0: not locked yet, or the shell knows no ports
    bool locked = false;
    Nanos last_heard = 0;
    // Another port of the host (a restarted sender?) and the first block id
    // heard from it: if it takes the lock, its blocks from there on were
    // the sender's and are accounted for.
    std::uint16_t other_port = 0;
    std::optional<std::uint64_t> other_first;
  };
  enum class Source : std::uint8_t { sender, other, new_sender };

  // The last predict's regions, of one block, made with one packet size.
  struct Predicted {
    Block *block = nullptr;
    std::uint32_t psize = 0;
    std::uint32_t first = 0;  // packet id of the first region
    std::uint32_t count = 0;
    // Datagrams of the batch taken in so far: the regions of later slots
    // may still hold data the kernel put there.
    std::uint32_t taken = 0;
    // Regions (bit m - first) moved to the scratch before a write reached them.
    std::uint64_t evacuated = 0;
    // The buffer the regions lie in; null once the block ended (what was
    // still to be taken in of them is in the scratch then).
    const Buffer *buffer = nullptr;
  };

  // Routing: the open block a parsed datagram goes to, opened if need be;
  // null when it goes nowhere (refused, dropped, a late copy). `parkable`:
  // refused, yet a packet that park may keep.
  // Both run once per datagram, from on_packet alone: inlined into it.
  [[gnu::always_inline]] inline Block *route(const gvsp::Packet &packet, const Arrival &at,
                                             bool &opened, bool &parkable) noexcept;
  // Whom a datagram comes from: the sender, a stranger, or (a leader from
  // another port of the sender's host after the sender fell silent) the
  // sender restarted.
  Source source_of(bool leader, std::uint64_t block_id, const Arrival &at) noexcept {
    if (at.source == 0 || lock_.host == 0) return Source::sender;
    if (at.source != lock_.host) return Source::other;
    if (!lock_.locked || at.port == lock_.port || lock_.port == 0 || at.port == 0) {
      lock_.last_heard = at.now;
      return Source::sender;
    }
    return source_of_other_port(leader, block_id, at);
  }
  Source source_of_other_port(bool leader, std::uint64_t block_id, const Arrival &at) noexcept;
  void lock_onto(std::uint32_t host, std::uint16_t port, Nanos now) noexcept;
  // Dispatch by kind to the block.
  [[gnu::always_inline]] inline void dispatch(Block &b, const gvsp::Packet &packet,
                                              const Arrival &at, bool opened) noexcept;

  Block *find(std::uint64_t block_id) noexcept;
  Closed *recently_closed(std::uint64_t block_id) noexcept;
  bool restarts(const Closed &c, const gvsp::Packet &packet) const noexcept;
  // Packets first come at `first_arrival`, from `port` alone, no earlier
  // than the reorder window before the leader `at`: its own, overtaking it.
  bool overtook(Nanos first_arrival, std::optional<std::uint16_t> port,
                const Arrival &at) const noexcept;
  // A leader that restarts `c` yet came for it: `c` was the new run's
  // first block, handed over before its leader overtaken by its packets.
  bool came_for(const Closed &c, const Arrival &at) const noexcept;
  // A packet, not a leader, of a finished block of the old run, after an
  // unproven leader of a new run just before its id, from its port.
  bool after_new_lead(const Closed &c, const gvsp::Packet &packet,
                      const Arrival &at) const noexcept;
  bool time_fits(std::uint64_t block_id, std::uint64_t timestamp) const noexcept;
  // The sender counts afresh: its old run's blocks (all open ones but
  // `keep` and `lead`) end, what is remembered of them is forgotten (not
  // of the blocks it takes for the new run's), and the sequence goes on
  // with `first`.
  void restart(std::optional<std::uint64_t> first, const Block *keep,
               const Block *lead = nullptr) noexcept;
  // The id a new run whose first is `first` is counted from: past a leader
  // of the new run that came before, shortly before `first` with none open
  // or remembered between, and never proved (it ends as a block never seen,
  // unless packets of a block after it prove the run: it is the run's first
  // then); none when there is no such leader. `lead`: that leader's block,
  // when the caller found it already.
  std::optional<std::uint64_t> counted_from(std::uint64_t first, const Block *keep,
                                            const Block *lead = nullptr) const noexcept;
  // That leader's block, if any.
  const Block *unproven_lead(std::uint64_t first, const Block *keep) const noexcept;
  // True once, for the packet zok_drop_packet armed; disarms it.
  bool takes_forced_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept;
  void saw_block(std::uint64_t block_id) noexcept;
  void remember_closed(std::uint64_t block_id, const Block *b) noexcept;
  bool begins_run(std::uint64_t block_id, std::uint64_t timestamp) const noexcept;
  enum class Opening : std::uint8_t { yes, no, past_buffers };
  Opening may_open(const gvsp::Packet &packet) const noexcept;
  // A packet of the sender's refused for naming no block near its newest:
  // kept a while, in case a leader of a new run it overtook claims it.
  void park(gvsp::bytes datagram, std::uint64_t block_id, const Arrival &at) noexcept;
  // The leader that opened `b` takes the packets of its block kept since
  // the reorder window before it, from its port: they overtook it.
  // (`proved`: the block's packets proved its run without it: those it
  // left aside are its own.)
  void unpark(Block &b, const Arrival &at, bool proved = false) noexcept;
  struct Parked;
  bool follows_lead(const Parked &p, const Block &b) const noexcept;
  // A packet of no open block that lay past every buffer: true once such
  // packets prove the block the sender's.
  bool proves_past_end(std::uint64_t block_id, std::uint32_t packet_id) noexcept;
  // A packet of a block just after a new run's unproved leader, with no
  // block to prove the run in: nullopt when that is not so, else whether
  // such packets now prove the run (`lead`: that leader's block, if open).
  std::optional<bool> proves_unbuffered(const gvsp::Packet &packet, const Arrival &at,
                                        const Block *&lead) noexcept;
  // The block proved the sender's and is too long for its buffer: what it
  // would ask for is given up at once with it.
  void ends_too_long(Block &b) noexcept;
  // `leader_timestamp`: the block opens with its leader, of that time;
  // `new_run`: that leader may begin a new run of the sender's ids.
  Block *open_block(std::uint64_t block_id, const Arrival &at,
                    std::optional<std::uint64_t> leader_timestamp, bool new_run = false) noexcept;
  void evict_oldest() noexcept;
  void advance_flow(Nanos arrival) noexcept {
    if (arrival > flow_seen_) flow_ += std::min(arrival - flow_seen_, max_flow_step);
    flow_seen_ = arrival;
  }

  void on_leader(Block &b, const gvsp::Leader &l) noexcept;
  void on_trailer(Block &b, std::uint32_t packet_id, const gvsp::Trailer &t) noexcept;
  void on_all_in(Block &b, const gvsp::Packet &p) noexcept;
  void on_error(Block &b, std::uint16_t status, std::uint32_t packet_id) noexcept;
  // A trailer of fewer lines than the leader's (line-scan, variable height)
  // ends the block at that size; false when the trailer fits neither size.
  bool shorten_to_trailer(Block &b, std::uint32_t packet_id, const gvsp::Trailer &t) noexcept;
  // False when the block ended (overrun) or the packet was not taken. The
  // data is at `src`, or (src null) already in the buffer where a packet
  // size of `placed_psize` puts it. `resent`: the sender marked it so.
  bool accept_payload(Block &b, std::uint32_t packet_id, const std::byte *src, std::uint32_t length,
                      std::uint32_t placed_psize, bool resent) noexcept;
  // Settles the block's packet size against a packet that contradicts it:
  // true when the packet may now be placed.
  bool learn_packet_size(Block &b, std::uint32_t packet_id, std::uint32_t length, Fit fit) noexcept;
  // The same, by a vote of the block's first few packets and this one:
  // true when the packet may now be placed.
  bool vote_packet_size(Block &b, std::uint32_t packet_id, std::uint32_t length) noexcept;
  // Before [offset, offset + length) of the predicted block is written:
  // moves aside the regions, predicted with another packet size, that may
  // hold a later datagram of this batch. False when there was no room.
  bool make_room(const Block &b, std::uint32_t packet_id, std::uint64_t offset,
                 std::uint32_t length) noexcept;
  // Moves this batch's datagram for `packet_id`, where the prediction had
  // the kernel put it, to the scratch; false when there was no room.
  bool set_aside(const Block &b, std::uint32_t packet_id, std::uint32_t length) noexcept;
  // Where a datagram of this batch was set aside, null where it was not.
  const std::byte *aside(const Block &b, std::uint32_t packet_id) const noexcept;
  // Moves a received payload packet to where `to` puts it, and takes `to`
  // for the block's geometry.
  void move_packet(Block &b, std::uint32_t packet_id, std::uint32_t length,
                   const Geometry &to) noexcept;
  // Moves a received payload packet's data from where `from` puts it to
  // where `to` does, the block's geometry unchanged.
  void move_data(Block &b, std::uint32_t packet_id, std::uint32_t length, const Geometry &from,
                 const Geometry &to) noexcept;
  // Takes back a payload packet found not to belong: it counts as refused.
  void unplace(Block &b, std::uint32_t packet_id) noexcept;
  void recompute_span(Block &b) noexcept;
  // Packet `packet_id` of `length` bytes, under `g`, may end an image that
  // holds fewer lines than its leader announced.
  bool ends_frame_early(const Block &b, const Geometry &g, std::uint32_t packet_id,
                        std::uint32_t length) const noexcept;
  // Takes back the payload packets above `last`; false when there were none.
  bool unplace_past(Block &b, std::uint32_t last) noexcept;
  // The block's short packet turned out not to be its last: taken back and
  // asked for again.
  void drop_short(Block &b) noexcept;
  void confirm(Block &b, std::uint32_t packet_id) noexcept;
  // The block proved the sender's (its leader, or packets that follow on):
  // a new run's restarts the run from it, what is missing below its highest
  // packet waits out the reorder window (not when `done`: the sender has
  // moved on), the sequence has seen it, older blocks lost their tails, and
  // one that overran ends so.
  void take_for_senders(Block &b, bool done) noexcept;
  bool lies_past(const Block &b) const noexcept;
  void forget_strays(Block &b) noexcept;
  // A packet of the block arrived: gaps it closes or shows.
  void note_received(Block &b, std::uint32_t packet_id, bool resent) noexcept;
  // A second copy of a packet: was the first one only late?
  void note_duplicate(Block &b, std::uint32_t packet_id, bool resent) noexcept;
  // A request turned out not to be needed: the window learns.
  void spurious(Nanos late) noexcept;

  // Schedules a missing range; it is asked for at flow time `due` unless it
  // comes.
  void ask(Block &b, std::uint32_t first, std::uint32_t last, Nanos due) noexcept;
  // The sender has moved past this block (a later block started, or it went
  // idle): its gaps and its tail are asked for now.
  void sender_moved_on(Block &b) noexcept;
  void ask_tails(const Block &newer) noexcept;
  void refuse_or_overrun(Block &b, std::uint32_t packet_id) noexcept;
  // Data of the block lies past its buffer.
  void overrun_or_note(Block &b, std::uint32_t packet_id) noexcept;
  bool lone_lies_past(Block &b, std::uint32_t lone_length, const Geometry &other) noexcept;
  void hold_last(const Block &b, std::uint32_t packet_id, const std::byte *data,
                 std::uint32_t length, bool resent) noexcept;
  void refused() noexcept { bump(counters_.datagrams_refused); }
  void count(const ResendRanges::Settled &s) noexcept {
    bump(counters_.resend_requests_ok, s.answered);
    bump(counters_.resend_requests_failed, s.failed);
  }
  // One datagram of the batch handed to the core (every one is, in order).
  void took_datagram() noexcept {
    if (predicted_) ++predicted_->taken;
    due_ = 0;
  }
  void expire(Block &b, Nanos now) noexcept;
  // An idle block's tail is asked for once the reorder window and a resend
  // wait have passed, but never later than half its block timeout: with a
  // resend wait as long as the block timeout, a stream's last block that
  // lost its trailer timed out before anything was asked.
  Nanos idle_after() const noexcept {
    return std::min(window_.get() + config_.resend_timeout, config_.block_timeout / 2);
  }
  bool idle_asks(const Block &b) const noexcept;
  // Earliest time on_tick has something to do for this open block.
  Nanos deadline_of(const Block &b) const noexcept;
  void settle_sequence() noexcept;
  void maybe_finish(Block &b) noexcept {
    if (b.state == BlockState::trailer_seen) finish(b);
  }
  void finish(Block &b) noexcept;
  bool hands_over(std::uint64_t block_id) const noexcept;
  // Zeros the places of the packets an incomplete block lacks.
  void zero_missing(Block &b) noexcept;
  // The one place a block ends: every counter that describes how is bumped
  // here, once.
  void close_block(Block &b, Ending how) noexcept;
  void publish_window() noexcept;

  CoreConfig config_;
  Counters &counters_;
  CoreShell &shell_;
  std::array<Block, max_open_blocks> blocks_{};
  static_assert(max_open_blocks == 64, "one bit of open_ per slot");
  std::uint64_t open_ = 0;  // bit i: blocks_[i] is open
  OpenBlocks<Block> open_blocks() noexcept { return {blocks_.data(), open_}; }
  OpenBlocks<const Block> open_blocks() const noexcept { return {blocks_.data(), open_}; }
  std::uint64_t slot_bit(const Block &b) const noexcept {
    return std::uint64_t{1} << static_cast<std::size_t>(&b - blocks_.data());
  }
  void free_slot(Block &b) noexcept {
    b.state = BlockState::free;
    open_ &= ~slot_bit(b);
  }
  bool open_mask_holds() const noexcept {
    std::uint64_t mask = 0;
    for (const Block &b : blocks_) {
      if (b.open()) mask |= slot_bit(b);
    }
    return mask == open_;
  }
  Block *last_found_ = nullptr;
  std::array<std::optional<Closed>, closed_history> closed_{};
  std::size_t closed_next_ = 0;
  std::uint64_t order_ = 0;
  // Opening order of the newest block the run's own leader came to.
  std::uint64_t leader_order_ = 0;
  BlockSequence sequence_;
  std::optional<std::uint64_t> last_judged_;  // booo's reference
  // Packet size of the last complete block: where the next block's packets
  // are predicted to go, and which of two contradicting packets is the
  // block's; never how a block is otherwise judged.
  std::uint32_t stream_psize_ = 0;
  SenderLock lock_;
  std::uint32_t first_host_ = 0;
  std::size_t largest_buffer_ = 0;
  Nanos now_ = 0;
  // Until then a tick has nothing to do, unless a datagram came or a block
  // ended since it was worked out (0: unknown). A polling receiver ticks
  // after every read, most of which find nothing.
  Nanos due_ = 0;
  // Flow time: the clock of reorder windows (see max_flow_step).
  Nanos flow_ = 0;
  Nanos flow_seen_ = never;
  ReorderWindow window_;
  // The sender marks the packets it resends: an asked-for packet without
  // the mark came on its own.
  bool marks_resends_ = false;
  // How late the latest asked-for packet came unmarked while that was not
  // yet known: spurious, once the sender shows it marks.
  std::optional<Nanos> unmarked_answer_late_;
  // The pace of the sender's clock: the latest leader time and when it
  // came, and the most ticks per millisecond seen between leaders.
  struct ClockPace {
    std::uint64_t timestamp = 0;
    Nanos at = 0;
    std::uint64_t ticks_per_ms = 0;
  };
  ClockPace pace_;
  void keep_pace(std::uint64_t timestamp) noexcept;
  // The late leader of an ended block that had none: its time is the
  // block's, and the clock's.
  void learn_leader(std::uint64_t block_id, std::uint64_t timestamp) noexcept;
  // A leader time so far ahead of the sender's clock's pace that it is
  // another run's.
  bool leaps(std::uint64_t timestamp) const noexcept;
  // A leader time so far behind the latest that it is another run's.
  bool lags(std::uint64_t timestamp) const noexcept;
  std::uint64_t most_ticks_per_ms() const noexcept;
  // Whole milliseconds from `at` to now, at least 1: the divisor of a pace.
  std::uint64_t ms_since(Nanos at) const noexcept;
  // A time `ts` at or after `from` by no more than any clock runs in the
  // time since `at`.
  bool follows_at_pace(std::uint64_t from, std::uint64_t ts, Nanos at) const noexcept {
    return ts >= from && (ts - from) / ms_since(at) <= fastest_clock;
  }
  // A leader time of this run: between its neighbours' and at its clock's pace.
  bool fits_run(std::uint64_t block_id, std::uint64_t timestamp) const noexcept {
    return time_fits(block_id, timestamp) && !leaps(timestamp);
  }
  std::optional<Predicted> predicted_;
  // Where regions of the prediction wait when a write of another packet
  // size would reach them; grown when first needed.
  std::unique_ptr<std::byte[]> scratch_;
  std::size_t scratch_size_ = 0;
  std::uint64_t hold_generation_ = 0;
  bool after_hold_ = false;
  // A forced drop already taken from the wire, waiting for its block to open.
  std::optional<std::pair<std::uint64_t, std::uint32_t>> pending_forced_;
  std::optional<std::pair<std::uint64_t, PastEnd>> past_end_;
  std::optional<std::pair<std::uint64_t, PastEnd>> unbuffered_;
  struct Parked {
    std::uint64_t block_id = 0;
    Nanos at = 0;
    // The leader that came before it and may have begun the new run; or,
    // of the packet's own id, the leader of the block that had ended.
    std::uint64_t lead_id = 0;
    std::uint64_t lead_timestamp = 0;
    std::uint16_t port = 0;
    std::uint32_t length = 0;  // 0: the slot is free
  };
  std::array<Parked, parked_slots> parked_{};
  std::size_t parked_next_ = 0;
  // The parked datagrams' bytes, a slot each; allocated when first needed.
  std::unique_ptr<std::byte[]> parked_data_;
  // A block's short last packet that came first and lay past the buffer
  // under the last block's packet size, kept until a full packet of the
  // block gives its own; the bytes allocated when first needed.
  struct Held {
    std::uint64_t block_id = 0;
    std::uint64_t order = 0;
    std::uint32_t packet_id = 0;
    std::uint32_t length = 0;
    std::uint32_t psize = 0;  // the size that put it past the buffer
    bool resent = false;
  };
  std::optional<Held> held_;
  std::unique_ptr<std::byte[]> held_data_;
  std::uint32_t held_size_ = 0;
  std::atomic<bool> drop_armed_{false};
  std::atomic<std::uint64_t> drop_block_{0};
  std::atomic<std::uint32_t> drop_packet_{0};
};

}  // namespace zok
