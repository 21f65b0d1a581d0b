#include "gap_log.h"

#include <cstdio>

#include "clock.h"

gap_log inter_arrival;

void setup_gap_log(gap_log *log) {
  // The first read of the clock in a process is far slower than the rest
  // (vDSO page faults in); measured, it would inflate the overhead past the
  // short gaps and turn them negative.
  (void)clock_source.read_counter();
  int64_t a = clock_source.read_counter();
  int64_t b = clock_source.read_counter();
  log->counter_overhead = b - a;
  clock_source.query_frequency(&log->frequency);
  int resolution = log->frequency > 0 ? static_cast<int>(1000000000 / log->frequency) : 0;
  std::printf("Using QueryPerformanceCounter with resolution of %d nsecs\n", resolution);
}

void record_gap(gap_log *log, int64_t now) {
  if (log->first_block) {
    log->first_block = false;
  } else {
    int64_t gap = 0;
    if (log->frequency > 0) {
      __int128 counts = static_cast<__int128>(now) - log->previous - log->counter_overhead;
      gap = static_cast<int64_t>(counts * 1000000000 / log->frequency);
    }
    uint64_t n = log->count.load(std::memory_order_relaxed);
    log->gaps[n & (gap_slots - 1)].store(gap, std::memory_order_relaxed);
    log->count.store(n + 1, std::memory_order_relaxed);
  }
  log->previous = now;
}

int snapshot_gaps(const gap_log &log, int64_t out[gap_slots]) {
  uint64_t n = log.count.load(std::memory_order_relaxed);
  int entries = n < gap_slots ? static_cast<int>(n) : gap_slots;
  for (int i = 0; i < entries; ++i) out[i] = log.gaps[i].load(std::memory_order_relaxed);
  return entries;
}
