// App statistics and the statistics report printed at every exit path.
#pragma once

#include <zok/zok.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "gap_log.h"

// Written by main alone, read by the exit threads: relaxed atomics, so a
// report never sees a torn value and costs main nothing.
struct app_statistics {
  std::atomic<uint64_t> blocks_received{0};
  std::atomic<uint64_t> blocks_nonzero_status{0};
  std::atomic<uint64_t> poll_retries{0};
  std::atomic<uint64_t> last_block_id{0};
  std::atomic<uint64_t> zero_words{0};
};

extern app_statistics app_stats;

// Single-writer increment: a plain load and store, no locked instruction.
inline void bump(std::atomic<uint64_t> &counter, uint64_t by = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

enum class report_layout {
  plaingrab,  // 13 library statistics lines
  workergrab  // 19, ending with Blocked Blocks Dropped
};

// Everything one report prints, gathered before the first line.
struct report_record {
  report_layout layout = report_layout::plaingrab;
  uint64_t blocks_received = 0;
  uint64_t blocks_nonzero_status = 0;
  uint64_t poll_retries = 0;
  uint64_t last_block_id = 0;
  zok_info_record info = {};
  zok_stats_record stats = {};
  bool read_blocks = false;
  uint64_t zero_words = 0;
  bool gap_log = false;
  int gap_entries = 0;
  int64_t gaps[gap_slots] = {};
};

void print_report(FILE *out, const report_record &record);

// Gathers from the library and the process-wide state and prints to
// stdout; ends the process with status -1 if the library fails or the
// report cannot be written.
void report_statistics();

// "\nCLEAR STATS\n\n", zok_clear_stats, the report again.
void run_clear_stats_sequence();
