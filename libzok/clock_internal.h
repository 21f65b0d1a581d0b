// The core's clock. Timers run on CLOCK_MONOTONIC, which NTP and PTP daemons
// never step; the kernel stamps socket arrivals on CLOCK_REALTIME, which they
// do. Each such arrival is moved onto the monotonic clock through the offset
// between the two, read once per batch, so a backlog in the socket buffer
// still does not count against the sender, while a step between a packet's
// stamp and its batch can neither end a block early nor hold it back.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>

#include "reassembly_internal.h"

namespace zok {

struct ClockReading {
  Nanos monotonic = 0;
  Nanos real = 0;
};

inline Nanos read_clock(clockid_t id) noexcept {
  timespec ts{};
  clock_gettime(id, &ts);
  return Nanos{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

inline Nanos core_clock_now() noexcept {
  return read_clock(CLOCK_MONOTONIC);
}

inline ClockReading read_clocks() noexcept {
  ClockReading r;
  r.real = read_clock(CLOCK_REALTIME);
  r.monotonic = read_clock(CLOCK_MONOTONIC);
  return r;
}

// Where the receive loop reads the time: the system's clocks, or a test's.
class Clock {
 public:
  virtual Nanos monotonic() noexcept = 0;
  virtual ClockReading read() noexcept = 0;

 protected:
  ~Clock() = default;
};

class SystemClock final : public Clock {
 public:
  Nanos monotonic() noexcept override { return core_clock_now(); }
  ClockReading read() noexcept override { return read_clocks(); }
};

// The arrivals of a batch on the core's clock, read once the batch has taken
// its datagrams: every stamp of the batch lies before that reading.
class ArrivalClock {
 public:
  ArrivalClock() = default;
  explicit ArrivalClock(Clock &clock) noexcept : clock_(&clock) {}

  void start_batch(ClockReading now) noexcept {
    offset_ = now.real - now.monotonic;
    now_ = std::max(floor_, now.monotonic);
  }
  // What a path calls once its read brought datagrams, before it stamps them.
  void taken() noexcept { start_batch(clock_->read()); }
  // A kernel stamp on real time; 0 (none): when the batch took it.
  Nanos arrival(std::uint64_t epoch_ns) noexcept {
    return held(epoch_ns != 0 ? static_cast<Nanos>(epoch_ns) - offset_ : now_);
  }
  // A stamp on the monotonic clock itself (the XDP program's).
  Nanos from_monotonic(Nanos t) noexcept { return held(t); }
  // The real time of an arrival, for the block's epoch time.
  std::uint64_t epoch_of(Nanos t) const noexcept { return static_cast<std::uint64_t>(t + offset_); }
  // The core has judged the stream up to `t`: nothing read later arrives
  // before it.
  void judged(Nanos t) noexcept { floor_ = std::max(floor_, t); }
  Nanos now() const noexcept { return now_; }

 private:
  // A stamp from before a step lands outside [last arrival, now] and is held
  // to that range: arrivals never run backwards or past the batch's reading.
  Nanos held(Nanos t) noexcept {
    t = std::clamp(t, floor_, now_);
    floor_ = t;
    return t;
  }

  Clock *clock_ = nullptr;
  Nanos offset_ = 0;
  Nanos now_ = 0;
  Nanos floor_ = 0;
};

}  // namespace zok
