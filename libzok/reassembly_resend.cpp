// What a block is missing, when it is asked for, and what the answers
// teach about the path's reordering.
#include <algorithm>

#include "reassembly_internal.h"

namespace zok {

void Reassembly::note_received(Block &b, std::uint32_t packet_id, bool resent) noexcept {
  b.touched = std::max(b.touched, packet_id);
  // Ranges lie below the highest packet seen, but for an asked-for tail and
  // packets taken back after the range was made.
  if (b.ranges.any() && !b.buffer->unavailable.test(packet_id)) {
    Nanos late = 0;
    const ResendRanges::Filled filled = b.ranges.arrived(packet_id, flow_, late);
    if (filled == ResendRanges::Filled::answered) {
      bump(counters_.resend_requests_ok);
      // From a sender that marks what it resends, an unmarked packet that
      // was asked for came on its own.
      if (marks_resends_ && !resent) spurious(late);
      if (!marks_resends_ && !resent) {
        unmarked_answer_late_ = std::max(unmarked_answer_late_.value_or(0), late);
      }
    } else if (filled == ResendRanges::Filled::late) {
      window_.covered(late);
    }
  }
  if (b.state == BlockState::tentative) {
    confirm(b, packet_id);
    return;
  }
  // A probe asked for one packet only: past the highest, gaps show as ever.
  if (b.tail_probed && static_cast<std::int64_t>(packet_id) > b.highest) {
    b.tail_asked = false;
    b.tail_probed = false;
  }
  // An asked-for tail already covers everything above the highest packet.
  if (static_cast<std::int64_t>(packet_id) > b.highest + 1 && !b.tail_asked) {
    ask(b, static_cast<std::uint32_t>(b.highest + 1), packet_id - 1, flow_ + window_.get());
  }
  b.highest = std::max<std::int64_t>(b.highest, packet_id);
  if (b.ranges.waiting() != 0 && b.geometry.trailer() == packet_id) {
    // The sender is done with the block: what is missing is lost. Asked
    // for at the end of the batch, which may still bring some of it.
    b.ranges.end_windows(flow_);
  }
}

void Reassembly::note_duplicate(Block &b, std::uint32_t packet_id, bool resent) noexcept {
  // Both copies of a packet asked for once came: the request was not
  // needed. From a sender that marks its resends, the unmarked copy coming
  // second shows it (the first was counted when it came).
  if (b.commands == 0 || (marks_resends_ && resent) || b.ranges.times_asked(packet_id) != 1) {
    return;
  }
  spurious(0);
}

void Reassembly::spurious(Nanos late) noexcept {
  bump(counters_.spurious_resends);
  window_.spurious(late, flow_);
  publish_window();
}

// A block opened without its leader asks for nothing while its packets may
// be strays; all that lies below is asked for once they show the sender.
void Reassembly::confirm(Block &b, std::uint32_t packet_id) noexcept {
  const std::optional<std::uint32_t> trailer = b.geometry.trailer();
  // The short packet may be the last one itself.
  // The packets refused for lying past the buffer show the sender as well,
  // or a block too long for the buffers, its packets before the end too few
  // to prove it, would end as strays when its trailer comes, counted nowhere.
  const bool shows = shows_sender(packet_id, b.received + b.past_end.count,
                                  std::max(b.highest, b.past_end.highest),
                                  !b.short_id || *b.short_id == packet_id || trailer == packet_id);
  b.highest = std::max<std::int64_t>(b.highest, packet_id);
  // A new run's block shows itself by its leader and packets that follow
  // it as a sender's do (in any order: a path may reorder them).
  if (!shows || (b.new_run && !b.leader_timestamp)) return;
  take_for_senders(b, trailer == packet_id);
}

void Reassembly::take_for_senders(Block &b, bool done) noexcept {
  // A block shortly after a new run's unproven leader, none between, is of
  // that run: its packets prove the run as the leader's own block's would.
  // The leader's block is the run's first, proved with it: it stays open.
  if (const Block *lead = unproven_lead(b.block_id, &b)) {
    Block &first = *find(lead->block_id);
    b.new_run = false;
    restart(b.block_id, &b, lead);
    first.new_run = false;
    take_for_senders(first, first.geometry.trailer().has_value());
  } else if (b.new_run) {
    b.new_run = false;
    restart(b.block_id, &b);
  }
  b.state = b.geometry.trailer() ? BlockState::trailer_seen : BlockState::assembling;
  const auto top = static_cast<std::uint32_t>(std::max<std::int64_t>(b.highest, 0));
  std::uint32_t last_missing = top == 0 ? 0 : top - 1;
  while (last_missing > 0 && b.buffer->received.test(last_missing)) --last_missing;
  // Below a trailer the sender is done; otherwise the gaps get the reorder
  // window like any other.
  if (top != 0) ask(b, 0, last_missing, done ? flow_ : flow_ + window_.get());
  saw_block(b.block_id);
  ask_tails(b);
  if (b.overran && lies_past(b)) close_block(b, Ending::overrun);
}

// Packets judged past the buffer under one packet size may lie within it
// under the size the block's packets settled on since.
bool Reassembly::lies_past(const Block &b) const noexcept {
  if (b.geometry.packet_size() == 0 || b.past_end.count == 0) return true;
  if (const auto &last = b.past_end.last;
      last && b.geometry.offset(last->first) + last->second > b.buffer->size) {
    return true;
  }
  return std::any_of(b.past_end.ids.begin(), b.past_end.ids.begin() + b.past_end.count,
                     [&](std::uint32_t id) { return b.geometry.offset(id) >= b.buffer->size; });
}

// The leader came to a block that its packets alone did not confirm: they
// named the block before the sender began it. They count as refused and the
// block starts from the leader.
void Reassembly::forget_strays(Block &b) noexcept {
  bump(counters_.datagrams_refused, b.received);
  b.buffer->received.clear_through(b.touched);
  b.buffer->unavailable.clear_through(b.touched);
  const BlockFields kept = b;
  // Still the block of that id: what was asked for of it stays asked for,
  // each counted once, whether it comes now or the block ends without it.
  static_cast<BlockFields &>(b) = BlockFields{};
  b.ranges.forget();
  b.state = BlockState::tentative;
  b.buffer = kept.buffer;
  b.block_id = kept.block_id;
  b.order = kept.order;
  b.first_arrival = now_;
  b.last_arrival = kept.last_arrival;
  b.epoch_ns = kept.epoch_ns;
  b.forced_packet = kept.forced_packet;
  b.hold_generation = kept.hold_generation;
  b.after_hold = kept.after_hold;
}

void Reassembly::ask(Block &b, std::uint32_t first, std::uint32_t last, Nanos due) noexcept {
  if (!config_.resend || config_.num_retries == 0) return;
  b.ranges.add(first, last, due, flow_, *b.buffer);
}

void Reassembly::sender_moved_on(Block &b) noexcept {
  if (!config_.resend || config_.num_retries == 0) return;
  b.ranges.end_windows(flow_);
  if (b.geometry.trailer() || b.tail_asked) return;
  // Once a block, even when nothing tells what its tail is: a packet above
  // the highest shows the sender still at it, and the tail asks anew.
  b.tail_asked = true;
  const auto first = static_cast<std::uint64_t>(b.highest + 1);
  const std::uint32_t packets = b.buffer->received.size();
  Geometry g = b.geometry;
  if (g.packet_size() == 0) g.set_packet_size(stream_psize_);
  const std::optional<std::uint64_t> last =
      g.announced() ? g.last_payload() : std::optional<std::uint64_t>();
  if (!last) {
    // Nothing says where the block ends (no size, or no packet size to
    // count it in yet): one packet past the highest is asked for, the
    // trailer if that is all that was lost.
    b.tail_probed = true;
    if (first >= packets) return;
    ask(b, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(first), flow_);
    return;
  }
  const std::uint64_t trailer_id = *last + 1;
  // A packet probed for before the size was known is not asked for twice.
  std::uint64_t from = first;
  while (from <= trailer_id && from < packets &&
         b.ranges.times_asked(static_cast<std::uint32_t>(from)) != 0) {
    ++from;
  }
  if (trailer_id >= packets || from > trailer_id) return;
  // Asked for at the end of the batch: packets of it later in the same
  // batch were only overtaken.
  ask(b, static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(trailer_id), flow_);
}

// `newer` became the sender's: the blocks it started after have lost what
// they still lack (and `newer` has, if a block started after it already).
void Reassembly::ask_tails(const Block &newer) noexcept {
  bool overtaken = false;
  for (Block &b : open_blocks()) {
    if (!b.confirmed() || &b == &newer) continue;
    if (b.order < newer.order) {
      sender_moved_on(b);
    } else {
      overtaken = true;
    }
  }
  if (overtaken) sender_moved_on(const_cast<Block &>(newer));
}

bool Reassembly::idle_asks(const Block &b) const noexcept {
  return config_.resend && config_.num_retries != 0 && b.confirmed() &&
         (b.ranges.waiting() != 0 || (!b.geometry.trailer() && !b.tail_asked));
}

void Reassembly::expire(Block &b, Nanos now) noexcept {
  auto send = [&](std::uint32_t first, std::uint32_t last) -> Nanos {
    const Nanos left = shell_.send_resend(b.block_id, first, last);
    if (left == not_sent) return not_sent;
    bump(counters_.resend_requests);
    ++b.commands;
    if (!b.first_asked) b.first_asked = first;
    if (first == 0) b.leader_asked = true;
    // The wait runs from when the command left, which can be well after the
    // arrival of the packets behind it when the socket holds a backlog.
    const Nanos sent = std::max(now_, left);
    b.last_asked = std::max(b.last_asked, sent);
    return sent;
  };
  const ResendRanges::Expired e =
      b.ranges.expire(flow_, now, config_.num_retries, config_.resend_timeout, *b.buffer, send);
  bump(counters_.resend_timeouts, e.timeouts);
  bump(counters_.resend_requests_ok, e.answered);
  bump(counters_.resend_requests_failed, e.failed);
  raise_to(counters_.max_resend_retries, e.max_tries);
}

}  // namespace zok
