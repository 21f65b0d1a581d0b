// The missing packets of one block, as runs waiting out the reorder window
// or asked for and awaited. The counts of missing packets in either state
// are kept here and nowhere else; every change reports what it settled, so
// the caller bumps the stream's counters from returned numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "buffer_internal.h"

namespace zok {

using Nanos = std::int64_t;  // ns on the monotonic clock
inline constexpr Nanos never = std::numeric_limits<Nanos>::max();
inline constexpr Nanos not_sent = -1;

// Resend ranges per block; gaps past this are not asked for. A 2 MiB block
// of 1500-byte packets losing 5% of them has about 70 gaps.
inline constexpr std::size_t max_resend_ranges = 256;

class ResendRanges {
 public:
  struct Range {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint32_t tries = 0;      // commands sent; 0 while the reorder window runs
    std::uint32_t remaining = 0;  // packets of it still missing
    Nanos deadline = never;       // end of the reorder window (flow time), then of the wait
    Nanos opened = 0;             // flow time the gap showed
    bool active = false;
  };

  // What an arriving packet was to the ranges.
  enum class Filled : std::uint8_t {
    none,     // not missing in any range
    late,     // its reorder window was still running: late, not lost
    answered  // asked for
  };

  // What a round of expiries did.
  struct Expired {
    std::uint32_t timeouts = 0;  // resend waits that ran out
    std::uint32_t failed = 0;    // asked-for packets given up
    std::uint32_t max_tries = 0;
    Nanos last_sent = 0;  // latest time a command left, 0 none
  };

  void clear() noexcept {
    count_ = 0;
    waiting_ = 0;
    outstanding_ = 0;
  }
  bool any() const noexcept { return (waiting_ | outstanding_) != 0; }
  std::uint32_t waiting() const noexcept { return waiting_; }
  std::uint32_t outstanding() const noexcept { return outstanding_; }

  // Packets first..last not yet received nor given up by the sender start
  // waiting; they are asked for at flow time `due` unless they come.
  void add(std::uint32_t first, std::uint32_t last, Nanos due, Nanos flow,
           const Buffer &buffer) noexcept;
  // Packet `id` arrived. `lateness` is how much flow time passed since its
  // gap showed.
  Filled arrived(std::uint32_t id, Nanos flow, Nanos &lateness) noexcept;
  // The sender says it cannot send packet `id`.
  Filled unavailable(std::uint32_t id) noexcept;
  // Packet `id`, taken for received, was not the block's after all: the
  // range that holds it waits for it again.
  void missing_again(std::uint32_t id) noexcept;
  // How often `id` was asked for, as far as the ranges still on record
  // tell: a second copy of a packet asked for once shows the first was
  // only late.
  std::uint32_t times_asked(std::uint32_t id) const noexcept;
  // The sender has moved on: the reorder windows still running end at
  // `flow`.
  void end_windows(Nanos flow) noexcept;
  // The block ends at `last`: packets above it were never sent. Returns
  // how many of those had been asked for.
  std::uint32_t cut_above(std::uint32_t last, const Buffer &buffer) noexcept;
  // Gives up every packet still asked for (the block ends); returns how many.
  std::uint32_t give_up() noexcept;

  // Ranges whose window or wait ended: asked for (again), or given up after
  // `retries` tries. `send(first, last)` sends one command and returns when
  // it left, or not_sent.
  template <typename Send>
  Expired expire(Nanos flow, Nanos now, std::uint32_t retries, Nanos resend_timeout,
                 const Buffer &buffer, Send &&send) noexcept;
  // Earliest end of a resend wait; `never` when none runs (reorder windows
  // end with arrivals).
  Nanos next_wait_end() const noexcept;

 private:
  // Adds first..last, which no active range holds.
  void add_run(std::uint32_t first, std::uint32_t last, Nanos due, Nanos flow,
               const Buffer &buffer) noexcept;
  void settle(Range &r) noexcept {
    if (--r.remaining == 0) r.active = false;
  }
  // One command per run of still missing packets; returns the failed
  // packets of commands that never left.
  template <typename Send>
  void ask(Range &r, bool first_request, const Buffer &buffer, Send &send, Expired &out) noexcept;

  std::array<Range, max_resend_ranges> ranges_{};
  std::uint32_t count_ = 0;        // ranges_ in use, active or kept for asked_once
  std::uint32_t waiting_ = 0;      // missing packets whose reorder window runs
  std::uint32_t outstanding_ = 0;  // missing packets asked for
};

template <typename Send>
void ResendRanges::ask(Range &r, bool first_request, const Buffer &buffer, Send &send,
                       Expired &out) noexcept {
  // Ask only for what is still missing, one command per run. A command that
  // never left is not waited on: its packets are given up at once, and count
  // as failed only if an earlier command asked for them.
  std::uint32_t p = r.first;
  while (p <= r.last && r.remaining != 0) {
    if (buffer.received.test(p) || buffer.unavailable.test(p)) {
      ++p;
      continue;
    }
    const std::uint32_t run_first = p;
    while (p < r.last && !buffer.received.test(p + 1) && !buffer.unavailable.test(p + 1)) ++p;
    const Nanos left = send(run_first, p);
    if (left != not_sent) {
      out.last_sent = std::max(out.last_sent, left);
    } else {
      const std::uint32_t run = std::min(p - run_first + 1, r.remaining);
      if (!first_request) out.failed += run;
      r.remaining -= run;
      outstanding_ -= run;
    }
    if (p == r.last) break;
    ++p;
  }
}

template <typename Send>
ResendRanges::Expired ResendRanges::expire(Nanos flow, Nanos now, std::uint32_t retries,
                                           Nanos resend_timeout, const Buffer &buffer,
                                           Send &&send) noexcept {
  Expired out;
  if (!any()) return out;
  for (std::uint32_t i = 0; i < count_; ++i) {
    Range &r = ranges_[i];
    if (!r.active || (r.tries == 0 ? flow : now) < r.deadline) continue;
    const bool first_request = r.tries == 0;
    if (first_request) {
      waiting_ -= r.remaining;
      outstanding_ += r.remaining;
    } else {
      ++out.timeouts;
      if (r.tries >= retries) {
        out.failed += r.remaining;
        outstanding_ -= r.remaining;
        r.remaining = 0;
        r.active = false;
        continue;
      }
    }
    ++r.tries;
    const Nanos before = out.last_sent;
    out.last_sent = 0;
    ask(r, first_request, buffer, send, out);
    const Nanos sent = std::max(now, out.last_sent);
    out.last_sent = std::max(before, out.last_sent);
    if (r.remaining == 0) {
      r.active = false;
      continue;
    }
    out.max_tries = std::max(out.max_tries, r.tries);
    r.deadline = sent + resend_timeout;
  }
  return out;
}

}  // namespace zok
