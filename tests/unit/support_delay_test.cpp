#include <gtest/gtest.h>
#include <support/clock.h>
#include <support/delay.h>
#include <support/gap_log.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/fake_clock.h"

namespace {

using namespace testlib;

TEST(NowUsecs, CounterModeScalesByTheFrequencyWithoutOverflow) {
  {
    fake_clock_scope scope;
    fake_frequency = 10000000;  // 10 MHz
    fake_ns = 12345678;         // counts, here
    EXPECT_EQ(now_usecs(), 1234567);
  }
  fake_clock_scope scope;
  fake_ns = 1000000000000;  // 1000 s of ns: c x 10^7 is past 64 bits
  EXPECT_EQ(now_usecs(), 1000000000);
}

TEST(NowUsecs, FallsBackToSystemTimeForGoodWhenTheFrequencyQueryFails) {
  fake_clock_scope scope;
  fake_frequency_ok = 0;
  // 2026 in 100-ns units since 1601: its seconds do not fit 32 bits.
  fake_system_time = 134000000000000000u;
  int64_t t0 = now_usecs();
  fake_system_time += 25000000;  // 2.5 s
  EXPECT_EQ(now_usecs() - t0, 2500000);
  fake_frequency_ok = 1;  // the mode chosen at the first call stays
  fake_system_time += 10;
  EXPECT_EQ(now_usecs() - t0, 2500001);
}

TEST(BusyWork, RunsExactlyCountMultiplications) {
  EXPECT_EQ(busy_work(0), 1.0);
  EXPECT_EQ(busy_work(-5), 1.0);
  EXPECT_DOUBLE_EQ(busy_work(3), 1.000001 * 1.000001 * 1.000001);
}

TEST(CalibrateDelay, ScalesTheCountToTheTarget) {
  fake_clock_scope scope;
  advance_for = [](int64_t count) { return count * 10; };  // 10 ns per iteration
  int64_t duration = calibration_target_usecs;
  EXPECT_EQ(calibrate_delay(&duration), 10000000);
  EXPECT_EQ(duration, 100000);
  EXPECT_EQ(work_counts, (std::vector<int64_t>{100, 10000000}));
}

TEST(CalibrateDelay, AStillClockDoublesTheCount) {
  fake_clock_scope scope;
  advance_for = [](int64_t count) -> int64_t { return count < 800 ? 0 : 200000000; };
  int64_t duration = calibration_target_usecs;
  EXPECT_EQ(calibrate_delay(&duration), 800);
  EXPECT_EQ(duration, 200000);
  EXPECT_EQ(work_counts, (std::vector<int64_t>{100, 200, 400, 800}));
}

TEST(CalibrateDelay, GrowsByAtLeastOneWhenTheRatioRoundsDown) {
  fake_clock_scope scope;
  // 99999 us for 100 iterations: ratio 1.00001 gives 100 again, so 101.
  advance_for = [](int64_t count) -> int64_t { return count == 100 ? 99999000 : 100000000; };
  int64_t duration = calibration_target_usecs;
  EXPECT_EQ(calibrate_delay(&duration), 101);
  EXPECT_EQ(work_counts, (std::vector<int64_t>{100, 101}));
}

TEST(CalibrateDelay, FailsAfterTheHundredthShortTrial) {
  fake_clock_scope scope;
  advance_for = [](int64_t) -> int64_t { return 1000; };  // 1 us whatever the count
  int64_t duration = calibration_target_usecs;
  testing::internal::CaptureStderr();
  EXPECT_EQ(calibrate_delay(&duration), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Couldn't converage delay_iters loop after 100 iters\n");
  EXPECT_EQ(duration, calibration_target_usecs);
  ASSERT_EQ(work_counts.size(), 100u);
  // The count saturates instead of overflowing, and never shrinks.
  for (size_t i = 1; i < work_counts.size(); ++i) EXPECT_GE(work_counts[i], work_counts[i - 1]);
  EXPECT_EQ(work_counts.back(), INT64_MAX);
}

TEST(Iterations, TruncateTheScaledDelay) {
  EXPECT_EQ(iterations_for(1000, 10000000, 100000), 100);
  EXPECT_EQ(iterations_for(2500, 3000000, 100003), 74);  // 74.997...
  EXPECT_EQ(iterations_for(1, 3, 100000), 0);
  EXPECT_EQ(iterations_for(0, 3, 100000), 0);
  EXPECT_EQ(iterations_for(4294967295, INT64_MAX, 1), INT64_MAX);  // saturates
}

TEST(DrawRandom, StaysWithinItsBoundsOverManyDraws) {
  std::srand(12345);
  int32_t highest = 0;
  for (int i = 0; i < 200000; ++i) {
    int32_t r = draw_random();
    ASSERT_GE(r, 0);
    ASSERT_LE(r, 2147254277);
    highest = std::max(highest, r);
  }
  // Wide draws would exceed the bound; 15-bit ones come close to it.
  EXPECT_GT(highest, 2000000000);
}

delay_range range_of(const char *text) {
  delay_range r = {7, 7};
  EXPECT_TRUE(parse_delay_range(text, &r)) << text;
  return r;
}

TEST(DelayText, ReadsNumbersTheCWay) {
  EXPECT_EQ(range_of("0x3e8").low, 1000u);
  EXPECT_EQ(range_of("010").low, 8u);
  EXPECT_EQ(range_of("1000abc").low, 1000u);
  EXPECT_EQ(range_of("1000abc").high, 1000u);
  EXPECT_EQ(range_of("").low, 0u);
  EXPECT_EQ(range_of("xyz").high, 0u);
  EXPECT_EQ(range_of("  2500").low, 2500u);
  EXPECT_EQ(range_of("5000000000").low, 4294967295u);
  delay_range r = range_of("1000-0x1388");
  EXPECT_EQ(r.low, 1000u);
  EXPECT_EQ(r.high, 5000u);
}

TEST(DelayText, SingleValueAndEqualEndsYieldThemselves) {
  std::srand(1);
  for (const char *text : {"1000", "1000-1000"}) {
    delay_range r = range_of(text);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(draw_delay(r), 1000) << text;
  }
}

TEST(DelayText, RangeDrawsCoverTheRangeInclusive) {
  std::srand(7);
  delay_range r = range_of("500-1500");
  bool seen_low = false, seen_high = false;
  for (int i = 0; i < 50000; ++i) {
    int64_t d = draw_delay(r);
    ASSERT_GE(d, 500);
    ASSERT_LE(d, 1500);
    seen_low |= d == 500;
    seen_high |= d == 1500;
  }
  EXPECT_TRUE(seen_low);
  EXPECT_TRUE(seen_high);
}

TEST(DelayText, RejectsAReversedRange) {
  delay_range r;
  EXPECT_FALSE(parse_delay_range("1500-500", &r));
  EXPECT_FALSE(parse_delay_range("1001-1000", &r));  // would divide by zero
  EXPECT_FALSE(parse_delay_range("-1-5", &r));       // -1 is 4294967295
}

// A delay calibrated at 100 iterations a microsecond, drawing from range.
delay_state stepping(delay_range range, int64_t current) {
  delay_state d;
  d.range = range;
  d.calibration_count = 100;
  d.calibration_duration = 1;
  d.current_delay = current;
  d.delay_iters = iterations_for(current, 100, 1);
  return d;
}

TEST(DelayStep, StopsForGoodOnceADrawConvertsToZero) {
  delay_state d = stepping({0, 0}, 1000);
  ASSERT_EQ(d.delay_iters, 100);
  run_delay_step(&d);
  EXPECT_EQ(d.current_delay, 0);
  EXPECT_EQ(d.delay_iters, 0);
  d.current_delay = 123;  // no further draw may touch it
  run_delay_step(&d);
  EXPECT_EQ(d.current_delay, 123);
}

TEST(DelayStep, RedrawsAfterEveryDelayedBlock) {
  std::srand(3);
  delay_state d = stepping({500, 1500}, 500);
  for (int i = 0; i < 20; ++i) {
    run_delay_step(&d);
    ASSERT_GE(d.current_delay, 500);
    ASSERT_LE(d.current_delay, 1500);
    ASSERT_EQ(d.delay_iters, iterations_for(d.current_delay, 100, 1));
  }
}

TEST(GapLog, ResolutionLineFollowsTheFrequency) {
  fake_clock_scope scope;
  fake_frequency = 10000000;
  gap_log log;
  testing::internal::CaptureStdout();
  setup_gap_log(&log);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Using QueryPerformanceCounter with resolution of 100 nsecs\n");
  EXPECT_EQ(log.frequency, 10000000);
  EXPECT_EQ(log.counter_overhead, 0);
}

// A process's first clock read costs far more than later ones; measured
// into the overhead it would push short gaps below zero.
int64_t slow_first_counter() {
  static const int64_t readings[] = {0, 5000, 5010, 5020};
  static int next = 0;
  return readings[next < 3 ? next++ : 3];
}

TEST(GapLog, OverheadIgnoresTheSlowFirstRead) {
  fake_clock_scope scope;
  clock_source.read_counter = slow_first_counter;
  gap_log log;
  testing::internal::CaptureStdout();
  setup_gap_log(&log);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(log.counter_overhead, 10);
}

TEST(GapLog, RingHoldsTheNewest1024GapsAfter1500Blocks) {
  gap_log log;
  log.frequency = 1000000000;
  log.counter_overhead = 3;
  int64_t now = 1000;
  record_gap(&log, now);  // the first block only sets the reference
  EXPECT_EQ(log.count.load(), 0u);
  for (int64_t k = 1; k < 1500; ++k) {
    now += k + 3;  // gap k is k ns once the overhead is taken off
    record_gap(&log, now);
  }
  EXPECT_EQ(log.count.load(), 1499u);
  int64_t gaps[gap_slots];
  ASSERT_EQ(snapshot_gaps(log, gaps), gap_slots);
  for (int slot = 0; slot <= 474; ++slot) ASSERT_EQ(gaps[slot], 1025 + slot) << slot;
  for (int slot = 475; slot < gap_slots; ++slot) ASSERT_EQ(gaps[slot], 1 + slot) << slot;
}

TEST(GapLog, ConvertsCountsToNanoseconds) {
  gap_log log;
  log.frequency = 10000000;  // 100 ns per count
  record_gap(&log, 0);
  record_gap(&log, 7);
  int64_t gaps[gap_slots];
  ASSERT_EQ(snapshot_gaps(log, gaps), 1);
  EXPECT_EQ(gaps[0], 700);
}

}  // namespace
