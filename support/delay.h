// Synthetic per-block processing: the busy loop, its calibration, the -D
// range and the draw of each block's delay.
#pragma once

#include <cstdint>

// Runs count multiplications through volatile memory; fixed cost per turn.
double busy_work(int64_t count);

// The work calibrate_delay times; tests replace it to avoid real spinning.
extern double (*calibration_work)(int64_t count);

constexpr int64_t calibration_target_usecs = 100000;
constexpr int calibration_max_trials = 100;
constexpr int64_t calibration_first_count = 100;

// Iterations that take *duration microseconds (the target on entry, the
// measured time of the accepted trial on return); 0 when the search fails.
int64_t calibrate_delay(int64_t *duration);

// 0 to 2,147,254,277 from four 15-bit draws of rand.
int32_t draw_random();

// -D text: "low" or "low-high" in nanoseconds, strtoul base 0.
struct delay_range {
  uint32_t low;
  uint32_t high;
};

// false when high is below low (the draw would divide by zero or wrap).
bool parse_delay_range(const char *text, delay_range *range);

// low + draw_random() mod (high - low + 1).
int64_t draw_delay(const delay_range &range);

// Busy-work iterations for nanosecs, given a calibration of count
// iterations in duration microseconds.
int64_t iterations_for(int64_t nanosecs, int64_t count, int64_t duration);

// The run's delay: settings from -D, calibration result, current draw.
struct delay_state {
  bool given = false;  // -D seen
  delay_range range = {0, 0};
  int64_t current_delay = 0;  // ns
  int64_t calibration_duration = calibration_target_usecs;
  int64_t calibration_count = 0;
  int64_t delay_iters = 0;
};

// After a block's buffer is back with the library: spin, then draw the next
// delay. Once a draw converts to 0 iterations the delay stays off.
void run_delay_step(delay_state *delay);
