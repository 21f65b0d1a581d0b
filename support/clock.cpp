#include "clock.h"

#include <ctime>

namespace {

constexpr int64_t ticks_per_second = 10000000;  // 100-ns units
// Seconds from 1 January 1601 to 1 January 1970.
constexpr uint64_t seconds_1601_to_1970 = 11644473600u;

int clock_initialised = 0;
int use_counter = 1;
int64_t clock_frequency = 0;

}  // namespace

int query_performance_frequency(int64_t *frequency) {
  timespec ts;
  if (clock_getres(CLOCK_MONOTONIC, &ts) != 0) return 0;
  *frequency = 1000000000;
  return 1;
}

int64_t query_performance_counter() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint64_t system_time_as_file_time() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<uint64_t>(ts.tv_sec) + seconds_1601_to_1970) * ticks_per_second +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
}

const clock_hooks platform_clock = {query_performance_frequency, query_performance_counter,
                                    system_time_as_file_time};
clock_hooks clock_source = platform_clock;

void reset_now_usecs() {
  clock_initialised = 0;
  use_counter = 1;
  clock_frequency = 0;
}

int64_t now_usecs() {
  if (!clock_initialised) {
    use_counter &= clock_source.query_frequency(&clock_frequency) != 0 && clock_frequency > 0;
    clock_initialised = 1;
  }
  int64_t ticks;
  if (use_counter) {
    // 128-bit product: c x 10^7 overflows 64 bits after a few weeks of ns.
    __int128 product = static_cast<__int128>(clock_source.read_counter()) * ticks_per_second;
    ticks = static_cast<int64_t>(product / clock_frequency);
  } else {
    ticks = static_cast<int64_t>(clock_source.read_system_time());
  }
  int64_t seconds = ticks / ticks_per_second;
  int64_t remainder = ticks - seconds * ticks_per_second;
  // Seconds since 1601 do not fit 32 bits and wrap here; only differences
  // within a run are used, and those survive the wrap.
  auto seconds32 = static_cast<int32_t>(static_cast<uint32_t>(seconds));
  return static_cast<int64_t>(seconds32) * 1000000 + remainder / 10;
}
