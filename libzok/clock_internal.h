// The core's clock. Timers run on CLOCK_MONOTONIC, which NTP and PTP daemons
// never step; the kernel stamps arrivals on CLOCK_REALTIME, which they do.
// Each arrival is moved onto the monotonic clock through the offset between
// the two, read once per batch, so a backlog in the socket buffer still does
// not count against the sender, while a step between a packet's stamp and its
// batch can neither end a block early nor hold it back.
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

class ArrivalClock {
 public:
  // At the start of each batch, after the datagrams were taken; a batch
  // without datagrams needs no real time (0) and keeps the last offset.
  void start_batch(ClockReading now) noexcept {
    if (now.real != 0) offset_ = now.real - now.monotonic;
    now_ = std::max(floor_, now.monotonic);
  }
  // A kernel stamp (real time; 0 when there is none) on the monotonic clock.
  // A stamp from before a step lands outside [last arrival, now] and is held
  // to that range: arrivals never run backwards or past the present.
  Nanos arrival(std::uint64_t epoch_ns) noexcept {
    Nanos t = epoch_ns != 0 ? static_cast<Nanos>(epoch_ns) - offset_ : now_;
    t = std::clamp(t, floor_, now_);
    floor_ = t;
    return t;
  }
  Nanos now() const noexcept { return now_; }

 private:
  Nanos offset_ = 0;
  Nanos now_ = 0;
  Nanos floor_ = 0;
};

}  // namespace zok
