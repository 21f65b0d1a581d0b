#include "block_sequence_internal.h"

namespace zok {

namespace {

// Blocks a jump may skip beyond what the time since the newest block holds
// at the stream's pace, and the pace's allowance: a sender's rate varies,
// and a receiver held off its CPU takes in a backlog.
constexpr std::uint64_t jump_slack = 16;
constexpr std::uint64_t pace_allowance = 4;

}  // namespace

std::uint64_t BlockSequence::behind(std::uint64_t id) const noexcept {
  if (!newest_ || !gvsp::block_id_before(id, *newest_, kind_)) return 0;
  return gvsp::block_id_distance(id, *newest_, kind_);
}

std::uint64_t BlockSequence::back(std::uint64_t id, std::uint64_t steps) const noexcept {
  // 64-bit ids skip 0 as they wrap, as 16-bit ones do.
  if (kind_ == gvsp::HeaderKind::extended) return id - steps - (steps >= id ? 1 : 0);
  // 16-bit ids run 1..65535: index them 0..65534 to step back on the ring.
  const std::uint64_t index = ((id & 0xFFFFu) + 0xFFFEu) % 0xFFFFu;
  return (index + 0xFFFFu - steps % 0xFFFFu) % 0xFFFFu + 1;
}

std::uint64_t BlockSequence::saw(std::uint64_t id, Nanos now, Nanos flow) noexcept {
  if (!first_ || gvsp::block_id_before(id, *first_, kind_)) first_ = id;
  if (!newest_) {
    newest_ = id;
    newest_at_ = now;
    return 0;
  }
  if (!gvsp::block_id_before(*newest_, id, kind_)) {
    // At or before the newest: a block that came out of order fills its gap.
    const std::uint64_t b = behind(id);
    if (b != 0 && b <= sequence_depth) pending_ &= ~(std::uint64_t{1} << (b - 1));
    return 0;
  }
  const std::uint64_t steps = gvsp::block_id_distance(*newest_, id, kind_);
  const std::uint64_t gap = steps - 1;
  const Nanos since = now > newest_at_ ? now - newest_at_ : 0;
  // More blocks skipped than the time since the newest could carry at the
  // stream's pace is no loss: the sender counts from elsewhere (a restart,
  // or 16-bit ids that went back to 1 from high up the ring).
  const std::uint64_t most =
      interval_ > 0 ? jump_slack + pace_allowance * static_cast<std::uint64_t>(since / interval_)
                    : sequence_depth;
  std::uint64_t settled = 0;
  last_gap_ = 0;
  if (gap > most) {
    settled = static_cast<std::uint64_t>(std::popcount(pending_));
    pending_ = 0;
    unseen_ = 0;
  } else {
    last_gap_ = gap >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << gap) - 1;
    if (steps >= 64) {
      settled = static_cast<std::uint64_t>(std::popcount(pending_)) + (gap > 64 ? gap - 64 : 0);
      pending_ = gap >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << gap) - 1;
      unseen_ = 0;
    } else {
      settled = static_cast<std::uint64_t>(std::popcount(pending_ >> (64 - steps)));
      pending_ = (pending_ << steps) | ((std::uint64_t{1} << gap) - 1);
      unseen_ <<= steps;
    }
    if (gap != 0) {
      passed_at_ = flow;
      passed_time_ = now;
    }
    if (steps == 1 && since > 0)
      interval_ = interval_ == 0 ? since : interval_ + (since - interval_) / 8;
  }
  newest_ = id;
  newest_at_ = now;
  return settled;
}

std::uint64_t BlockSequence::restart(std::optional<std::uint64_t> first) noexcept {
  const auto settled = static_cast<std::uint64_t>(std::popcount(pending_));
  pending_ = 0;
  unseen_ = 0;
  last_gap_ = 0;
  newest_.reset();
  first_ = first;
  if (first) newest_ = back(*first, 1);
  return settled;
}

}  // namespace zok
