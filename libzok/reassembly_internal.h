// The reassembly core: turns datagrams and the passing of time into
// finished blocks, resend requests and counter updates. It does no I/O and
// reads no clock, so the socket loop, the worker and the tests all drive it
// the same way: on_packet / on_placed for arrivals, on_tick for time.
#pragma once

#include <gvsp/gvsp.h>
#include <zok/zok.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "buffer_internal.h"
#include "counters_internal.h"

namespace zok {

using Nanos = std::int64_t;  // ns on the monotonic clock
inline constexpr Nanos never = std::numeric_limits<Nanos>::max();
inline constexpr Nanos not_sent = -1;
inline constexpr Nanos ms_to_nanos(std::uint32_t ms) {
  return Nanos{ms} * 1'000'000;
}

// Used when the stream was opened with a timeout of 0. Resends on a LAN or
// loopback are answered well inside 10 ms; a block whose packets stopped for
// 300 ms is not coming back, yet a slow sender at a low frame rate is not
// cut short.
inline constexpr std::uint32_t default_resend_timeout_ms = 10;
inline constexpr std::uint32_t default_block_timeout_ms = 300;
// A gap is asked for only once the stream has flowed this long after it:
// paths that spread a stream over several links or queues, and senders that
// shuffle a block, deliver packets out of order by microseconds, and a
// request for one of them costs the sender a resend and the link twice the
// traffic. A millisecond covers a shuffled block of several hundred
// kilobytes on a fast link. The block's trailer, or the start of a later
// block, shows the sender has moved on: what is missing then is asked for
// at once.
inline constexpr Nanos default_reorder_window = 1'000'000;
// The stream's flow time advances with arrivals, by at most this much per
// datagram: a sender that pauses (descheduled, or between bursts) has not
// lost what it has yet to send, and a slow stream needs at least ten packets
// after a gap before it is asked for.
inline constexpr Nanos max_flow_step = 100'000;

// Blocks assembled at once. More only happens when a sender interleaves
// blocks or loses trailers; the oldest then ends incomplete.
inline constexpr std::size_t max_open_blocks = 64;
// Resend ranges per block; gaps past this are not asked for. A 2 MiB block
// of 1500-byte packets losing 5% of them has about 70 gaps.
inline constexpr std::size_t max_resend_ranges = 256;
// A packet of a block not yet seen opens it only this close after the
// newest block: a lost leader is normal, a far-off id is someone else's.
inline constexpr std::uint64_t open_window = 16;
// Ids of finished blocks remembered so that their late and duplicate
// packets do not open them again.
inline constexpr std::size_t closed_history = 64;

struct CoreConfig {
  gvsp::HeaderKind kind = gvsp::HeaderKind::standard;
  bool resend = false;
  bool drop_incomplete = false;
  Nanos block_timeout = ms_to_nanos(default_block_timeout_ms);
  Nanos resend_timeout = ms_to_nanos(default_resend_timeout_ms);
  std::uint32_t num_retries = 1;
  Nanos reorder_window = default_reorder_window;
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
  // The core locked onto its sender, or took a new one (network order;
  // port 0: any port of that host).
  virtual void sender_locked(std::uint32_t host, std::uint16_t port) noexcept {
    static_cast<void>(host);
    static_cast<void>(port);
  }

 protected:
  ~CoreShell() = default;
};

struct Arrival {
  Nanos now = 0;               // when it arrived, on the core's clock
  std::uint64_t epoch_ns = 0;  // kernel receive time, 0 if none
  std::uint32_t source = 0;    // sender's IPv4 address, network order; 0 unknown
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

class Reassembly {
 public:
  Reassembly(const CoreConfig &config, Counters &counters, CoreShell &shell) noexcept
      : config_(config), counters_(counters), shell_(shell), host_(config.sender_host) {}
  Reassembly(const Reassembly &) = delete;
  Reassembly &operator=(const Reassembly &) = delete;

  void on_packet(gvsp::bytes datagram, Arrival at) noexcept;
  // A payload packet the kernel already wrote where `p` predicted.
  void on_placed(const Prediction &p, std::uint32_t data_length, Arrival at) noexcept;
  void on_tick(Nanos now) noexcept;
  // A datagram refused before it could be parsed (truncated by the kernel).
  void refuse() noexcept { bump(counters_.datagrams_refused); }

  std::size_t predict(std::span<Prediction> out) const noexcept;
  // Earliest time on_tick has something to do; `never` when idle.
  Nanos next_deadline() const noexcept;

  // From any thread: the first arrival of this packet of the next block
  // with this id is discarded.
  void arm_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept;

  // The worker was held and let go: losses around now are blamed on it.
  void note_hold_released() noexcept;
  void end_batch() noexcept { after_hold_ = false; }

  // Ends every open block as if it timed out (the stream is closing).
  void abandon_all(Nanos now) noexcept;

  // Where resend commands go when the stream names no address: the locked
  // sender, or before any leader the sender of the newest block; 0 none.
  std::uint32_t sender_host() const noexcept { return host_ != 0 ? host_ : first_host_; }
  // The one source the stream takes datagrams from (network order); 0 until
  // it has locked onto one.
  std::uint32_t locked_sender() const noexcept { return host_; }

 private:
  enum class Ending : std::uint8_t { complete, incomplete, timeout, overrun };

  struct ResendRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint32_t tries = 0;      // commands sent; 0 while the reorder window runs
    std::uint32_t remaining = 0;  // packets of it still missing
    Nanos deadline = never;       // end of the reorder window (flow time), then of the wait
    bool active = false;
  };

  struct Block {
    bool open = false;
    Buffer *buffer = nullptr;
    std::uint64_t block_id = 0;
    std::uint64_t order = 0;
    std::uint32_t psize = 0;      // data bytes of a full payload packet, 0 unknown
    std::uint32_t opener_id = 0;  // the packet that opened the block
    std::uint32_t first_payload_id = 0;
    std::uint32_t first_payload_len = 0;
    std::uint32_t payloads = 0;  // distinct payload packets received
    std::uint32_t received = 0;  // distinct packets received, leader and trailer too
    std::int64_t highest = -1;   // highest packet id received
    std::uint32_t touched = 0;   // highest packet bit set
    bool leader = false;
    bool trailer = false;
    bool tail_asked = false;
    std::uint32_t trailer_id = 0;
    std::uint64_t span_end = 0;
    std::uint64_t expected_data = 0;  // from the leader, when `sized`
    bool sized = false;
    // The last payload id `expected_data` gives at a packet size: a
    // division each packet could do without.
    std::uint32_t last_for_psize = 0;
    std::uint64_t last_by_size = 0;
    // The one packet shorter than `psize` while the block's end is unknown.
    std::uint32_t short_id = 0;
    // By its leader, or by packets that follow on as a sender's do. Until
    // then its packets may be strays naming a block not begun.
    bool confirmed = false;
    std::uint16_t sender_status = 0;
    Nanos last_arrival = 0;
    Nanos last_asked = 0;  // when the last resend command for it left
    std::uint64_t epoch_ns = 0;
    bool forced = false;
    std::uint32_t forced_packet = 0;
    bool asked = false;
    std::uint32_t first_asked = 0;
    std::uint32_t commands = 0;
    std::uint32_t outstanding = 0;  // missing packets asked for
    std::uint32_t waiting = 0;      // missing packets whose reorder window runs
    std::uint64_t hold_generation = 0;
    bool after_hold = false;
    std::uint32_t range_count = 0;
    std::array<ResendRange, max_resend_ranges> ranges{};
    zok_block_desc desc{};
  };

  // The block timeout runs from its last packet, or from its last resend
  // command when that is later: the answer is still on its way.
  static Nanos quiet_since(const Block &b) noexcept {
    return b.last_arrival > b.last_asked ? b.last_arrival : b.last_asked;
  }
  struct Closed {
    std::uint64_t block_id = 0;
    std::uint64_t timestamp = 0;
    bool leader = false;
    bool used = false;
  };

  Block *find(std::uint64_t block_id) noexcept;
  const Closed *recently_closed(std::uint64_t block_id) const noexcept;
  bool restarts(const Closed &c, const gvsp::Packet &packet) const noexcept;
  // True once, for the packet zok_drop_packet armed; disarms it.
  bool takes_forced_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept;
  void note_newest(std::uint64_t block_id) noexcept;
  void refuse_or_overrun(Block &b) noexcept;
  void remember_closed(std::uint64_t block_id, const Block *b) noexcept;
  bool may_open(const gvsp::Packet &packet) const noexcept;
  Block *open_block(std::uint64_t block_id, Arrival at) noexcept;
  void evict_oldest() noexcept;
  void ask_tails() noexcept;
  void advance_flow(Nanos arrival) noexcept {
    if (arrival > flow_seen_) flow_ += std::min(arrival - flow_seen_, max_flow_step);
    flow_seen_ = arrival;
  }

  void on_leader(Block &b, const gvsp::Leader &l) noexcept;
  void on_trailer(Block &b, std::uint32_t packet_id, const gvsp::Trailer &t) noexcept;
  void on_all_in(Block &b, const gvsp::Packet &p) noexcept;
  void on_error(Block &b, std::uint16_t status, std::uint32_t packet_id) noexcept;
  // Last payload packet id by what the block has said of its end; 0 unknown.
  static std::uint64_t last_payload(Block &b, std::uint32_t psize) noexcept;
  // False when the packet contradicts what the block has said of itself.
  bool fits_geometry(Block &b, std::uint32_t packet_id, std::uint32_t length) noexcept;
  // False when the block ended (overrun) or the packet was refused. The
  // data is at `src`, or (src null) already in the buffer where a packet
  // size of `placed_psize` puts it.
  bool accept_payload(Block &b, std::uint32_t packet_id, const std::byte *src, std::uint32_t length,
                      std::uint32_t placed_psize = 0) noexcept;
  // Takes back a payload packet found not to belong: it counts as refused.
  void unplace(Block &b, std::uint32_t packet_id) noexcept;
  // The block's short packet turned out not to be its last: taken back and
  // asked for again.
  void drop_short(Block &b) noexcept;
  void confirm(Block &b, std::uint32_t packet_id) noexcept;
  void forget_strays(Block &b) noexcept;
  void discard_stray(Block &b) noexcept;
  bool from_sender(std::uint32_t source) const noexcept;
  void note_received(Block &b, std::uint32_t packet_id, Nanos now) noexcept;
  // Schedules a missing range; it is asked for at flow time `due` unless it
  // comes.
  void ask(Block &b, std::uint32_t first, std::uint32_t last, Nanos due) noexcept;
  Nanos send_command(Block &b, std::uint32_t first, std::uint32_t last) noexcept;
  void expire_range(Block &b, ResendRange &r, Nanos now) noexcept;
  void maybe_finish(Block &b) noexcept;
  bool hands_over(std::uint64_t block_id) const noexcept;
  void close_block(Block &b, Ending how) noexcept;

  CoreConfig config_;
  Counters &counters_;
  CoreShell &shell_;
  std::array<Block, max_open_blocks> blocks_{};
  std::array<Closed, closed_history> closed_{};
  std::size_t closed_next_ = 0;
  std::uint64_t order_ = 0;
  bool have_newest_ = false;
  std::uint64_t newest_ = 0;
  bool have_last_ = false;
  std::uint64_t last_judged_ = 0;
  // Packet size of the last complete block: where the next block's packets
  // are predicted to go, never how they are judged.
  std::uint32_t stream_psize_ = 0;
  std::uint32_t host_ = 0;
  std::uint32_t first_host_ = 0;
  std::size_t largest_buffer_ = 0;
  Nanos now_ = 0;
  // Flow time: the clock of reorder windows (see max_flow_step).
  Nanos flow_ = 0;
  Nanos flow_seen_ = never;
  std::uint64_t hold_generation_ = 0;
  bool after_hold_ = false;
  // A forced drop already taken from the wire, waiting for its block to open.
  bool pending_forced_ = false;
  std::uint64_t pending_block_ = 0;
  std::uint32_t pending_packet_ = 0;
  std::atomic<bool> drop_armed_{false};
  std::atomic<std::uint64_t> drop_block_{0};
  std::atomic<std::uint32_t> drop_packet_{0};
};

}  // namespace zok
