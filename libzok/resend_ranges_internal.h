// The missing packets of one block, as runs waiting out the reorder window
// or asked for and awaited. The counts of missing packets in either state
// are kept here and nowhere else; every change reports what it settled, so
// the caller bumps the stream's counters from returned numbers.
//
// Each packet asked for is counted once, answered or failed, whatever
// happens to it after: a copy taken back and asked for again, a block that
// ends or starts afresh with requests out. Which packets were asked for and
// which of those were counted is kept per packet, since a range alone
// cannot tell a packet asked for from one that had come before it was.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

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
    bool spent = false;  // given up: its packets are not asked for again
  };

  // What an arriving packet was to the ranges.
  enum class Filled : std::uint8_t {
    none,     // not missing in any range
    late,     // its reorder window was still running: late, not lost
    answered  // asked for
  };

  // Requests settled by a change: asked-for packets that came, and those
  // given up.
  struct Settled {
    std::uint32_t answered = 0;
    std::uint32_t failed = 0;
  };

  // What a round of expiries did.
  struct Expired {
    std::uint32_t timeouts = 0;  // resend waits that ran out
    std::uint32_t failed = 0;    // asked-for packets given up
    std::uint32_t answered = 0;  // asked-for packets there when given up
    std::uint32_t max_tries = 0;
    Nanos last_sent = 0;  // latest time a command left, 0 none
  };

  void clear() noexcept {
    forget();
    if (used_ != 0) std::fill_n(bits_.get(), 2 * std::size_t{used_}, std::uint64_t{0});
    used_ = 0;
  }
  // The block starts again from its leader: nothing waits, but what was
  // asked for stays so, to be counted once.
  void forget() noexcept {
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
  // gap showed. Answered only the first time a packet asked for comes.
  Filled arrived(std::uint32_t id, Nanos flow, Nanos &lateness) noexcept;
  // The sender says it cannot send packet `id`: answered means a request
  // for it failed.
  Filled unavailable(std::uint32_t id) noexcept;
  // Packet `id`, taken for received, was not the block's after all: false
  // when no range still waits on it (the caller asks for it afresh).
  bool missing_again(std::uint32_t id) noexcept;
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
  // The block ends (or starts afresh): every request not yet counted is,
  // answered if its packet is there, else failed.
  Settled give_up(const Buffer &buffer) noexcept;

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
  // Room for the request bits of packets 0..last; false when there is none
  // (nothing past it can be asked for).
  bool reserve(std::uint32_t last) noexcept;
  bool asked(std::uint32_t id) const noexcept {
    return (id >> 6) < used_ && (bits_[2 * std::size_t{id >> 6}] >> (id & 63) & 1u) != 0;
  }
  void mark_asked(std::uint32_t first, std::uint32_t last) noexcept;
  // True once for a packet asked for: its request is counted now.
  bool count_request(std::uint32_t id) noexcept;
  // Counts the requests of first..last not yet counted: answered if the
  // packet is there, else failed.
  void count_requests(std::uint32_t first, std::uint32_t last, const Buffer &buffer,
                      Settled &out) noexcept;
  // One command per run of still missing packets; returns the failed
  // packets of commands that never left.
  template <typename Send>
  void ask(Range &r, const Buffer &buffer, Send &send, Expired &out) noexcept;

  std::array<Range, max_resend_ranges> ranges_{};
  std::uint32_t count_ = 0;        // ranges_ in use, active or kept for asked_once
  std::uint32_t waiting_ = 0;      // missing packets whose reorder window runs
  std::uint32_t outstanding_ = 0;  // missing packets asked for
  // Two words per 64 packets: asked for, and its request counted. Grown
  // when a block first asks past them, so they are sized by the packets
  // blocks really have, not by all a buffer could hold.
  std::unique_ptr<std::uint64_t[]> bits_;
  std::uint32_t words_ = 0;  // pairs allocated
  std::uint32_t used_ = 0;   // pairs a block touched, cleared with it
};

template <typename Send>
void ResendRanges::ask(Range &r, const Buffer &buffer, Send &send, Expired &out) noexcept {
  // Ask only for what is still missing, one command per run. A command that
  // never left is not waited on: its packets are given up at once, and those
  // an earlier command asked for count as failed.
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
      mark_asked(run_first, p);
    } else {
      const std::uint32_t run = std::min(p - run_first + 1, r.remaining);
      Settled given_up;
      count_requests(run_first, p, buffer, given_up);
      out.failed += given_up.failed;
      out.answered += given_up.answered;
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
        Settled given_up;
        count_requests(r.first, r.last, buffer, given_up);
        out.failed += given_up.failed;
        out.answered += given_up.answered;
        outstanding_ -= r.remaining;
        r.remaining = 0;
        r.active = false;
        r.spent = true;
        continue;
      }
    }
    ++r.tries;
    const Nanos before = out.last_sent;
    out.last_sent = 0;
    ask(r, buffer, send, out);
    const Nanos sent = std::max(now, out.last_sent);
    out.last_sent = std::max(before, out.last_sent);
    if (r.remaining == 0) {
      r.active = false;
      r.spent = true;
      continue;
    }
    out.max_tries = std::max(out.max_tries, r.tries);
    r.deadline = sent + resend_timeout;
  }
  return out;
}

}  // namespace zok
