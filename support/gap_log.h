// Inter-arrival log: nanosecond gaps between received blocks, in a ring of
// 1024 slots that the report reads from any thread.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int gap_slots = 1024;

struct gap_log {
  // Main writes, the exit threads read: relaxed atomics keep each value
  // whole without ordering what nobody needs ordered.
  std::atomic<int64_t> gaps[gap_slots] = {};
  std::atomic<uint64_t> count{0};  // gaps recorded; 64 bits never wrap
  int64_t counter_overhead = 0;
  int64_t frequency = 0;
  int64_t previous = 0;
  bool first_block = true;
};

extern gap_log inter_arrival;

// Measures the counter's own cost and prints its resolution.
void setup_gap_log(gap_log *log);

// One block arrived at counter value now.
void record_gap(gap_log *log, int64_t now);

// Copies the first min(count, 1024) slots into out; returns how many.
int snapshot_gaps(const gap_log &log, int64_t out[gap_slots]);
