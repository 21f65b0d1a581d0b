// The sender's block ids as the engine has seen them go by: the newest, and
// the ids passed over without a block of theirs being seen. A block lost
// whole (its every packet dropped before the engine saw it, in the kernel
// or on the wire) leaves only such a gap; the ids tell how many. A passed
// over id waits out the reorder window, since its block may still come out
// of order, and then counts as never seen.
#pragma once

#include <gvsp/gvsp.h>

#include <bit>
#include <cstdint>
#include <optional>

#include "resend_ranges_internal.h"

namespace zok {

// How far back the sequence keeps track of ids passed over.
inline constexpr std::uint64_t sequence_depth = 64;

class BlockSequence {
 public:
  explicit BlockSequence(gvsp::HeaderKind kind) noexcept : kind_(kind) {}

  std::optional<std::uint64_t> newest() const noexcept { return newest_; }
  // Steps from `id` up to the newest id when `id` lies before it, else 0.
  std::uint64_t behind(std::uint64_t id) const noexcept;
  // Passed over and not yet settled: its block may still come.
  bool passed_over(std::uint64_t id) const noexcept { return bit(pending_, id); }
  // Before the first id seen since the stream began or the sender restarted.
  bool before_first(std::uint64_t id) const noexcept {
    return first_ && gvsp::block_id_before(id, *first_, kind_);
  }
  // Passed over and counted as never seen.
  bool counted_unseen(std::uint64_t id) const noexcept { return bit(unseen_, id); }

  // A block of `id` is the sender's (it opened with its leader, its packets
  // confirmed it, or it found no buffer). `now` is its arrival time, `flow`
  // the stream's flow time. Returns the ids that count as never seen at
  // once: those that fell out of the depth kept.
  std::uint64_t saw(std::uint64_t id, Nanos now, Nanos flow) noexcept;

  // A block taken for seen turned out no block: its id counts as passed
  // over again (the newest itself cannot be).
  void unsee(std::uint64_t id) noexcept {
    const std::uint64_t b = behind(id);
    if (b != 0 && b <= sequence_depth) pending_ |= std::uint64_t{1} << (b - 1);
  }

  enum class Known : std::uint8_t { no, open, finished };
  // Ids passed over at least `window` of flow time ago, or `idle` of time
  // ago, count as never seen, but for those whose block `known` says is
  // open (they wait) or finished (they were seen). Returns how many.
  template <typename KnownOf>
  std::uint64_t settle(Nanos flow, Nanos now, Nanos window, Nanos idle, KnownOf &&known) noexcept {
    if (pending_ == 0 || (flow - passed_at_ < window && now - passed_time_ < idle)) return 0;
    std::uint64_t settled = 0;
    for (std::uint64_t bits = pending_; bits != 0; bits &= bits - 1) {
      const int i = std::countr_zero(bits);
      const Known k = known(back(*newest_, static_cast<std::uint64_t>(i) + 1));
      if (k == Known::open) continue;
      pending_ &= ~(std::uint64_t{1} << i);
      if (k == Known::finished) continue;
      unseen_ |= std::uint64_t{1} << i;
      ++settled;
    }
    // Ids whose block is still open (not yet the sender's for sure) wait
    // another round.
    if (pending_ != 0) {
      passed_at_ = flow;
      passed_time_ = now;
    }
    return settled;
  }

  // When settle may count ids passed over, at the latest; `never` if none.
  Nanos settles_at(Nanos idle) const noexcept {
    return pending_ == 0 ? never : passed_time_ + idle;
  }

  // The sender counts afresh: every id passed over counts now (returned),
  // and the sequence goes on with `first` (the first id of the new run, when
  // known: the ids from it to the next block seen are passed over).
  std::uint64_t restart(std::optional<std::uint64_t> first) noexcept;
  // Ids strictly between `lo` and `hi` (both at or before the newest) were
  // never sent: they are no longer passed over.
  void forget_between(std::uint64_t lo, std::uint64_t hi) noexcept {
    const std::uint64_t from = behind(hi), to = newest_ == lo ? 0 : behind(lo);
    for (std::uint64_t b = from + 1; b < to && b <= sequence_depth; ++b) {
      pending_ &= ~(std::uint64_t{1} << (b - 1));
    }
  }
  // The id `steps` before `id`.
  std::uint64_t back(std::uint64_t id, std::uint64_t steps) const noexcept;

  // The same, where the new run's first block is the newest, seen already:
  // the ids its arrival passed over were never sent.
  std::uint64_t restart_at_newest() noexcept {
    const auto settled = static_cast<std::uint64_t>(std::popcount(pending_ & ~last_gap_));
    pending_ = 0;
    unseen_ = 0;
    last_gap_ = 0;
    return settled;
  }

 private:
  bool bit(std::uint64_t mask, std::uint64_t id) const noexcept {
    const std::uint64_t b = behind(id);
    return b != 0 && b <= sequence_depth && ((mask >> (b - 1)) & 1u) != 0;
  }

  gvsp::HeaderKind kind_;
  std::optional<std::uint64_t> newest_;
  std::optional<std::uint64_t> first_;
  std::uint64_t pending_ = 0;   // bit i: id newest - 1 - i passed over, not settled
  std::uint64_t unseen_ = 0;    // bit i: id newest - 1 - i counted as never seen
  Nanos passed_at_ = 0;         // flow time of the latest pass-over
  Nanos passed_time_ = 0;       // and its time
  Nanos newest_at_ = 0;         // arrival time of the newest block
  Nanos interval_ = 0;          // smoothed time from one block to the next, 0 unknown
  std::uint64_t last_gap_ = 0;  // bits of pending_ the newest's arrival passed over
};

}  // namespace zok
