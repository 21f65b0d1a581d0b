#include <algorithm>

#include "resend_ranges_internal.h"

namespace zok {

void ResendRanges::add(std::uint32_t first, std::uint32_t last, Nanos due, Nanos flow,
                       const Buffer &buffer) noexcept {
  // A packet waits in one range at most: what active ranges hold already is
  // left to them, what was asked for and given up stays so, and the rest is
  // added run by run.
  for (std::uint64_t p = first; p <= last;) {
    std::uint64_t end = last;
    bool covered = false;
    for (std::uint32_t i = 0; i < count_; ++i) {
      const Range &r = ranges_[i];
      if ((!r.active && r.tries == 0) || r.last < p) continue;
      if (r.first <= p) {
        covered = true;
        end = r.last;
        break;
      }
      if (r.first <= end) end = r.first - 1;
    }
    if (!covered) {
      add_run(static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(end), due, flow, buffer);
    }
    p = end + 1;
  }
}

void ResendRanges::add_run(std::uint32_t first, std::uint32_t last, Nanos due, Nanos flow,
                           const Buffer &buffer) noexcept {
  std::uint32_t missing = 0;
  for (std::uint32_t p = first; p <= last && p < buffer.received.size(); ++p) {
    if (!buffer.received.test(p) && !buffer.unavailable.test(p)) ++missing;
  }
  if (missing == 0) return;
  // A range that was asked for is kept while there is room: times_asked
  // reads it when copies come.
  Range *slot = nullptr;
  Range *asked = nullptr;
  for (std::uint32_t i = 0; i < count_ && slot == nullptr; ++i) {
    Range &r = ranges_[i];
    if (r.active) continue;
    if (r.tries == 0) {
      slot = &r;
    } else if (asked == nullptr) {
      asked = &r;
    }
  }
  if (slot == nullptr) slot = count_ < ranges_.size() ? &ranges_[count_++] : asked;
  if (slot == nullptr) return;
  *slot = Range{first, last, 0, missing, due, flow, true};
  waiting_ += missing;
}

ResendRanges::Filled ResendRanges::arrived(std::uint32_t id, Nanos flow, Nanos &lateness) noexcept {
  for (std::uint32_t i = 0; i < count_; ++i) {
    Range &r = ranges_[i];
    if (!r.active || id < r.first || id > r.last) continue;
    lateness = flow - r.opened;
    // Before its window ran out the packet was only late, not lost.
    const Filled what = r.tries == 0 ? Filled::late : Filled::answered;
    --(what == Filled::late ? waiting_ : outstanding_);
    settle(r);
    return what;
  }
  return Filled::none;
}

ResendRanges::Filled ResendRanges::unavailable(std::uint32_t id) noexcept {
  Nanos unused = 0;
  return arrived(id, 0, unused);
}

void ResendRanges::missing_again(std::uint32_t id) noexcept {
  for (std::uint32_t i = 0; i < count_; ++i) {
    Range &r = ranges_[i];
    if (!r.active || id < r.first || id > r.last) continue;
    ++r.remaining;
    ++(r.tries == 0 ? waiting_ : outstanding_);
    return;
  }
}

std::uint32_t ResendRanges::times_asked(std::uint32_t id) const noexcept {
  std::uint32_t most = 0;
  for (std::uint32_t i = 0; i < count_; ++i) {
    const Range &r = ranges_[i];
    if (id >= r.first && id <= r.last) most = std::max(most, r.tries);
  }
  return most;
}

void ResendRanges::end_windows(Nanos flow) noexcept {
  if (waiting_ == 0) return;
  for (std::uint32_t i = 0; i < count_; ++i) {
    Range &r = ranges_[i];
    if (r.active && r.tries == 0 && r.deadline > flow) r.deadline = flow;
  }
}

std::uint32_t ResendRanges::cut_above(std::uint32_t last, const Buffer &buffer) noexcept {
  std::uint32_t asked = 0;
  for (std::uint32_t i = 0; i < count_; ++i) {
    Range &r = ranges_[i];
    if (!r.active || r.last <= last) continue;
    // Packets past the end were never sent: as missing they count nowhere.
    std::uint32_t gone = 0;
    for (std::uint32_t p = std::max(r.first, last + 1); p <= r.last && p < buffer.received.size();
         ++p) {
      if (!buffer.received.test(p) && !buffer.unavailable.test(p)) ++gone;
    }
    gone = std::min(gone, r.remaining);
    if (r.tries == 0) {
      waiting_ -= gone;
    } else {
      outstanding_ -= gone;
      asked += gone;
    }
    r.remaining -= gone;
    if (r.first > last || r.remaining == 0) {
      r.active = false;
    } else {
      r.last = last;
    }
  }
  return asked;
}

std::uint32_t ResendRanges::give_up() noexcept {
  const std::uint32_t asked = outstanding_;
  for (std::uint32_t i = 0; i < count_; ++i) ranges_[i].active = false;
  waiting_ = 0;
  outstanding_ = 0;
  return asked;
}

Nanos ResendRanges::next_wait_end() const noexcept {
  Nanos next = never;
  if (outstanding_ == 0) return next;
  for (std::uint32_t i = 0; i < count_; ++i) {
    const Range &r = ranges_[i];
    if (r.active && r.tries != 0) next = std::min(next, r.deadline);
  }
  return next;
}

}  // namespace zok
