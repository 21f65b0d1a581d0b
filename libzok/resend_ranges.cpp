#include <algorithm>
#include <new>

#include "resend_ranges_internal.h"

namespace zok {

void ResendRanges::add(std::uint32_t first, std::uint32_t last, Nanos due, Nanos flow,
                       const Buffer &buffer) noexcept {
  // A packet waits in one range at most: what active ranges hold already is
  // left to them, what was asked for and given up stays so, and the rest is
  // added run by run.
  if (buffer.received.size() == 0) return;
  last = std::min(last, buffer.received.size() - 1);
  if (first > last || !reserve(last)) return;
  for (std::uint64_t p = first; p <= last;) {
    std::uint64_t end = last;
    bool covered = false;
    for (std::uint32_t i = 0; i < count_; ++i) {
      const Range &r = ranges_[i];
      if ((!r.active && !r.spent) || r.last < p) continue;
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
  bool in_window = false;
  for (std::uint32_t i = 0; i < count_; ++i) {
    Range &r = ranges_[i];
    if (!r.active || id < r.first || id > r.last) continue;
    lateness = flow - r.opened;
    in_window = r.tries == 0;
    --(in_window ? waiting_ : outstanding_);
    settle(r);
    break;
  }
  // A request is settled by the first copy of its packet, in a range still
  // waiting or not (a block begun afresh keeps what it asked for). Before
  // its window ran out the packet was only late, not lost; a packet that
  // had come before (and was taken back) answers nothing.
  if (count_request(id)) return Filled::answered;
  return in_window ? Filled::late : Filled::none;
}

ResendRanges::Filled ResendRanges::unavailable(std::uint32_t id) noexcept {
  Nanos unused = 0;
  return arrived(id, 0, unused);
}

bool ResendRanges::missing_again(std::uint32_t id) noexcept {
  for (std::uint32_t i = 0; i < count_; ++i) {
    Range &r = ranges_[i];
    if (!r.active || id < r.first || id > r.last) continue;
    ++r.remaining;
    ++(r.tries == 0 ? waiting_ : outstanding_);
    return true;
  }
  return false;
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
    }
    r.remaining -= gone;
    if (r.first > last || r.remaining == 0) {
      r.active = false;
    } else {
      r.last = last;
    }
  }
  // Whatever was asked for past the end failed, in a range or not.
  Settled past;
  if (std::uint64_t{last} + 1 < std::uint64_t{used_} * 64) {
    count_requests(last + 1, std::numeric_limits<std::uint32_t>::max(), buffer, past);
  }
  return past.failed + past.answered;
}

ResendRanges::Settled ResendRanges::give_up(const Buffer &buffer) noexcept {
  for (std::uint32_t i = 0; i < count_; ++i) ranges_[i].active = false;
  waiting_ = 0;
  outstanding_ = 0;
  Settled out;
  count_requests(0, std::numeric_limits<std::uint32_t>::max(), buffer, out);
  return out;
}

bool ResendRanges::reserve(std::uint32_t last) noexcept {
  const std::uint32_t need = last / 64 + 1;
  if (need <= words_) return true;
  const std::uint32_t grown = std::max({need, 2 * words_, std::uint32_t{4}});
  std::unique_ptr<std::uint64_t[]> bigger(new (std::nothrow)
                                              std::uint64_t[2 * std::size_t{grown}]());
  if (!bigger) return false;
  if (used_ != 0) std::copy_n(bits_.get(), 2 * std::size_t{used_}, bigger.get());
  bits_ = std::move(bigger);
  words_ = grown;
  return true;
}

void ResendRanges::mark_asked(std::uint32_t first, std::uint32_t last) noexcept {
  // add() made room for every packet a range holds.
  used_ = std::max(used_, last / 64 + 1);
  for (std::uint32_t p = first; p <= last; ++p) {
    bits_[2 * std::size_t{p >> 6}] |= std::uint64_t{1} << (p & 63);
  }
}

bool ResendRanges::count_request(std::uint32_t id) noexcept {
  if (!asked(id)) return false;
  std::uint64_t &counted = bits_[2 * std::size_t{id >> 6} + 1];
  const std::uint64_t bit = std::uint64_t{1} << (id & 63);
  if ((counted & bit) != 0) return false;
  counted |= bit;
  return true;
}

void ResendRanges::count_requests(std::uint32_t first, std::uint32_t last, const Buffer &buffer,
                                  Settled &out) noexcept {
  if (used_ == 0 || first >> 6 >= used_) return;
  last = static_cast<std::uint32_t>(std::min<std::uint64_t>(last, std::uint64_t{used_} * 64 - 1));
  for (std::uint32_t w = first >> 6; w <= last >> 6; ++w) {
    std::uint64_t open = bits_[2 * std::size_t{w}] & ~bits_[2 * std::size_t{w} + 1];
    if (w == first >> 6) open &= ~std::uint64_t{0} << (first & 63);
    if (w == last >> 6 && (last & 63) != 63) open &= (std::uint64_t{1} << ((last & 63) + 1)) - 1;
    bits_[2 * std::size_t{w} + 1] |= open;
    while (open != 0) {
      const auto p =
          static_cast<std::uint32_t>(w * 64 + static_cast<unsigned>(__builtin_ctzll(open)));
      open &= open - 1;
      ++(p < buffer.received.size() && buffer.received.test(p) ? out.answered : out.failed);
    }
  }
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
