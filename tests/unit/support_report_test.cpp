#include <arpa/inet.h>
#include <getopt.h>
#include <gtest/gtest.h>
#include <support/receiver.h>

#include <cerrno>
#include <string>

#include "lib/capture.h"
#include "lib/fake_zok.h"

namespace {

void usage_line(FILE *out, const char *program) {
  std::fprintf(out, "usage of %s\n", program);
}

const receiver_family plain_family = {usage_line, report_layout::plaingrab, true, true, false,
                                      nullptr};
const receiver_family worker_family = {usage_line, report_layout::workergrab, false, false, true,
                                       nullptr};

// Every counter a different value, so a counter printed from the wrong
// field shows.
zok_stats_record numbered_stats() {
  zok_stats_record s = {};
  uint64_t *field = &s.blocks_dropped;
  for (int i = 0; i < 20; ++i) field[i] = 100 + i;
  return s;
}

report_record sample_record(report_layout layout) {
  report_record r;
  r.layout = layout;
  r.blocks_received = 5000000000;
  r.blocks_nonzero_status = 2;
  r.poll_retries = 3;
  r.last_block_id = 4;
  r.info.datagrams_refused = 99;
  r.info.blocks_dropped = 7;
  r.info.blocks_received = 8;
  r.stats = numbered_stats();
  return r;
}

const char common_report[] =
    "--- APP stats ---\n"
    "Blocks received:        5000000000\n"
    "Blocks non-zero status: 2\n"
    "Poll retries:           3\n"
    "Last Block ID:          4\n"
    "--- ZOK info ---\n"
    "Blocks received:        8\n"
    "Blocks dropped:         7\n"
    "--- ZOK stats ---\n"
    "Blocks Dropped:         100\n"
    "Blocks Complete:        102\n"
    "Blocks Incomplete:      103\n"
    "Blocks Not Available:   104\n"
    "Resend Requests:        105\n"
    "Resend Requests OK:     106\n"
    "Resend Requests Failed: 107\n"
    "Block Timeouts:         108\n"
    "Resend Timeouts:        109\n"
    "Max Resend Retries:     110\n"
    "Buffers Allocated:      111\n"
    "Buffers Freed:          112\n"
    "Buffers Enqueued:       113\n";

// Plaingrab prints thirteen library lines; workergrab adds six, ending
// with the blocked blocks dropped.
TEST(Report, EachLayoutPrintsItsLibraryLines) {
  report_record r = sample_record(report_layout::plaingrab);
  EXPECT_EQ(printed([&](FILE *out) { print_report(out, r); }), common_report);
  r = sample_record(report_layout::workergrab);
  EXPECT_EQ(printed([&](FILE *out) { print_report(out, r); }), std::string(common_report) +
                                                                   "Stream Stopped          114\n"
                                                                   "Stream Started          115\n"
                                                                   "Stream Blocked          116\n"
                                                                   "Stream Unblocked        117\n"
                                                                   "Callbacks Invoked       118\n"
                                                                   "Blocked Blocks Dropped  101\n");
}

TEST(Report, ZeroWordsAndGapsOnlyWhenAskedFor) {
  report_record r = sample_record(report_layout::plaingrab);
  r.read_blocks = true;
  r.zero_words = 6;
  r.gap_log = true;
  EXPECT_EQ(printed([&](FILE *out) { print_report(out, r); }),
            std::string(common_report) +
                "Number of 64-bit 0's    6\n"
                "Time between receives in nanoseconds\n");
  r.gap_entries = 2;
  r.gaps[0] = 5000000000;
  r.gaps[1] = 12;
  r.read_blocks = false;
  EXPECT_EQ(printed([&](FILE *out) { print_report(out, r); }),
            std::string(common_report) +
                "Time between receives in nanoseconds\n"
                "5000000000\n"
                "12\n");
}

void reset_app_stats() {
  app_stats.blocks_received = 0;
  app_stats.blocks_nonzero_status = 0;
  app_stats.poll_retries = 0;
  app_stats.last_block_id = 0;
  app_stats.zero_words = 0;
}

TEST(Report, ClearStatsSequenceReportsTheClearedLibraryCounters) {
  fake = {};
  reset_app_stats();
  fake.stats.blocks_complete = 9;
  fake.stats_after_clear.blocks_complete = 1;
  use_receiver_family(&plain_family, "plaingrab");
  testing::internal::CaptureStdout();
  report_statistics();
  run_clear_stats_sequence();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fake.clear_calls, 1);
  size_t clear = out.find("\nCLEAR STATS\n\n--- APP stats ---\n");
  ASSERT_NE(clear, std::string::npos);
  EXPECT_NE(out.find("Blocks Complete:        9\n"), std::string::npos);
  EXPECT_LT(out.find("Blocks Complete:        9\n"), clear);
  EXPECT_GT(out.find("Blocks Complete:        1\n"), clear);
}

TEST(ReportDeathTest, LibraryFailureEndsTheProcessBeforeAnyLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  fake = {};
  fake.info_rc = EIO;
  EXPECT_EXIT(report_statistics(), testing::ExitedWithCode(255),
              "^Could not get info : Input/output error \\(errno=5\\)\n$");
  fake = {};
  fake.stats_rc = ENOMEM;
  EXPECT_EXIT(report_statistics(), testing::ExitedWithCode(255),
              "^Could not get stats : Cannot allocate memory \\(errno=12\\)\n$");
}

// Feeds one getopt code to the shared option reading.
struct option_outcome {
  option_result result;
  option_failure failure;
};

option_outcome apply(receiver_settings *s, int code, const char *arg = nullptr) {
  option_outcome o{};
  o.result = apply_common_option(code, arg, s, &o.failure);
  return o;
}

TEST(CommonOptions, ChecksNamedAfterTheirOption) {
  use_receiver_family(&plain_family, "plaingrab");
  receiver_settings s;
  struct {
    int code;
    const char *arg;
    const char *message;
  } cases[] = {
      {'T', "-1", "Error: -T argument must be >=0\n"},
      {'i', "-2", "Error: -i argument must be >=-1\n"},
      {'n', "-1", "Error: -n argument must be >=0\n"},
      {'s', "-1", "Error: -s argument must be >=0\n"},
      {'c', "-1", "Error: -c argument must be >=0\n"},
      {'R', "-1", "Error: -R argument must be >=0\n"},
      {'C', "-1", "Error: -C argument must be >=0\n"},
      {opt_drop_blk, "-1", "Error: --drop-blk argument must be >=0\n"},
      {opt_drop_pkt, "-1", "Error: --drop-pkt argument must be >=0\n"},
      {'E', "-5", "Invalid resend_timeout, cannot be negative value -5 \n"},
      {'b', "-5", "Invalid block_timeout, cannot be negative value -5 \n"},
      {'P', "host:5000", "Can't parse packet resend address 'host:5000'\n"},
      {'D', "1500-500", "Error: -D range must not end below its start\n"},
      {'?', nullptr, "Unrecognized option -?\n"},
  };
  for (const auto &c : cases) {
    option_outcome o = apply(&s, c.code, c.arg);
    ASSERT_EQ(o.result, option_result::failed) << c.message;
    EXPECT_STREQ(o.failure.message.c_str(), c.message);
    EXPECT_EQ(o.failure.status, c.code == '?' ? 1 : -1) << c.message;
  }
  // The message quotes the argument whole, however long.
  const std::string long_address(300, '1');
  EXPECT_EQ(apply(&s, 'P', long_address.c_str()).failure.message,
            "Can't parse packet resend address '" + long_address + "'\n");
  option_outcome booo = apply(&s, 'd', "2");
  EXPECT_EQ(booo.result, option_result::failed);
  EXPECT_STREQ(booo.failure.message.c_str(), "");
  EXPECT_EQ(booo.failure.status, 22);
  // Workergrab words the timeout checks like the others.
  use_receiver_family(&worker_family, "workergrab");
  EXPECT_STREQ(apply(&s, 'E', "-5").failure.message.c_str(), "Error: -E argument must be >=0\n");
  EXPECT_STREQ(apply(&s, 'b', "-5").failure.message.c_str(), "Error: -b argument must be >=0\n");
  use_receiver_family(&plain_family, "plaingrab");
}

TEST(CommonOptions, ValuesReachTheOpenParametersAndTheDelay) {
  use_receiver_family(&plain_family, "plaingrab");
  receiver_settings s;
  EXPECT_EQ(s.params.flags, 0x0Au);
  EXPECT_EQ(s.params.booo, 2u);
  EXPECT_EQ(s.params.num_retries, 1u);
  apply(&s, '2');
  apply(&s, opt_drop_incomplete);
  EXPECT_EQ(s.params.flags, 0x1Eu);
  const std::pair<const char *, uint32_t> booo[] = {{"-1", 3}, {"0", 1}, {"1", 4}};
  for (auto [text, code] : booo) {
    ASSERT_EQ(apply(&s, 'd', text).result, option_result::accepted);
    EXPECT_EQ(s.params.booo, code);
  }
  apply(&s, 'C', "70000");
  EXPECT_EQ(s.params.channel, 4464);
  apply(&s, 'n', "600");
  EXPECT_EQ(s.buffer_count, 512);
  apply(&s, 'E', "7");
  apply(&s, 'b', "8");
  apply(&s, 'R', "0");
  EXPECT_EQ(s.params.resend_timeout, 7u);
  EXPECT_EQ(s.params.block_timeout, 8u);
  EXPECT_EQ(s.params.num_retries, 0u);
  ASSERT_EQ(apply(&s, 'P', "10.0.0.1:4000").result, option_result::accepted);
  EXPECT_TRUE(s.resend_given);
  EXPECT_EQ(ntohs(s.resend.sin_port), 4000);
  EXPECT_EQ(apply(&s, 'p').result, option_result::not_common);
  EXPECT_EQ(apply(&s, 'z').result, option_result::not_common);
  // The delay is drawn when the option is read.
  apply(&s, 'D', "0x3e8");
  EXPECT_TRUE(s.delay.given);
  EXPECT_EQ(s.delay.current_delay, 1000);
  apply(&s, 'D', "010");
  EXPECT_EQ(s.delay.current_delay, 8);
}

zok_block_desc raw(uint64_t id, uint16_t status) {
  zok_block_desc b = {};
  b.payload_type = GVSP_PAYLOAD_TYPE_RAW_DATA;
  b.block_id = id;
  b.status = status;
  return b;
}

TEST(ReceiveLoop, CountsRetriesGoodAndBadBlocksUntilAPollFails) {
  use_receiver_family(&plain_family, "plaingrab");
  fake = {};
  reset_app_stats();
  fake.poll_results = {EAGAIN, EAGAIN, 0, 0, EAGAIN, 0, EIO};
  fake.blocks = {raw(7, 0), raw(8, 1), raw(9, 0)};
  receiver_settings s;
  s.iterations = 10;
  testing::internal::CaptureStdout();
  receive_blocks(&s, nullptr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Block 2 bad status, id:8, type:2, len:0, status=0x1\n"
            "zok_poll_recv failed, rc=5\n");
  EXPECT_EQ(app_stats.poll_retries.load(), 3u);
  EXPECT_EQ(app_stats.blocks_received.load(), 2u);
  EXPECT_EQ(app_stats.blocks_nonzero_status.load(), 1u);
  EXPECT_EQ(app_stats.last_block_id.load(), 9u);
  EXPECT_EQ(fake.queue_calls, 3);
}

TEST(ReceiveLoop, StopsAtTheBlockLimitAndRunsTheHookPerBlock) {
  use_receiver_family(&plain_family, "plaingrab");
  fake = {};
  reset_app_stats();
  fake.poll_results = {0, 0, 0};
  fake.blocks = {raw(1, 0), raw(2, 5), raw(3, 0)};
  receiver_settings s;
  s.iterations = 2;
  int after = 0;
  testing::internal::CaptureStdout();
  receive_blocks(
      &s, [](void *n) { ++*static_cast<int *>(n); }, &after);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(after, 2);
  EXPECT_EQ(fake.next_poll, 2u);

  s.iterations = 0;
  receive_blocks(&s, nullptr, nullptr);
  EXPECT_EQ(fake.next_poll, 2u);
}

TEST(ReceiveLoop, RequeueFailureAndVerifyFailureEndTheLoop) {
  use_receiver_family(&plain_family, "plaingrab");
  fake = {};
  reset_app_stats();
  fake.poll_results = {0, 0};
  fake.blocks = {raw(1, 0), raw(2, 0)};
  fake.queue_rc = EINVAL;
  receiver_settings s;
  s.iterations = 5;
  testing::internal::CaptureStdout();
  receive_blocks(&s, nullptr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "zok_queue_buffer failed, rc=22\n");
  EXPECT_EQ(fake.next_poll, 1u);

  fake = {};
  fake.poll_results = {0, 0};
  zok_block_desc image = raw(1, 0);
  image.payload_type = GVSP_PAYLOAD_TYPE_IMAGE;
  fake.blocks = {image, raw(2, 0)};
  s.verify_payload = true;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  receive_blocks(&s, nullptr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Verify payload only works with GVSP_PAYLOAD_TYPE_RAW_DATA\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to verify block\n");
  EXPECT_EQ(fake.queue_calls, 0);  // the failed block keeps its buffer
  EXPECT_EQ(fake.next_poll, 1u);
}

}  // namespace
