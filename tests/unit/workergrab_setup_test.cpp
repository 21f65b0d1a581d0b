#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lib/fake_clock.h"
#include "worker_internal.h"

namespace {

// Runs calibrate_worker, expects the status it returns and a text in what
// it wrote to stderr, and returns what it printed on stdout.
std::string calibrate_and_expect(delay_state delay, worker_settings worker, int status,
                                 const char *stderr_pattern) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(calibrate_worker(&delay, &worker), status);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(stderr_pattern), std::string::npos) << err;
  return out;
}

TEST(WorkergrabCalibration, FailureWithoutDelayEndsWithStatusOneAndZeroDelay) {
  // A clock that never advances cannot reach the target in 100 trials.
  testlib::fake_clock_scope clock(0);
  std::string out = calibrate_and_expect(delay_state{}, worker_settings{}, 1,
                                         "Couldn't converage delay_iters loop after 100 iters");
  EXPECT_EQ(out, "Can't calibrate for delay of 0 nanoseconds\n");
}

TEST(WorkergrabCalibration, FailureNamesTheDrawnDelayAndSkipsBlockWorkerLine) {
  testlib::fake_clock_scope clock(0);
  delay_state delay;
  delay.given = true;
  delay.range = {2500, 2500};
  delay.current_delay = 2500;
  worker_settings worker;
  worker.block_worker = true;
  worker.block_worker_nsecs = 2000;
  std::string out = calibrate_and_expect(delay, worker, 1, "Couldn't converage");
  EXPECT_EQ(out, "Can't calibrate for delay of 2500 nanoseconds\n");
}

TEST(WorkergrabCalibration, ConvertsDelayThenBlockWorkerTime) {
  // One iteration per microsecond: the search accepts 100000 iterations in
  // 100000 us, so n nanoseconds take n / 1000 iterations.
  testlib::fake_clock_scope clock(1000);
  delay_state delay;
  delay.given = true;
  delay.range = {5000, 5000};
  delay.current_delay = 5000;
  worker_settings worker;
  worker.block_worker = true;
  worker.block_worker_nsecs = 3999;
  testing::internal::CaptureStdout();
  calibrate_worker(&delay, &worker);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "After calibration, it takes 5 iters to generate 5000 nanoseconds of delay\n"
            "After calibration, it takes 3 iters to generate 3999 nanoseconds of delay\n");
  EXPECT_EQ(delay.delay_iters, 5);
  EXPECT_EQ(worker.block_worker_iters, 3);
}

TEST(WorkergrabCalibration, CalibratesWithoutDelayAndPrintsNothingForZeroTimes) {
  testlib::fake_clock_scope clock(1000);
  delay_state delay;
  worker_settings worker;
  worker.block_worker = true;  // --block-worker 0: the hold runs, with no spin
  testing::internal::CaptureStdout();
  calibrate_worker(&delay, &worker);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(delay.calibration_count, 100000);
  EXPECT_EQ(delay.calibration_duration, 100000);
  EXPECT_EQ(worker.block_worker_iters, 0);
}

TEST(WorkergrabCalibration, BlockWorkerTimeAbove2To31PrintsAsSigned32Bits) {
  testlib::fake_clock_scope clock(1000);
  delay_state delay;
  worker_settings worker;
  worker.block_worker = true;
  worker.block_worker_nsecs = 4294967295u;
  testing::internal::CaptureStdout();
  calibrate_worker(&delay, &worker);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "After calibration, it takes 4294967 iters to generate -1 nanoseconds of delay\n");
  EXPECT_EQ(worker.block_worker_iters, 4294967);
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
