// Microsecond clock over the platform's counter, with the system-time
// fallback, and the hooks through which tests drive it.
#pragma once

#include <cstdint>

// The platform's clocks, replaceable by tests. Counter: monotonic counts at
// the frequency query_frequency reports (0 from it means no counter).
// System time: 100-ns units since 1 January 1601 UTC.
struct clock_hooks {
  int (*query_frequency)(int64_t *frequency);
  int64_t (*read_counter)();
  uint64_t (*read_system_time)();
};

// The real platform clocks: CLOCK_MONOTONIC in ns, CLOCK_REALTIME shifted.
extern const clock_hooks platform_clock;
// The clocks now_usecs and the gap log read; tests point it elsewhere.
extern clock_hooks clock_source;

int query_performance_frequency(int64_t *frequency);
int64_t query_performance_counter();
uint64_t system_time_as_file_time();

// Microseconds; only differences between two readings mean anything.
int64_t now_usecs();

// Forgets the mode chosen by the first now_usecs call (tests only).
void reset_now_usecs();
