// Routing of datagrams to blocks, the lifecycle of a block from open to
// close, and time.
#include <algorithm>
#include <bit>
#include <cstring>

#include "reassembly_internal.h"

namespace zok {

namespace {

bool means_unavailable(std::uint16_t status) {
  return status == gvsp::status_packet_unavailable ||
         status == gvsp::status_packet_and_prev_removed || status == gvsp::status_packet_removed;
}

// Data bytes a leader announces, when its layout says so. Chunk data (the
// chunk types, or the chunk bit on any type) adds bytes no leader counts.
// `lines` replaces an image's height (a trailer reporting fewer).
bool announced_data(const gvsp::Leader &l, std::uint64_t &size,
                    std::optional<std::uint32_t> lines = std::nullopt) {
  if ((l.payload_type & gvsp::payload_type_chunk_bit) != 0) return false;
  switch (l.payload_type) {
    case gvsp::payload_type_raw:
    case gvsp::payload_type_file:
    case gvsp::payload_type_jpeg:
    case gvsp::payload_type_jpeg2000:
      size = l.payload_data_size;
      return true;
    case gvsp::payload_type_image: {
      // PFNC keeps the bits per pixel in bits 16-23.
      const std::uint64_t bits = (l.pixel_format >> 16) & 0xFFu;
      const std::uint64_t line = std::uint64_t{l.size_x} * bits / 8 + l.padding_x;
      size = line * lines.value_or(l.size_y) + l.padding_y;
      return true;
    }
    default:
      return false;
  }
}

// Image and extended chunk leaders share their geometry fields.
template <typename Geometry>
void fill_geometry(Geometry &g, const gvsp::Leader &l) {
  g.pixel_type = l.pixel_format;
  g.size_x = l.size_x;
  g.size_y = l.size_y;
  g.offset_x = l.offset_x;
  g.offset_y = l.offset_y;
  g.padding_x = l.padding_x;
  g.padding_y = l.padding_y;
}

void fill_leader(zok_block_desc &d, const gvsp::Leader &l) {
  d.payload_type = gvsp::payload_type_base(l.payload_type);
  d.timestamp = static_cast<std::uint32_t>(l.timestamp);
  d.timestamp_high = static_cast<std::uint32_t>(l.timestamp >> 32);
  switch (d.payload_type) {
    case gvsp::payload_type_image:
      fill_geometry(d.image, l);
      break;
    case gvsp::payload_type_raw:
      d.raw_data.payload_data_size = l.payload_data_size;
      break;
    case gvsp::payload_type_file: {
      d.file.payload_data_size = l.payload_data_size;
      const std::size_t n = std::min(l.file_name.size(), sizeof d.file.filename - 1);
      std::memcpy(d.file.filename, l.file_name.data(), n);
      d.file.filename[n] = '\0';
      break;
    }
    case gvsp::payload_type_extended_chunk:
      fill_geometry(d.extended_chunk, l);
      break;
    default:
      break;
  }
}

void fill_trailer(zok_block_desc &d, const gvsp::Trailer &t, bool leader_seen) {
  const std::uint16_t type = gvsp::payload_type_base(t.payload_type);
  if (!leader_seen) d.payload_type = type;
  switch (type) {
    case gvsp::payload_type_image:
      d.image.trailer_size_y = t.size_y;
      break;
    case gvsp::payload_type_chunk:
      d.chunk_data.data_payload_len = t.chunk_data_payload_length;
      break;
    case gvsp::payload_type_extended_chunk:
      d.extended_chunk.trailer_size_y = t.size_y;
      d.extended_chunk.data_payload_len = t.chunk_data_payload_length;
      d.extended_chunk.chunk_layout_id = t.chunk_layout_id;
      break;
    default:
      break;
  }
}

bool opens_with_leader(gvsp::PacketKind kind) {
  return kind == gvsp::PacketKind::leader || kind == gvsp::PacketKind::all_in;
}

}  // namespace

void PacketBits::clear_through(std::uint32_t up_to) noexcept {
  if (packets_ == 0) return;
  const std::uint32_t last = std::min(up_to, packets_ - 1);
  std::memset(words_.get(), 0, (last / 64 + 1) * sizeof(std::uint64_t));
}

Reassembly::Reassembly(const CoreConfig &config, Counters &counters, CoreShell &shell) noexcept
    : config_(config),
      counters_(counters),
      shell_(shell),
      sequence_(config.kind),
      window_(config.reorder_window, config.resend_timeout / reorder_bound_divisor) {
  lock_.host = config.sender_host;
  publish_window();
}

void Reassembly::arm_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept {
  drop_block_.store(block_id, std::memory_order_relaxed);
  drop_packet_.store(packet_id, std::memory_order_relaxed);
  drop_armed_.store(true, std::memory_order_release);
}

bool Reassembly::takes_forced_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept {
  if (!drop_armed_.load(std::memory_order_acquire) ||
      packet_id != drop_packet_.load(std::memory_order_relaxed) ||
      block_id != drop_block_.load(std::memory_order_relaxed)) {
    return false;
  }
  drop_armed_.store(false, std::memory_order_relaxed);
  return true;
}

void Reassembly::note_hold_released() noexcept {
  ++hold_generation_;
  after_hold_ = true;
}

void Reassembly::publish_window() noexcept {
  const auto w = static_cast<std::uint64_t>(window_.get());
  counters_.reorder_window_ns.store(w, std::memory_order_relaxed);
  raise_to(counters_.reorder_window_peak_ns, w);
}

void Reassembly::saw_block(std::uint64_t block_id) noexcept {
  bump(counters_.blocks_unseen, sequence_.saw(block_id, now_, flow_));
}

Block *Reassembly::find(std::uint64_t block_id) noexcept {
  // Most datagrams belong to the block the one before did.
  if (last_found_ != nullptr && last_found_->open() && last_found_->block_id == block_id) {
    return last_found_;
  }
  for (Block &b : open_blocks()) {
    if (b.block_id == block_id) return last_found_ = &b;
  }
  return nullptr;
}

Reassembly::Closed *Reassembly::recently_closed(std::uint64_t block_id) noexcept {
  // Newest first: a restarted sender may have reused the id already.
  for (std::size_t i = 1; i <= closed_.size(); ++i) {
    std::optional<Closed> &c = closed_[(closed_next_ + closed_.size() - i) % closed_.size()];
    if (c && c->block_id == block_id) return &*c;
  }
  return nullptr;
}

void Reassembly::remember_closed(std::uint64_t block_id, const Block *b) noexcept {
  Closed c;
  c.block_id = block_id;
  if (b != nullptr) {
    c.leader_timestamp = b->leader_timestamp;
    c.leader_asked = b->leader_asked;
    if (b->buffer != nullptr) c.took = b->buffer->received.first_word();
    c.asked = b->commands != 0;
    // A leader that may begin a new run and found no buffer.
    c.new_run = b->new_run && !b->confirmed();
    if (!b->leader_timestamp) {
      c.first_arrival = b->first_arrival;
      c.port = b->one_port();
    }
  }
  closed_[closed_next_] = c;
  closed_next_ = (closed_next_ + 1) % closed_.size();
}

// A leader for a finished block is a new block when the sender started its
// count again: it names another time than that block's leader did. Senders
// that leave the time at 0 give less to go on: a leader the engine did not
// ask for, after other blocks came, is taken for a new run's. A leader the
// block never got is the late answer to asking for it, unless its time
// does not lie between its neighbours'.
bool Reassembly::restarts(const Closed &c, const gvsp::Packet &packet) const noexcept {
  if (!opens_with_leader(packet.kind)) return false;
  const std::uint64_t timestamp = packet.leader.timestamp;
  if (!c.leader_timestamp) return !fits_run(packet.header.block_id, timestamp);
  if (timestamp != 0 || *c.leader_timestamp != 0) return timestamp != *c.leader_timestamp;
  return !c.leader_asked && sequence_.newest() != packet.header.block_id;
}

bool Reassembly::overtook(Nanos first_arrival, std::optional<std::uint16_t> port,
                          const Arrival &at) const noexcept {
  return port == at.port && at.now - first_arrival <= window_.get();
}

// As for an open block (route), packets that overtook the leader.
bool Reassembly::came_for(const Closed &c, const Arrival &at) const noexcept {
  return !c.leader_timestamp && overtook(c.first_arrival, c.port, at);
}

// As packets of an open block would (take_for_senders), they begin the new
// run's block of that id: the old one was done with before that leader
// came, or its time would follow the leader's at a clock's pace.
bool Reassembly::after_new_lead(const Closed &c, const gvsp::Packet &packet,
                                const Arrival &at) const noexcept {
  if (opens_with_leader(packet.kind) || !c.leader_timestamp) return false;
  const Block *lead = unproven_lead(packet.header.block_id, nullptr);
  if (lead == nullptr || lead->port != at.port) return false;
  return !follows_at_pace(*lead->leader_timestamp, *c.leader_timestamp, lead->first_arrival);
}

// A sender's clock runs forward: a leader whose time does not lie between
// those of the nearest blocks before and after it (of this run, as far as
// they are remembered) is another run's leader of the same id, such as a
// restarted sender's answer to asking for a leader the old run lost.
bool Reassembly::time_fits(std::uint64_t block_id, std::uint64_t timestamp) const noexcept {
  if (timestamp == 0) return true;
  std::uint64_t before = std::numeric_limits<std::uint64_t>::max(), after = before;
  std::optional<std::uint64_t> lo, hi;
  auto neighbour = [&](std::uint64_t id, const std::optional<std::uint64_t> &t) {
    if (!t || *t == 0 || id == block_id) return;
    const std::uint64_t ahead = gvsp::block_id_distance(block_id, id, config_.kind);
    const std::uint64_t behind = gvsp::block_id_distance(id, block_id, config_.kind);
    if (ahead <= sequence_depth && ahead < after) {
      after = ahead;
      hi = t;
    } else if (behind <= sequence_depth && behind < before) {
      before = behind;
      lo = t;
    }
  };
  for (const std::optional<Closed> &c : closed_) {
    if (c) neighbour(c->block_id, c->leader_timestamp);
  }
  for (const Block &b : open_blocks()) neighbour(b.block_id, b.leader_timestamp);
  return (!lo || timestamp >= *lo) && (!hi || timestamp <= *hi);
}

bool Reassembly::leaps(std::uint64_t timestamp) const noexcept {
  const ClockPace &p = pace_;
  if (p.timestamp == 0 || timestamp <= p.timestamp) return false;
  return (timestamp - p.timestamp) / ms_since(p.at) > most_ticks_per_ms();
}

// Behind the latest leader's time by more than its clock runs in a block
// timeout: a leader sent before that one came after it, so it was sent no
// earlier than the longest a datagram is waited for before it.
bool Reassembly::lags(std::uint64_t timestamp) const noexcept {
  const ClockPace &p = pace_;
  if (p.timestamp == 0 || timestamp == 0 || timestamp >= p.timestamp) return false;
  const std::uint64_t ms = static_cast<std::uint64_t>(config_.block_timeout / 1'000'000) + 1;
  return (p.timestamp - timestamp) / ms > most_ticks_per_ms();
}

// A million times the pace seen (far beyond a sender that paused: its clock
// runs on with the receiver's, or whose rate varies), and before a pace is
// known, faster than any clock (2^40 ticks per millisecond).
std::uint64_t Reassembly::most_ticks_per_ms() const noexcept {
  constexpr unsigned margin = 20;
  const ClockPace &p = pace_;
  return p.ticks_per_ms != 0 && p.ticks_per_ms < (fastest_clock >> margin)
             ? p.ticks_per_ms << margin
             : fastest_clock;
}

void Reassembly::learn_leader(std::uint64_t block_id, std::uint64_t timestamp) noexcept {
  if (Closed *c = recently_closed(block_id)) c->leader_timestamp = timestamp;
  keep_pace(timestamp);
}

void Reassembly::keep_pace(std::uint64_t timestamp) noexcept {
  if (timestamp <= pace_.timestamp) return;
  if (pace_.timestamp != 0) {
    pace_.ticks_per_ms =
        std::max(pace_.ticks_per_ms, (timestamp - pace_.timestamp) / ms_since(pace_.at));
  }
  pace_.timestamp = timestamp;
  pace_.at = now_;
}

std::uint64_t Reassembly::ms_since(Nanos at) const noexcept {
  return static_cast<std::uint64_t>(std::max<Nanos>(now_ - at, 0) / 1'000'000 + 1);
}

std::optional<std::uint64_t> Reassembly::counted_from(std::uint64_t first, const Block *keep,
                                                      const Block *lead) const noexcept {
  if (lead == nullptr) lead = unproven_lead(first, keep);
  if (lead == nullptr) return std::nullopt;
  return sequence_.back(first, gvsp::block_id_distance(lead->block_id, first, config_.kind) - 1);
}

const Block *Reassembly::unproven_lead(std::uint64_t first, const Block *keep) const noexcept {
  std::uint64_t nearest = open_window + 1;
  const Block *lead = nullptr;
  for (const Block &b : open_blocks()) {
    if (&b == keep || !b.new_run || !b.leader_timestamp || b.confirmed()) continue;
    const std::uint64_t d = gvsp::block_id_distance(b.block_id, first, config_.kind);
    if (d >= 1 && d < nearest) {
      nearest = d;
      lead = &b;
    }
  }
  if (lead == nullptr) return nullptr;
  auto between = [&](std::uint64_t id) {
    const std::uint64_t d = gvsp::block_id_distance(id, first, config_.kind);
    return d >= 1 && d < nearest;
  };
  // Packets that opened a block after that leader came, proving nothing
  // yet, are likelier the new run's than the old one's.
  const bool none_between =
      std::ranges::none_of(open_blocks(),
                           [&](const Block &b) {
                             return between(b.block_id) &&
                                    (b.confirmed() || b.leader_timestamp || b.order < lead->order);
                           }) &&
      std::none_of(closed_.begin(), closed_.end(),
                   [&](const std::optional<Closed> &c) { return c && between(c->block_id); });
  return none_between ? lead : nullptr;
}

void Reassembly::restart(std::optional<std::uint64_t> first, const Block *keep,
                         const Block *lead) noexcept {
  if (const auto from = first ? counted_from(*first, keep, lead) : std::nullopt) first = from;
  // The new run's leaders that found no buffer before its first count as
  // not available: the run began with the earliest, and the ids between
  // them were passed over. Bit d - 1: the id d before the first.
  std::uint64_t no_buffer = 0;
  for (const std::optional<Closed> &c : closed_) {
    const std::uint64_t d =
        first && c && c->new_run ? gvsp::block_id_distance(c->block_id, *first, config_.kind) : 0;
    if (d >= 1 && d <= sequence_depth) no_buffer |= std::uint64_t{1} << (d - 1);
  }
  // A kept block the sequence has as its newest began the new run, and so
  // did a newest block without a leader just before the new run's first
  // (its leader lost): the ids it passed over on arrival were the gap
  // between the runs.
  const std::optional<std::uint64_t> newest = sequence_.newest();
  bool from_newest = keep != nullptr && newest == keep->block_id && keep->confirmed();
  if (!from_newest && first && newest) {
    const std::uint64_t d = gvsp::block_id_distance(*newest, *first, config_.kind);
    const Block *open = find(*newest);
    const Closed *closed = open == nullptr ? recently_closed(*newest) : nullptr;
    // (The newest itself may be the first: a block handed over before its
    // leader came.)
    // (Unless the newest, not itself the first, follows a block of the old
    // run's with its leader: the newest was the old run's too.)
    const std::uint64_t before = sequence_.back(*newest, 1);
    const Block *prev = find(before);
    const Closed *prev_closed = prev == nullptr ? recently_closed(before) : nullptr;
    const bool led_before = (prev != nullptr && prev->leader_timestamp && !prev->new_run) ||
                            (prev_closed != nullptr && prev_closed->leader_timestamp);
    from_newest = d <= open_window && (d == 0 || !led_before) &&
                  ((d >= 1 && open != nullptr && !open->leader_timestamp) ||
                   (closed != nullptr && !closed->leader_timestamp));
  }
  // What the old run still assembles will not be finished by it. But a
  // block from the sender's port without a leader, ahead of the new run's
  // first id, may be the new run's own that overtook its leader: it stays
  // open, and a leader that comes for it drops what came before. One opened
  // before a block of the old run that had its leader, or longer than the
  // reorder window before the new run's first leader, was the old run's.
  const Nanos new_since = keep != nullptr ? keep->first_arrival : now_;
  auto may_be_new = [&](const Block &b) {
    return first && b.confirmed() && !b.leader_timestamp && b.order > leader_order_ &&
           new_since - b.first_arrival <= window_.get() && b.port == lock_.port &&
           !b.ports_differ && gvsp::block_id_before(*first, b.block_id, config_.kind) &&
           gvsp::block_id_distance(*first, b.block_id, config_.kind) <= open_window;
  };
  // Blocks of the new run seen without their leaders follow the old run's
  // last block with one: the ids between them were never sent.
  std::optional<std::uint64_t> led;
  if (newest) {
    std::optional<std::uint64_t> after;
    for (std::uint64_t k = 0; k < open_window && !led; ++k) {
      const std::uint64_t id = sequence_.back(*newest, k);
      const Block *open = find(id);
      const Closed *closed = open == nullptr ? recently_closed(id) : nullptr;
      if ((open != nullptr && open->leader_timestamp) || (closed && closed->leader_timestamp)) {
        led = id;
      } else if (open != nullptr || closed != nullptr) {
        // Only while the blocks after it may be the new run's: one that
        // proved itself the old run's passed over old ids.
        after = open != nullptr && may_be_new(*open) ? std::optional(id) : std::nullopt;
      }
    }
    if (led && after) sequence_.forget_between(*led, *after);
  }
  const Block *proof = keep != nullptr && keep->leader_timestamp.value_or(0) != 0   ? keep
                       : lead != nullptr && lead->leader_timestamp.value_or(0) != 0 ? lead
                                                                                    : nullptr;
  // A block after the new run's first whose leader's time follows that of
  // the leader that proved the run at no more than any clock's pace.
  auto after_proof = [&](std::uint64_t id, std::optional<std::uint64_t> timestamp) {
    return first && proof != nullptr && timestamp &&
           gvsp::block_id_before(*first, id, config_.kind) &&
           gvsp::block_id_distance(*first, id, config_.kind) <= open_window &&
           follows_at_pace(*proof->leader_timestamp, *timestamp, proof->first_arrival);
  };
  for (Block &b : open_blocks()) {
    if (!b.open() || &b == keep || &b == lead) continue;
    // A leader of the new run not yet proved by its packets stays open, a
    // block of the run now proved: ended now, its id would count as never
    // seen, and again when the sequence passes over it.
    if (b.new_run && !b.confirmed() && after_proof(b.block_id, b.leader_timestamp)) {
      b.new_run = false;
      continue;
    }
    if (may_be_new(b)) {
      // What came of it so far may be the old run's: it gives way now, so
      // what the new run sends for it from here on is kept when its leader
      // comes.
      forget_strays(b);
      b.before_restart = true;
    } else {
      close_block(b, Ending::incomplete);
    }
  }
  // Blocks finished without their leaders after the old run's last one
  // with a leader, from the sender's port, before the new run's first, are
  // the new run's as the sequence counts them: they stay remembered, so a
  // late copy of their leader is not handed over as a block of its own.
  // So do those after the new run's first whose leader's time follows the
  // leader that proved the run at no more than any clock's pace.
  auto new_runs = [&](const Closed &c) {
    if (!first) return false;
    // Counted above as the new run's: a late copy of its leader is no block.
    if (c.new_run && c.leader_timestamp) {
      const std::uint64_t d = gvsp::block_id_distance(c.block_id, *first, config_.kind);
      if (d >= 1 && d <= sequence_depth) return true;
    }
    if (!c.leader_timestamp) {
      return c.port == lock_.port && gvsp::block_id_before(c.block_id, *first, config_.kind) &&
             gvsp::block_id_distance(c.block_id, *first, config_.kind) <= open_window &&
             (!led || gvsp::block_id_before(*led, c.block_id, config_.kind));
    }
    return after_proof(c.block_id, c.leader_timestamp);
  };
  for (std::optional<Closed> &c : closed_) {
    if (c && !new_runs(*c)) c.reset();
    if (c && !c->leader_timestamp) c->through_restart = true;
  }
  past_end_.reset();
  unbuffered_.reset();
  pace_ = ClockPace{};
  // A block kept open may still prove the old run's: the new run's ids
  // reach it when its leader comes, not before.
  if (from_newest) {
    bump(counters_.blocks_unseen, sequence_.restart_at_newest());
  } else if (no_buffer != 0) {
    const auto earliest = static_cast<std::uint64_t>(std::bit_width(no_buffer));
    bump(counters_.blocks_unseen, sequence_.restart(sequence_.back(*first, earliest)));
    for (std::uint64_t d = earliest; d >= 1; --d) {
      if (((no_buffer >> (d - 1)) & 1u) != 0) {
        bump(counters_.blocks_unseen, sequence_.saw(sequence_.back(*first, d), now_, flow_));
      }
    }
  } else {
    bump(counters_.blocks_unseen, sequence_.restart(first));
  }
  last_judged_.reset();
}

// Older than anything remembered, behind the newest and yet neither a block
// the sequence passed over nor one from before the first it saw (which came
// late), or behind it with a time that is not this run's: the sender may be
// counting afresh.
bool Reassembly::begins_run(std::uint64_t block_id, std::uint64_t timestamp) const noexcept {
  const std::uint64_t behind = sequence_.behind(block_id);
  return behind > sequence_depth ||
         (behind != 0 && ((!sequence_.passed_over(block_id) && !sequence_.before_first(block_id)) ||
                          !fits_run(block_id, timestamp) || lags(timestamp)));
}

Reassembly::Opening Reassembly::may_open(const gvsp::Packet &packet) const noexcept {
  switch (packet.kind) {
    case gvsp::PacketKind::leader:
    case gvsp::PacketKind::all_in:
      return Opening::yes;
    case gvsp::PacketKind::payload:
    case gvsp::PacketKind::trailer: {
      // Before any block the stream's first one may have lost its leader:
      // it opens on what came, so its leader is asked for and the block is
      // accounted for like any other.
      // A block the sequence passed over may still come, its leader lost.
      // So may one that follows a leader that may begin a new run.
      auto near = [&](std::uint64_t from) {
        const std::uint64_t d = gvsp::block_id_distance(from, packet.header.block_id, config_.kind);
        return d >= 1 && d <= open_window;
      };
      if (const std::optional<std::uint64_t> newest = sequence_.newest()) {
        if (!near(*newest) && !sequence_.passed_over(packet.header.block_id) &&
            std::ranges::none_of(open_blocks(), [&](const Block &b) {
              return b.new_run && b.leader_timestamp && near(b.block_id);
            })) {
          return Opening::no;
        }
      }
      // It must also fit a buffer like those seen so far, or a stray packet
      // would take (or find no) buffer in the name of the next block.
      const std::uint64_t p = packet.header.packet_id;
      if (largest_buffer_ == 0) return Opening::yes;
      if (p >= packet_capacity(largest_buffer_)) return Opening::past_buffers;
      if (packet.kind == gvsp::PacketKind::trailer) return Opening::yes;
      // The packet size may have changed since the last block: a packet
      // of either size is placed no lower than the smaller puts it.
      const std::uint64_t n = packet.data.size();
      if (n == 0) return Opening::no;
      const auto psize = static_cast<std::uint32_t>(
          stream_psize_ == 0 ? n : std::min<std::uint64_t>(n, stream_psize_));
      return gvsp::payload_data_offset(p, psize) + n <= largest_buffer_ ? Opening::yes
                                                                        : Opening::past_buffers;
    }
    case gvsp::PacketKind::error:
      return Opening::no;
  }
  return Opening::no;
}

bool Reassembly::proves_past_end(std::uint64_t block_id, std::uint32_t packet_id) noexcept {
  if (!past_end_ || past_end_->first != block_id) past_end_.emplace(block_id, PastEnd{});
  if (!past_end_->second.proves(packet_id, 0, -1)) return false;
  past_end_.reset();
  return true;
}

// A new run's leader not yet proved, and packets of a block just after it
// with no block to prove the run in: the leader found no buffer (and the
// block, near no id of the run the sequence knows, may not open), or its
// block is open and no buffer is free for this one. Unproved, the run's
// blocks would be counted nowhere: the packets, kept aside, prove it as a
// block's would.
std::optional<bool> Reassembly::proves_unbuffered(const gvsp::Packet &packet, const Arrival &at,
                                                  const Block *&lead) noexcept {
  const gvsp::Header &h = packet.header;
  const std::optional<std::uint64_t> newest = sequence_.newest();
  auto after = [&](std::uint64_t from) {
    const std::uint64_t d = gvsp::block_id_distance(from, h.block_id, config_.kind);
    return d >= 1 && d <= open_window;
  };
  if ((packet.kind != gvsp::PacketKind::payload && packet.kind != gvsp::PacketKind::trailer) ||
      !lock_.locked || at.port != lock_.port || !newest || after(*newest) ||
      sequence_.passed_over(h.block_id)) {
    return std::nullopt;
  }
  lead = unproven_lead(h.block_id, nullptr);
  if (lead != nullptr && lead->port != at.port) lead = nullptr;
  if (lead == nullptr &&
      std::none_of(closed_.begin(), closed_.end(), [&](const std::optional<Closed> &c) {
        return c && c->new_run && c->leader_timestamp && after(c->block_id);
      })) {
    return std::nullopt;
  }
  if (lead != nullptr) {
    if (Buffer *spare = shell_.take_buffer()) {
      shell_.recycle(spare);
      return std::nullopt;
    }
  }
  if (!unbuffered_ || unbuffered_->first != h.block_id) unbuffered_.emplace(h.block_id, PastEnd{});
  if (!unbuffered_->second.proves(h.packet_id, 0, -1)) return false;
  unbuffered_.reset();
  return true;
}

void Reassembly::ends_too_long(Block &b) noexcept {
  b.overran = true;
  take_for_senders(b, false);
}

// The sender is one host and, once a leader came from it, one port: a
// camera streams from one port, and a datagram from another port of its
// host (another program there, a stale stream) could otherwise put the
// right ids on the wrong data. A sender restarted on a new port is taken
// back by its first leader from there once the old port has been silent
// for the reorder window: the lock moves with it. What this cannot tell
// apart: another program on the sender's host that sends a leader while
// the sender pauses takes the lock until the sender's next leader after
// that program falls silent.
Reassembly::Source Reassembly::source_of_other_port(bool leader, std::uint64_t block_id,
                                                    const Arrival &at) noexcept {
  if (lock_.other_port != at.port) {
    lock_.other_port = at.port;
    lock_.other_first = block_id;
  }
  if (leader && at.now - lock_.last_heard >= window_.get()) return Source::new_sender;
  return Source::other;
}

void Reassembly::lock_onto(std::uint32_t host, std::uint16_t port, Nanos now) noexcept {
  lock_.host = host;
  lock_.port = port;
  lock_.locked = true;
  lock_.last_heard = now;
  lock_.other_port = 0;
  lock_.other_first.reset();
  // Packets from other ports that opened blocks before the lock were not
  // this sender's.
  for (Block &b : open_blocks()) {
    if (!b.confirmed() && b.received != 0 && port != 0 &&
        (b.ports_differ || (b.port != 0 && b.port != port))) {
      forget_strays(b);
    }
  }
  shell_.sender_locked(host, port);
}

void Reassembly::on_packet(gvsp::bytes datagram, Arrival at) noexcept {
  took_datagram();
  now_ = at.now;
  advance_flow(at.now);
  const gvsp::Result<gvsp::Packet> parsed = gvsp::parse_packet(datagram);
  if (!parsed) {
    refused();
    return;
  }
  const gvsp::Packet &packet = parsed.value;
  bool opened = false, parkable = false;
  Block *b = route(packet, at, opened, parkable);
  if (b == nullptr) {
    if (parkable) park(datagram, packet.header.block_id, at);
    return;
  }
  dispatch(*b, packet, at, opened);
  if (opened && packet.kind == gvsp::PacketKind::leader && b->open()) unpark(*b, at);
}

// A sender restarted on its port with ids far behind its old ones: the new
// run's packets that overtake their leader name a block nowhere near the
// newest, and are refused, yet they are the sender's. A leader from that
// port soon after claims them, as it would have found them in a block they
// opened (route): without them its block would ask again for packets that
// came. Only packets that came after a leader that may have begun the run
// are kept, and only a leader of that run claims them: before any leader of
// it, a packet may as well be a run's that a second restart ended at once,
// and its bytes would land in the next run's block of that id.
void Reassembly::park(gvsp::bytes datagram, std::uint64_t block_id, const Arrival &at) noexcept {
  if (datagram.size() > parked_bytes) return;
  // That leader opened a block not yet proved, or found no buffer; or the
  // block of this id ended with its leader, and only a leader of another
  // time claims the packet.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> lead;
  const Closed *ended = recently_closed(block_id);
  if (ended != nullptr && ended->leader_timestamp) {
    lead.emplace(block_id, *ended->leader_timestamp);
  } else if (const Block *b = unproven_lead(block_id, nullptr);
             b != nullptr && b->port == at.port) {
    lead.emplace(b->block_id, *b->leader_timestamp);
  } else {
    std::uint64_t nearest = open_window + 1;
    for (const std::optional<Closed> &c : closed_) {
      if (!c || !c->new_run || !c->leader_timestamp) continue;
      const std::uint64_t d = gvsp::block_id_distance(c->block_id, block_id, config_.kind);
      if (d >= 1 && d < nearest) {
        nearest = d;
        lead.emplace(c->block_id, *c->leader_timestamp);
      }
    }
  }
  // Or a new run's leader came for a later block (one that may begin the
  // run, or did, leaving this id behind its first): a leader of this id
  // from before that leader's time claims the packet.
  if (!lead && lock_.locked && at.port == lock_.port) {
    std::uint64_t nearest = open_window + 1;
    for (const Block &b : open_blocks()) {
      if (!b.leader_timestamp || *b.leader_timestamp == 0 || b.port != at.port) {
        continue;
      }
      const std::uint64_t d = gvsp::block_id_distance(block_id, b.block_id, config_.kind);
      if (d >= 1 && d < nearest && (b.new_run || sequence_.before_first(block_id))) {
        nearest = d;
        lead.emplace(b.block_id, *b.leader_timestamp);
      }
    }
  }
  if (!lead) return;
  if (!parked_data_) {
    parked_data_.reset(new (std::nothrow) std::byte[parked_slots * parked_bytes]);
    if (!parked_data_) return;
  }
  const std::size_t k = parked_next_;
  parked_next_ = (parked_next_ + 1) % parked_slots;
  std::memcpy(parked_data_.get() + k * parked_bytes, datagram.data(), datagram.size());
  parked_[k] = Parked{.block_id = block_id,
                      .at = at.now,
                      .lead_id = lead->first,
                      .lead_timestamp = lead->second,
                      .port = at.port,
                      .length = static_cast<std::uint32_t>(datagram.size())};
}

void Reassembly::unpark(Block &b, const Arrival &at, bool proved) noexcept {
  // Most streams never park a packet: their leaders skip the scan.
  if (!parked_data_) return;
  for (std::size_t n = 0; n < parked_slots && b.open(); ++n) {
    Parked &p = parked_[(parked_next_ + n) % parked_slots];  // oldest first
    // A lead of the packet's own id is the leader of its ended block.
    const bool of_ended = p.lead_id == p.block_id;
    if (p.length == 0 || p.block_id != b.block_id ||
        (proved ? of_ended || p.port != lock_.port
                : !overtook(p.at, p.port, at) ||
                      (of_ended ? b.leader_timestamp == p.lead_timestamp : !follows_lead(p, b)))) {
      continue;
    }
    const std::size_t k = static_cast<std::size_t>(&p - parked_.data());
    const gvsp::Result<gvsp::Packet> parsed =
        gvsp::parse_packet(gvsp::bytes(parked_data_.get() + k * parked_bytes, p.length));
    p.length = 0;
    if (!parsed) continue;
    // (Those of an ended block were dropped uncounted, as late copies.)
    if (!of_ended) counters_.datagrams_refused.fetch_sub(1, std::memory_order_relaxed);
    dispatch(b, parsed.value, at, false);
  }
}

// The leader's time lies after the lead's, at a pace a clock may run (over
// the time since the parked packet, which the lead came before). Of a
// sender that leaves the time at 0 nothing tells one run from the next.
bool Reassembly::follows_lead(const Parked &p, const Block &b) const noexcept {
  const std::uint64_t ts = b.leader_timestamp.value_or(0);
  const std::uint64_t d = gvsp::block_id_distance(p.lead_id, b.block_id, config_.kind);
  if (p.lead_timestamp == 0) return false;
  if (d >= 1 && d <= open_window) return follows_at_pace(p.lead_timestamp, ts, p.at);
  // A lead after the block: its time follows the block's.
  const std::uint64_t ahead = gvsp::block_id_distance(b.block_id, p.lead_id, config_.kind);
  return ahead >= 1 && ahead <= open_window && ts != 0 &&
         follows_at_pace(ts, p.lead_timestamp, p.at);
}

Block *Reassembly::route(const gvsp::Packet &packet, const Arrival &at, bool &opened,
                         bool &parkable) noexcept {
  const gvsp::Header &h = packet.header;
  switch (source_of(opens_with_leader(packet.kind), h.block_id, at)) {
    case Source::sender:
      break;
    case Source::other:
      refused();
      return nullptr;
    case Source::new_sender: {
      // The sender restarted on this port: its blocks refused while it was
      // a stranger were its all the same, and the run is counted from the
      // first of them.
      const std::optional<std::uint64_t> first = lock_.other_port == at.port && lock_.other_first
                                                     ? lock_.other_first
                                                     : std::optional(h.block_id);
      lock_onto(lock_.host, at.port, at.now);
      restart(first, nullptr);
      break;
    }
  }
  if (gvsp::is_resent(h) && !marks_resends_) {
    marks_resends_ = true;
    // The asked-for packets that came unmarked before were its originals.
    if (unmarked_answer_late_) spurious(*unmarked_answer_late_);
  }
  if (packet.kind != gvsp::PacketKind::error && takes_forced_drop(h.block_id, h.packet_id)) {
    if (Block *b = find(h.block_id)) {
      b->forced_packet = h.packet_id;
    } else {
      pending_forced_.emplace(h.block_id, h.packet_id);
    }
    return nullptr;
  }
  // A leader that may begin a new run of the sender's ids: it opens its
  // block tentatively, and the run restarts only when packets of the block
  // follow it, so a stray leader alone costs nothing but itself.
  bool new_run = false;
  Block *found = find(h.block_id);
  // Unproven and quiet for a block timeout before this arrived, the block
  // had ended (whether a tick judged it yet or not): it was nothing, and
  // this datagram meets no block.
  if (found != nullptr && !found->confirmed() &&
      at.now - found->quiet_since() >= config_.block_timeout) {
    close_block(*found, Ending::timeout);
    found = nullptr;
  }
  if (Block *b = found) {
    if (!opens_with_leader(packet.kind)) return b;
    if (!b->leader_timestamp) {
      if (b->received == 0) return b;
      if (b->before_restart && packet.kind != gvsp::PacketKind::all_in) {
        // Kept open through a restart: what came before it was forgotten
        // then, and what came since is the new run's.
        b->before_restart = false;
        return b;
      }
      if (b->before_restart || (packet.kind == gvsp::PacketKind::all_in && !b->confirmed())) {
        // Unproven, what came is not sure to be the block of an all-in
        // packet, which is its block whole.
        forget_strays(*b);
        return b;
      }
      if (fits_run(h.block_id, packet.leader.timestamp)) {
        // Packets that overtook a leader of a new run (older than anything
        // the sequence remembers): they prove it with those that follow.
        if (!b->confirmed() && sequence_.behind(h.block_id) > sequence_depth) b->new_run = true;
        return b;
      }
      // A time out of the run's order: another run's leader of the same id.
      // Packets that never proved the block the sender's are forgotten, but
      // for those that came from its port within the reorder window before
      // it: its own, overtaking it. The leader must prove a new run by those
      // that follow it.
      if (!b->confirmed()) {
        if (!overtook(b->first_arrival, b->one_port(), at)) forget_strays(*b);
        b->new_run = true;
        return b;
      }
      // Packets that proved it were the new run's, overtaken by their
      // leader, when they came no earlier than the reorder window before
      // it, or when it answers asking for it while they still come: the
      // old run ends around them. A block begun before that was the old
      // run's.
      if ((b->leader_asked && at.now - b->last_arrival < idle_after()) ||
          at.now - b->first_arrival <= window_.get()) {
        restart(h.block_id, b);
        if (sequence_.newest() != h.block_id) saw_block(h.block_id);
        return b;
      }
    } else if (packet.leader.timestamp == *b->leader_timestamp) {
      return b;
    } else if (!b->confirmed() && b->payloads == 0 && !b->geometry.trailer() &&
               (at.port == 0 || b->port != at.port || b->ports_differ)) {
      // While that leader was all there was, the first one was the stray,
      // unless both came from the same port: two runs' leaders of the id.
      forget_strays(*b);
      return b;
    }
    // A leader with another time, from the sender's host and port: the
    // sender restarted and reused the id. The block ends as it stands, and
    // the new one proves the restart by the packets that follow it.
    close_block(*b, Ending::incomplete);
    // An all-in packet is its whole block: nothing follows to prove it.
    const bool all_in = packet.kind == gvsp::PacketKind::all_in;
    if (all_in) restart(std::nullopt, nullptr);
    Block *again = open_block(h.block_id, at, packet.leader.timestamp, !all_in);
    opened = again != nullptr;
    return again;
  } else if (packet.kind == gvsp::PacketKind::error) {
    return nullptr;
  } else if (const Closed *closed = recently_closed(h.block_id);
             closed != nullptr &&
             (!closed->through_restart || at.now - closed->first_arrival < config_.block_timeout) &&
             !after_new_lead(*closed, packet, at)) {
    // (Not one kept through a restart as the new run's once a block timeout
    // has passed since its packets: a leader of its id is then likelier
    // another run's than its own.)
    // Late resends and duplicates of finished blocks, and answers about
    // them, are normal traffic: dropped without counting. The leader of a
    // block that ended before it came still names the sender.
    if (!restarts(*closed, packet)) {
      if (opens_with_leader(packet.kind) && !lock_.locked && at.source != 0) {
        lock_onto(at.source, at.port, at.now);
      }
      // A block that ended before its leader came learns its time, which
      // may be all the engine has of this run when the next run's leader
      // comes: without it, that block would be taken for the new run's
      // first, its leader lost, and the ids between counted as unseen.
      if (opens_with_leader(packet.kind) && !closed->leader_timestamp && at.port == lock_.port) {
        learn_leader(h.block_id, packet.leader.timestamp);
      }
      // Or, where the block never took a packet of that id nor asked for
      // any (so this is no late copy or answer), the packet (a payload
      // packet or the trailer) is a restarted sender's of that id,
      // overtaken by its leader: kept a while, in case that leader comes.
      // (A very late packet of the old block, just before such a leader,
      // would be taken for the new run's.)
      parkable =
          (packet.kind == gvsp::PacketKind::payload || packet.kind == gvsp::PacketKind::trailer) &&
          !gvsp::is_resent(h) && closed->leader_timestamp && !closed->asked && h.packet_id < 64 &&
          ((closed->took >> h.packet_id) & 1u) == 0 && lock_.locked && at.port == lock_.port;
      return nullptr;
    }
    if (came_for(*closed, at)) {
      // Its block is the new run's first, handed over already: the old run
      // ends, and the new one goes on from there.
      restart(h.block_id, nullptr);
      return nullptr;
    }
    if (packet.leader.timestamp != 0 || closed->leader_timestamp.value_or(0) != 0) {
      // Another time from the sender's host and port is the sender counting
      // afresh. The old run ends now: were it to wait for the new block's
      // packets to prove it (a block that may find no buffer), the new run's
      // packets of ids the old one still has open would land in those.
      restart(h.block_id, nullptr);
    } else {
      new_run = true;
    }
  } else if (opens_with_leader(packet.kind)) {
    const bool other_time = !fits_run(h.block_id, packet.leader.timestamp);
    if (begins_run(h.block_id, packet.leader.timestamp)) {
      // An all-in packet is its whole block: nothing follows to prove a new
      // run. Behind the newest by less than the ids remembered and of a time
      // that fits, it is a block that came late, not a restart.
      new_run = packet.kind != gvsp::PacketKind::all_in || other_time ||
                sequence_.behind(h.block_id) > sequence_depth;
    } else if (other_time) {
      // Ahead of the newest, yet earlier than a block before it: the sender
      // counts afresh (16-bit ids may land just past the old run's), and
      // the ids between were never sent.
      restart(h.block_id, nullptr);
    }
  }
  // An all-in packet is its whole block: nothing follows to prove it.
  if (new_run && packet.kind == gvsp::PacketKind::all_in) {
    restart(std::nullopt, nullptr);
    new_run = false;
  }
  const Opening opening = may_open(packet);
  const Block *lead = nullptr;
  if (const std::optional<bool> proved =
          opening == Opening::past_buffers ? std::nullopt : proves_unbuffered(packet, at, lead)) {
    if (!*proved) {
      refused();
      parkable = true;
      return nullptr;
    }
    // Proved as the leader's own block would prove it. The restart may
    // free a buffer; if not, the block is counted as finding none.
    restart(h.block_id, nullptr, lead);
    if (lead != nullptr) {
      Block &first = *find(lead->block_id);
      first.new_run = false;
      take_for_senders(first, first.geometry.trailer().has_value());
    }
    if (Block *b = open_block(h.block_id, at, std::nullopt)) {
      // What came of it before was kept aside.
      unpark(*b, at, true);
      if (b->open()) dispatch(*b, packet, at, b->received == 0);
      if (b->open() && b->state == BlockState::tentative) take_for_senders(*b, false);
    }
    return nullptr;
  }
  switch (opening) {
    case Opening::yes:
      break;
    case Opening::no:
      refused();
      parkable = lock_.locked && (at.port == lock_.port || lock_.port == 0);
      return nullptr;
    case Opening::past_buffers:
      // Packets of a block too long for the buffers take none until they
      // prove it the sender's (a stray would hold one in the next block's
      // name); then it opens only to end with an overrun, counted.
      if (!lock_.locked || !proves_past_end(h.block_id, h.packet_id)) {
        refused();
        return nullptr;
      }
      if (Block *b = open_block(h.block_id, at, std::nullopt)) ends_too_long(*b);
      return nullptr;
  }
  Block *b = open_block(h.block_id, at,
                        opens_with_leader(packet.kind)
                            ? std::optional<std::uint64_t>(packet.leader.timestamp)
                            : std::nullopt,
                        new_run);
  opened = b != nullptr;
  return b;
}

void Reassembly::dispatch(Block &b, const gvsp::Packet &packet, const Arrival &at,
                          bool opened) noexcept {
  b.last_arrival = at.now;
  b.epoch_ns = at.epoch_ns;
  const gvsp::Header &h = packet.header;
  // Packets that came before the leader from another port than its own (or
  // from two) were not all this sender's: none of them can be trusted.
  if (opens_with_leader(packet.kind) && !b.leader_timestamp && b.state == BlockState::tentative &&
      b.received != 0 && (b.ports_differ || b.port != at.port)) {
    forget_strays(b);
  }
  b.heard_from(at.port);
  switch (packet.kind) {
    case gvsp::PacketKind::leader:
      on_leader(b, packet.leader);
      break;
    case gvsp::PacketKind::trailer:
      on_trailer(b, h.packet_id, packet.trailer);
      break;
    case gvsp::PacketKind::payload:
      if (packet.data.size() > std::numeric_limits<std::uint32_t>::max()) {
        refused();
        break;
      }
      accept_payload(b, h.packet_id, packet.data.data(),
                     static_cast<std::uint32_t>(packet.data.size()), 0, gvsp::is_resent(h));
      break;
    case gvsp::PacketKind::all_in:
      on_all_in(b, packet);
      break;
    case gvsp::PacketKind::error:
      on_error(b, h.status, h.packet_id);
      break;
  }
  if (packet.kind != gvsp::PacketKind::payload && !lock_.locked && b.leader_timestamp &&
      at.source != 0) {
    lock_onto(at.source, at.port, at.now);
  }
  if (!b.open()) return;
  if (opened) {
    if (b.received == 0) {
      // The packet that opened the block was refused: it was never a block.
      // What lay past the buffer stays evidence of one.
      if (b.past_end.count != 0) past_end_.emplace(b.block_id, b.past_end);
      free_slot(b);
      shell_.recycle(b.buffer);
      return;
    }
    if (at.source != 0) first_host_ = at.source;
  }
  maybe_finish(b);
}

Block *Reassembly::open_block(std::uint64_t block_id, const Arrival &at,
                              std::optional<std::uint64_t> leader_timestamp,
                              bool new_run) noexcept {
  if (open_ == ~std::uint64_t{0}) evict_oldest();
  Block &b = blocks_[static_cast<std::size_t>(std::countr_one(open_))];
  b.reset();
  b.block_id = block_id;
  b.new_run = new_run;
  b.first_arrival = at.now;
  b.last_arrival = at.now;
  b.epoch_ns = at.epoch_ns;
  b.hold_generation = hold_generation_;
  b.after_hold = after_hold_;
  b.buffer = shell_.take_buffer();
  if (b.buffer == nullptr) {
    // Remembered with its leader's time, so a restarted sender's block of
    // the same id is told apart.
    b.leader_timestamp = leader_timestamp;
    saw_block(block_id);
    close_block(b, Ending::not_available);
    return nullptr;
  }
  largest_buffer_ = std::max(largest_buffer_, b.buffer->size);
  b.state = BlockState::tentative;
  open_ |= slot_bit(b);
  // A leader takes back what lay past the end; without one, those packets
  // still count in proving the block.
  if (past_end_ && past_end_->first == block_id) {
    if (!leader_timestamp) b.past_end = past_end_->second;
    past_end_.reset();
  }
  b.order = ++order_;
  if (pending_forced_ && pending_forced_->first == block_id) {
    b.forced_packet = pending_forced_->second;
    pending_forced_.reset();
  }
  return last_found_ = &b;
}

void Reassembly::evict_oldest() noexcept {
  Block *oldest = nullptr;
  for (Block &b : open_blocks()) {
    if (oldest == nullptr || b.order < oldest->order) oldest = &b;
  }
  if (oldest != nullptr) close_block(*oldest, Ending::incomplete);
}

void Reassembly::on_leader(Block &b, const gvsp::Leader &l) noexcept {
  if (b.leader_timestamp) return;
  // Packets from the sender's host and port that came before it are the
  // sender's, overtaken by their leader (from elsewhere they were forgotten).
  if (b.state == BlockState::tentative && b.payloads != 0 && b.payloads <= b.early.size()) {
    for (std::uint32_t id = 1; id <= b.touched; ++id) {
      if (b.buffer->received.test(id) && b.geometry.trailer() != id) b.early[b.early_count++] = id;
    }
  }
  b.leader_timestamp = l.timestamp;
  if (!b.new_run) leader_order_ = std::max(leader_order_, b.order);
  keep_pace(l.timestamp);
  // A trailer that came first may have said the block has fewer lines; only
  // an image trailer counts them. One of another type (another run's block
  // of this id) says nothing of this leader's lines, and its fields, which
  // share their place with the image's, read as 0 lines would announce no
  // size at all.
  const bool image_trailer =
      b.geometry.trailer() && b.desc.payload_type == gvsp::payload_type_image;
  fill_leader(b.desc, l);
  std::optional<std::uint32_t> lines;
  if (image_trailer && b.desc.payload_type == gvsp::payload_type_image &&
      b.desc.image.trailer_size_y < l.size_y) {
    lines = b.desc.image.trailer_size_y;
  }
  std::uint64_t size = 0;
  bool past_buffer = false;
  // A size of 0 is what senders that do not fill the field send.
  if (announced_data(l, size, lines) && size != 0) {
    b.geometry.announce(size);
    // A tail probed while nothing said where the block ends is asked for
    // in full now that the size does.
    b.tail_asked = false;
    // A lone payload packet the trailer names as the last: its length was
    // no packet size, the size announced gives the full packets' length.
    const std::uint32_t lone = b.first_payload_id;
    const std::uint32_t n = b.first_payload_length;
    // (It may have been taken for short against the last block's size.)
    const std::optional<std::uint32_t> psize = implied_packet_size(b.geometry, lone, n);
    if (b.payloads == 1 && (!b.short_id || *b.short_id == lone) &&
        b.geometry.trailer() == lone + 1 && psize && *psize > n) {
      Geometry other = b.geometry;
      other.set_packet_size(*psize);
      if (other.fit(lone, n) == Fit::last && other.offset(lone) + n > b.buffer->size) {
        // Its place lies past the buffer: the block does not fit.
        past_buffer = true;
      } else if (other.fit(lone, n) == Fit::last) {
        move_packet(b, lone, n, other);
        b.short_id = lone;
        b.short_length = n;
        recompute_span(b);
      }
    }
    if (b.short_id && !past_buffer && b.payloads <= 2 &&
        b.geometry.packet_size() > b.short_length &&
        (b.payloads < 2 || b.geometry.packet_size() != stream_psize_) &&
        b.geometry.fit(*b.short_id, b.short_length) != Fit::last &&
        !ends_frame_early(b, b.geometry, *b.short_id, b.short_length)) {
      // The size does not take the short packet for the last, yet it is
      // the last at the packet size the size implies, or a full packet at
      // its own length where the last does not go: the longer ones were
      // copies with bytes appended. (Otherwise it is itself a copy of the
      // last, and gives way below; so it is when a longer one has the
      // packet size the stream's blocks had, as copies seldom do. Alone,
      // the short one had only the last block's size to be measured by,
      // and the sender may have changed it.)
      const std::uint32_t id = *b.short_id;
      const std::uint32_t n = b.short_length;
      Geometry other = b.geometry;
      std::optional<Fit> f;
      if (const auto implied = implied_packet_size(b.geometry, id, n);
          implied && *implied < b.geometry.packet_size()) {
        other.set_packet_size(*implied);
        if (other.fit(id, n) == Fit::last) f = Fit::last;
      }
      if (!f && b.geometry.last_payload() != id) {
        other.set_packet_size(n);
        if (other.fit(id, n) == Fit::full || other.fit(id, n) == Fit::last) f = other.fit(id, n);
      }
      if (f && other.offset(id) + n <= b.buffer->size) {
        // The copies taken back stood for packets of their ids, which the
        // sender sent too: those within the end are asked for, or the block
        // would end at once without them.
        const std::uint64_t end = other.last_payload().value_or(b.touched);
        for (std::uint32_t p = 1; p <= b.touched; ++p) {
          if (p == id || b.geometry.trailer() == p || !b.buffer->received.test(p)) continue;
          unplace(b, p);
          if (p <= end) ask(b, p, p, flow_ + window_.get());
        }
        move_packet(b, id, n, other);
        if (*f == Fit::full) b.short_id.reset();
        b.first_payload_id = id;
        b.first_payload_length = n;
        recompute_span(b);
      }
    }
    const std::optional<std::uint64_t> last = b.geometry.last_payload();
    if (!past_buffer && b.payloads != 0 && last && *last < b.buffer->received.size()) {
      // Packets that came before it past the end it gives were strays, and
      // so was a last packet of another length than the size leaves: the
      // real one is asked for.
      for (std::uint64_t id = *last + 1; id <= b.touched; ++id) {
        const auto p = static_cast<std::uint32_t>(id);
        if (b.buffer->received.test(p) && b.geometry.trailer() != p) unplace(b, p);
      }
      // Gaps they showed past the end were none.
      if (!b.geometry.trailer()) {
        bump(counters_.resend_requests_failed,
             b.ranges.cut_above(static_cast<std::uint32_t>(*last) + 1, *b.buffer));
      }
      const auto l32 = static_cast<std::uint32_t>(*last);
      const std::uint32_t length = b.short_id == l32 ? b.short_length : b.geometry.packet_size();
      const bool early = b.short_id && ends_frame_early(b, b.geometry, *b.short_id, b.short_length);
      const bool short_elsewhere = b.short_id && *b.short_id != l32 && !early;
      if (short_elsewhere ||
          (b.buffer->received.test(l32) && b.geometry.fit(l32, length) != Fit::last && !early)) {
        const std::uint32_t wrong = b.short_id && *b.short_id != l32 ? *b.short_id : l32;
        unplace(b, wrong);
        ask(b, wrong, wrong, flow_ + window_.get());
      }
    }
  }
  b.buffer->received.set(0);
  ++b.received;
  // A leader that began a new run proves itself by the packets that follow.
  if (b.confirmed() || b.new_run) {
    note_received(b, 0, false);
  } else {
    b.state = BlockState::assembling;
    note_received(b, 0, false);
    take_for_senders(b, b.geometry.trailer().has_value());
  }
  if (past_buffer && b.open() && b.confirmed()) close_block(b, Ending::overrun);
}

void Reassembly::on_trailer(Block &b, std::uint32_t packet_id, const gvsp::Trailer &t) noexcept {
  if (const std::optional<std::uint32_t> known = b.geometry.trailer()) {
    if (packet_id != *known) refused();
    return;
  }
  // A short packet it does not end with was not the last one after all,
  // unless it was a full one and a longer copy set the block's packet size.
  if (b.short_id && *b.short_id + 1 < packet_id) {
    bool kept = false;
    if (packet_id < b.buffer->received.size()) {
      const Geometry before = b.geometry;
      b.geometry.end_at(packet_id);
      kept = vote_packet_size(b, *b.short_id, b.short_length);
      if (!kept) b.geometry = before;
    }
    if (!kept) drop_short(b);
  }
  if (packet_id >= b.buffer->received.size()) {
    refused();
    return;
  }
  const std::optional<std::uint64_t> last = b.geometry.last_payload();
  if (static_cast<std::int64_t>(packet_id) <= b.highest && !last) {
    // Payload packets at or past the trailer: strays that named packets
    // past the block's end, not the sender's trailer being wrong.
    for (std::uint32_t id = packet_id; id <= b.touched; ++id) {
      if (b.buffer->received.test(id)) unplace(b, id);
    }
  }
  // A lone payload packet right before it is the last one, whatever the
  // packet size its length suggested: the full ones still to come tell.
  const bool after_lone = b.payloads == 1 && !b.short_id &&
                          static_cast<std::int64_t>(b.first_payload_id) == b.highest &&
                          packet_id == b.first_payload_id + 1;
  const bool fits = static_cast<std::int64_t>(packet_id) > b.highest &&
                    (!last || packet_id == *last + 1 || after_lone) &&
                    (!b.short_id || *b.short_id + 1 == packet_id);
  // A trailer of fewer lines than the leader's shortens the block, also
  // where its packet count happens to stay the same.
  const bool fewer_lines = b.leader_timestamp && b.desc.payload_type == gvsp::payload_type_image &&
                           t.size_y < b.desc.image.size_y;
  if ((!fits || b.payloads == 0 || after_lone || fewer_lines) &&
      !shorten_to_trailer(b, packet_id, t) && !fits) {
    refused();
    return;
  }
  b.geometry.end_at(packet_id);
  // Gaps shown past it (by a stray past the end) were none.
  bump(counters_.resend_requests_failed, b.ranges.cut_above(packet_id, *b.buffer));
  fill_trailer(b.desc, t, b.leader_timestamp.has_value());
  b.buffer->received.set(packet_id);
  ++b.received;
  if (b.confirmed()) b.state = BlockState::trailer_seen;
  note_received(b, packet_id, false);
}

bool Reassembly::shorten_to_trailer(Block &b, std::uint32_t packet_id,
                                    const gvsp::Trailer &t) noexcept {
  if (!b.leader_timestamp || gvsp::payload_type_base(t.payload_type) != gvsp::payload_type_image ||
      b.desc.payload_type != gvsp::payload_type_image || t.size_y >= b.desc.image.size_y) {
    return false;
  }
  gvsp::Leader l;
  l.payload_type = gvsp::payload_type_image;
  l.pixel_format = b.desc.image.pixel_type;
  l.size_x = b.desc.image.size_x;
  l.padding_x = b.desc.image.padding_x;
  l.padding_y = b.desc.image.padding_y;
  std::uint64_t size = 0;
  if (!announced_data(l, size, t.size_y)) return false;
  if (b.payloads == 0 || (b.payloads == 1 && !b.short_id && b.first_payload_id + 1 == packet_id)) {
    // Nothing placed yet, or one packet whose length was no more than a
    // guess at the packet size: the block is the shorter one from the start.
    b.geometry.announce(size);
    return true;
  }
  if (b.geometry.packet_size() == 0) return false;
  Geometry shorter = b.geometry;
  shorter.announce(size);
  const std::optional<std::uint64_t> last = shorter.last_payload();
  if (!last || packet_id != *last + 1 || static_cast<std::int64_t>(packet_id) <= b.highest) {
    return false;
  }
  // The packets that came must fit the shorter block as they are.
  const auto l32 = static_cast<std::uint32_t>(*last);
  if (b.buffer->received.test(l32)) {
    const std::uint32_t length = b.short_id == l32 ? b.short_length : shorter.packet_size();
    if (shorter.fit(l32, length) != Fit::last) return false;
  } else if (b.short_id) {
    return false;
  }
  b.geometry = shorter;
  // What was asked for past the shorter end was never sent: those requests
  // failed.
  bump(counters_.resend_requests_failed, b.ranges.cut_above(l32, *b.buffer));
  return true;
}

// Leader, trailer and data in one packet: the block is whole at once.
void Reassembly::on_all_in(Block &b, const gvsp::Packet &p) noexcept {
  if (b.highest >= 0) {
    refused();
    return;
  }
  b.sender_status = p.header.status;
  if (p.data.size() > b.buffer->size) {
    b.leader_timestamp = p.leader.timestamp;
    fill_leader(b.desc, p.leader);
    fill_trailer(b.desc, p.trailer, true);
    b.received = 1;
    b.state = BlockState::assembling;
    saw_block(b.block_id);
    close_block(b, Ending::overrun);
    return;
  }
  std::memcpy(b.buffer->data, p.data.data(), p.data.size());
  b.span_end = p.data.size();
  on_leader(b, p.leader);
  fill_trailer(b.desc, p.trailer, true);
  // A status the sender put on it is no whole block.
  close_block(b, gvsp::status_is_error(b.sender_status) ? Ending::incomplete : Ending::complete);
}

void Reassembly::on_error(Block &b, std::uint16_t status, std::uint32_t packet_id) noexcept {
  // Not sent yet: it is asked for again when the wait runs out. Like the
  // other answers to a request, it says nothing of the block as sent.
  if (status == gvsp::status_packet_not_yet_available) return;
  if (!means_unavailable(status)) {
    b.sender_status = status;
    return;
  }
  Buffer &buf = *b.buffer;
  if (packet_id >= buf.received.size() || buf.received.test(packet_id) ||
      buf.unavailable.test(packet_id)) {
    return;
  }
  buf.unavailable.set(packet_id);
  b.touched = std::max(b.touched, packet_id);
  if (b.ranges.unavailable(packet_id) == ResendRanges::Filled::answered) {
    bump(counters_.resend_requests_failed);
  }
}

void Reassembly::finish(Block &b) noexcept {
  if (b.received == *b.geometry.trailer() + 1) {
    close_block(b, Ending::complete);
  } else if (!b.ranges.any()) {
    close_block(b, Ending::incomplete);
  }
}

void Reassembly::on_tick(Nanos now) noexcept {
  assert(open_mask_holds());
  now_ = now;
  if (now < due_) return;
  due_ = never;  // an ended block sets it to 0: unknown again
  Nanos next = never;
  for (Block &b : open_blocks()) {
    if (!b.open()) continue;
    // A tick late by more than the block timeout (a receiver held off its
    // CPU) ends a block that has asked before: asking again now would keep
    // it open for answers the sender may no longer give for it. One that
    // has asked for nothing yet saw its gaps only now, in a backlog read
    // late, its packets came in time and the sender still has what it
    // lost: it asks once first.
    const bool late = now - b.quiet_since() >= config_.block_timeout;
    if (late && b.commands != 0) {
      close_block(b, Ending::timeout);
      continue;
    }
    if (idle_asks(b) && now - b.last_arrival >= idle_after()) sender_moved_on(b);
    if (b.ranges.any()) {
      expire(b, now);
      maybe_finish(b);
    }
    if (late && b.open() && b.commands == 0) close_block(b, Ending::timeout);
    if (b.open()) next = std::min(next, deadline_of(b));
  }
  settle_sequence();
  // An ended block moved the reorder window, and with it the deadlines of
  // blocks already passed in this walk.
  if (due_ != 0) due_ = std::min(next, sequence_.settles_at(config_.block_timeout));
}

// An id passed over counts as never seen once its block could no longer
// come in time: a block timeout after it was passed over.
void Reassembly::settle_sequence() noexcept {
  const Nanos wait = config_.block_timeout;
  using Known = BlockSequence::Known;
  bump(counters_.blocks_unseen, sequence_.settle(flow_, now_, wait, wait, [this](std::uint64_t id) {
    return find(id) != nullptr              ? Known::open
           : recently_closed(id) != nullptr ? Known::finished
                                            : Known::no;
  }));
}

Nanos Reassembly::deadline_of(const Block &b) const noexcept {
  Nanos next = std::min(b.quiet_since() + config_.block_timeout, b.ranges.next_wait_end());
  if (idle_asks(b)) next = std::min(next, b.last_arrival + idle_after());
  return next;
}

Nanos Reassembly::next_deadline() const noexcept {
  if (due_ != 0) return due_;
  Nanos next = sequence_.settles_at(config_.block_timeout);
  for (const Block &b : open_blocks()) next = std::min(next, deadline_of(b));
  return next;
}

void Reassembly::abandon_all(Nanos now) noexcept {
  now_ = now;
  due_ = 0;
  for (Block &b : open_blocks()) {
    if (b.open()) close_block(b, Ending::timeout);
  }
  bump(counters_.blocks_unseen,
       sequence_.settle(flow_, now_, 0, 0, [](std::uint64_t) { return BlockSequence::Known::no; }));
}

// Judged against the last block handed over or dropped: the next id always
// goes; older ids are "lt", ids past a gap "gt".
bool Reassembly::hands_over(std::uint64_t block_id) const noexcept {
  if (!last_judged_) return true;
  if (block_id == gvsp::block_id_next(*last_judged_, config_.kind)) return true;
  const bool lt =
      block_id == *last_judged_ || gvsp::block_id_before(block_id, *last_judged_, config_.kind);
  switch (config_.booo) {
    case ZOK_BOOO_ALWAYS_DROP:
      return false;
    case ZOK_BOOO_RETURN_LT:
      return lt;
    case ZOK_BOOO_RETURN_GT:
      return !lt;
    default:
      return true;
  }
}

// What the program finds where a packet is missing: zeros, never the bytes
// of another packet the kernel put there on a prediction that did not hold.
void Reassembly::zero_missing(Block &b) noexcept {
  const std::uint32_t psize = b.geometry.packet_size();
  if (psize == 0) return;
  for (std::uint32_t id = 1; id <= b.touched; ++id) {
    if (b.buffer->received.test(id)) continue;
    const std::uint64_t at = b.geometry.offset(id);
    if (at >= b.span_end) break;
    std::memset(b.buffer->data + at, 0, std::min<std::uint64_t>(psize, b.span_end - at));
  }
}

void Reassembly::close_block(Block &b, Ending how) noexcept {
  due_ = 0;
  if (predicted_ && predicted_->block == &b && b.buffer != nullptr &&
      predicted_->buffer == b.buffer) {
    // The batch's datagrams still to be taken in may belong to the block
    // that opens next in this slot (a restarted sender's of the same id):
    // their data leaves the buffer with this block unless it moves aside.
    const Predicted &p = *predicted_;
    make_room(b, 0, 0, static_cast<std::uint32_t>((p.first + p.count - 1) * p.psize));
    predicted_->buffer = nullptr;
  }
  if (how == Ending::not_available) {
    bump(counters_.blocks_not_available);
    if (after_hold_) bump(counters_.blocked_blocks_dropped);
    remember_closed(b.block_id, &b);
    last_judged_ = b.block_id;
    free_slot(b);
    return;
  }
  Buffer &buf = *b.buffer;
  if (!b.confirmed()) {
    // Ending unconfirmed it was never the sender's: its packets named a
    // block nobody sent. They count as refused and leave no trace, so the
    // real block of that id still opens.
    if (b.new_run && b.leader_timestamp) {
      // But a leader of a new run from the sender's host that its packets
      // never proved: what came after it is refused, and it was a restarted
      // sender whose block was lost but for it. Further off than the ids
      // remembered, its ids go on from there. (Unless its id was counted as
      // never seen already and its time fits the run: a late copy, dropped.)
      bump(counters_.datagrams_refused, b.received - 1);
      if (!sequence_.counted_unseen(b.block_id) || !fits_run(b.block_id, *b.leader_timestamp)) {
        bump(counters_.blocks_unseen);
        if (sequence_.behind(b.block_id) > sequence_depth) {
          bump(counters_.blocks_unseen, sequence_.restart(b.block_id));
          bump(counters_.blocks_unseen, sequence_.saw(b.block_id, now_, flow_));
          for (std::optional<Closed> &c : closed_) c.reset();
        }
        // Counted: a late copy of its leader is no block of its own. (Not
        // while the old run's block of its id may still come, or count as
        // never seen itself.)
        if (!sequence_.passed_over(b.block_id)) remember_closed(b.block_id, &b);
      }
    } else {
      bump(counters_.datagrams_refused, std::max<std::uint32_t>(b.received, 1));
    }
    count(b.ranges.give_up(buf));
    buf.received.clear_through(b.touched);
    buf.unavailable.clear_through(b.touched);
    free_slot(b);
    shell_.recycle(&buf);
    return;
  }
  if (how == Ending::complete && b.conflict_count != 0) how = Ending::incomplete;
  const bool complete = how == Ending::complete;
  std::uint16_t status = b.sender_status;
  switch (how) {
    case Ending::complete:
      break;
    case Ending::incomplete:
      if (!gvsp::status_is_error(status)) status = ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE;
      break;
    case Ending::timeout:
      status = ZOK_BLOCK_STATUS_BLOCK_TIMEOUT;
      break;
    case Ending::overrun:
    case Ending::not_available:
      status = ZOK_BLOCK_STATUS_DATA_OVERRUN;
      break;
  }
  // Packets asked for and still missing are given up with the block.
  count(b.ranges.give_up(buf));
  bump(complete ? counters_.blocks_complete : counters_.blocks_incomplete);
  if (how == Ending::timeout) bump(counters_.block_timeouts);
  // One payload packet alone may have been short: it says nothing of the
  // packet size.
  if (complete && b.payloads >= 2) stream_psize_ = b.geometry.packet_size();
  window_.block_ended();
  publish_window();

  FinishedBlock out;
  out.desc = b.desc;
  out.desc.payload_length = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(b.span_end, std::numeric_limits<std::uint32_t>::max()));
  out.desc.payload = buf.data;
  out.desc.buffer = buf.descriptor;
  out.desc.status = status;
  out.desc.block_id = b.block_id;
  out.desc.epoch_time_ns = b.epoch_ns;
  out.status = zok_block_status{};
  out.status.status = status;
  out.status.block_id = b.block_id;
  out.status.dropped_packet_id = b.forced_packet.value_or(b.first_asked.value_or(0));
  out.status.resend_request = b.commands;
  out.status.next_request_id = shell_.next_request_id();

  const bool handed = !(config_.drop_incomplete && !complete) && hands_over(b.block_id);
  const bool lost = !handed || !complete;
  if (lost && (b.hold_generation != hold_generation_ || b.after_hold || after_hold_)) {
    bump(counters_.blocked_blocks_dropped);
  }
  last_judged_ = b.block_id;
  remember_closed(b.block_id, &b);
  if (handed && !complete) zero_missing(b);
  buf.received.clear_through(b.touched);
  buf.unavailable.clear_through(b.touched);
  free_slot(b);
  if (handed) {
    shell_.hand_over(out);
  } else {
    bump(counters_.blocks_dropped);
    shell_.recycle(&buf);
  }
}

}  // namespace zok
