#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lib/fake_clock.h"
#include "worker_internal.h"

namespace {

// One iteration a microsecond (step 1000) lets the search accept 100000
// iterations in 100000 us, so n nanoseconds take n / 1000 iterations; a
// clock that never advances (step 0) cannot reach the target in 100 trials.
TEST(WorkergrabCalibration, StatusAndLinesForDelayAndBlockWorkerTimes) {
  const struct {
    const char *name;
    std::int64_t step;
    std::uint32_t delay;  // 0: no -D
    bool block_worker;
    std::uint32_t block_ns;
    int status;
    const char *out;
    std::int64_t delay_iters, block_iters;  // -1: not checked
  } cases[] = {
      {"failure, no delay", 0, 0, false, 0, 1, "Can't calibrate for delay of 0 nanoseconds\n", -1,
       -1},
      // The drawn delay is named and the block worker's line skipped.
      {"failure with a delay", 0, 2500, true, 2000, 1,
       "Can't calibrate for delay of 2500 nanoseconds\n", -1, -1},
      {"delay then block worker", 1000, 5000, true, 3999, 0,
       "After calibration, it takes 5 iters to generate 5000 nanoseconds of delay\n"
       "After calibration, it takes 3 iters to generate 3999 nanoseconds of delay\n",
       5, 3},
      // --block-worker 0: the hold runs, with no spin, and nothing is printed.
      {"zero times", 1000, 0, true, 0, 0, "", 0, 0},
      {"block worker time past 2^31 prints as signed 32 bits", 1000, 0, true, 4294967295u, 0,
       "After calibration, it takes 4294967 iters to generate -1 nanoseconds of delay\n", 0,
       4294967},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testlib::fake_clock_scope clock(c.step);
    delay_state delay;
    delay.given = c.delay != 0;
    delay.range = {c.delay, c.delay};
    delay.current_delay = c.delay;
    worker_settings worker;
    worker.block_worker = c.block_worker;
    worker.block_worker_nsecs = c.block_ns;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(calibrate_worker(&delay, &worker), c.status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.status != 0) {
      EXPECT_NE(err.find("Couldn't converage delay_iters loop after 100 iters"), std::string::npos)
          << err;
      continue;
    }
    EXPECT_EQ(delay.calibration_count, 100000);
    EXPECT_EQ(delay.calibration_duration, 100000);
    EXPECT_EQ(delay.delay_iters, c.delay_iters);
    EXPECT_EQ(worker.block_worker_iters, c.block_iters);
  }
}

// --block-worker reads its text the way a 32-bit strtoul in base 0 does.
TEST(WorkergrabOptions, BlockWorkerTimeReadsLikeStrtoulBase0) {
  struct row {
    const char *text;
    uint32_t nsecs;
  };
  const row rows[] = {
      {"2000", 2000},
      {"0x100", 256},
      {"010", 8},
      {"1000abc", 1000},
      {"abc", 0},
      {"  +7", 7},
      {"-1", 4294967295u},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},
      {"99999999999999999999999", 4294967295u},
  };
  for (const row &r : rows) {
    worker_settings worker;
    option_failure failure;
    EXPECT_EQ(apply_worker_option(opt_block_worker, r.text, &worker, &failure),
              option_result::accepted);
    EXPECT_TRUE(worker.block_worker) << r.text;
    EXPECT_EQ(worker.block_worker_nsecs, r.nsecs) << r.text;
  }
}

TEST(WorkergrabOptions, RequestIdSettingsKeepTheirWidths) {
  worker_settings worker;
  option_failure failure;
  ASSERT_EQ(apply_worker_option(opt_worker_req_id, "70000", &worker, &failure),
            option_result::accepted);
  ASSERT_EQ(apply_worker_option(opt_max_worker_reqs, "65537", &worker, &failure),
            option_result::accepted);
  uint16_t start = 0xBEEF;
  uint16_t max = 0xBEEF;
  zok_req_id(nullptr, &start, &max);
  EXPECT_EQ(start, 4464);
  EXPECT_EQ(max, 1);
  EXPECT_EQ(max_worker_requests, 65537);

  EXPECT_EQ(apply_worker_option(opt_max_worker_reqs, "-1", &worker, &failure),
            option_result::failed);
  EXPECT_STREQ(failure.message.c_str(), "Error: --max-worker-reqs argument must be >=0\n");
  EXPECT_EQ(failure.status, exit_failure);
  EXPECT_EQ(apply_worker_option('p', "3", &worker, &failure), option_result::failed);
  EXPECT_STREQ(failure.message.c_str(), "");
  EXPECT_EQ(failure.status, exit_failure);
  starting_request_id = 1;
  max_worker_requests = 1;
}

}  // namespace
