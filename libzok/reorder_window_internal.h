// How long a gap waits, in flow time, before it is taken for loss. Paths
// that spread a stream over several links or queues, and senders that
// shuffle a block, deliver packets out of order; how far differs by path and
// pace, so the window learns it: it starts small, widens whenever a packet
// asked for turns out to have come on its own (the request was spurious),
// never past a bound, and narrows again once requests stay honest for a
// while. Real loss is then still asked for within the bound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "resend_ranges_internal.h"

namespace zok {

class ReorderWindow {
 public:
  // Blocks ended without a spurious request before the window narrows.
  static constexpr std::uint32_t calm_blocks = 16;

  ReorderWindow(Nanos least, Nanos most) noexcept
      : least_(least), most_(std::max(least, most)), window_(least) {}

  Nanos get() const noexcept { return window_; }
  Nanos bound() const noexcept { return most_; }

  // A packet asked for came on its own, `late` after its gap showed (0
  // unknown), at flow time `flow`. The window covers that lateness with a
  // quarter to spare, and doubles, but once per window's length of flow:
  // the requests of one shuffled block turn out spurious together.
  void spurious(Nanos late, Nanos flow) noexcept {
    Nanos target = late + late / 4;
    if (!widened_at_ || flow - *widened_at_ >= window_) target = std::max(target, window_ * 2);
    window_ = std::min(most_, std::max(window_, target));
    widened_at_ = flow;
    calm_ = 0;
    covered_peak_ = 0;
  }
  // A gap filled on its own before its window ran out, `late` after it
  // showed: reordering the window did cover.
  void covered(Nanos late) noexcept { covered_peak_ = std::max(covered_peak_, late); }
  // A block ended; after `calm_blocks` of them without a spurious request
  // the window gives back a quarter, but not below what the reordering of
  // those blocks still needed: a sender that keeps shuffling would
  // otherwise be asked for the same packets again every few dozen blocks.
  void block_ended() noexcept {
    if (window_ == least_ || ++calm_ < calm_blocks) return;
    calm_ = 0;
    const Nanos needed = covered_peak_ + covered_peak_ / 4;
    covered_peak_ = 0;
    window_ = std::max({least_, window_ - window_ / 4, std::min(needed, window_)});
  }

 private:
  Nanos least_;
  Nanos most_;
  Nanos window_;
  std::optional<Nanos> widened_at_;
  std::uint32_t calm_ = 0;
  Nanos covered_peak_ = 0;
};

}  // namespace zok
