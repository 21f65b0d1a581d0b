// Self-test of the library double: scripts load, calls answer as scripted,
// and the call log has the shape the golden tests match against.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zok/zok.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "script_internal.h"
#include "zok_double.h"

namespace {

// Points the double at a fresh script and log for one test.
class Scripted {
 public:
  explicit Scripted(const std::string &script) {
    const std::string base = ::testing::TempDir() + "zok_double_" + std::to_string(getpid()) + "_" +
                             std::to_string(counter_++);
    script_path_ = base + ".script";
    log_path_ = base + ".log";
    std::ofstream(script_path_) << script;
    std::remove(log_path_.c_str());
    setenv("ZOK_DOUBLE_SCRIPT", script_path_.c_str(), 1);
    setenv("ZOK_DOUBLE_LOG", log_path_.c_str(), 1);
    zok_double_reload();
  }
  ~Scripted() {
    zok_double_reload();
    std::remove(script_path_.c_str());
    std::remove(log_path_.c_str());
  }
  std::vector<std::string> log() const {
    std::ifstream in(log_path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  static inline int counter_ = 0;
  std::string script_path_;
  std::string log_path_;
};

zok_stream_t open_default() {
  const uint32_t addr = htonl(0x7f000001);
  zok_open_params params{};
  params.flags = ZOK_FLAG_DEFAULT_ON | ZOK_FLAG_PACKET_RESEND;
  params.num_retries = 1;
  params.booo = ZOK_BOOO_ALWAYS_RETURN;
  params.resend_addr = htonl(0x0a000001);
  params.resend_port = 4000;
  params.channel = 3;
  zok_stream_t stream = nullptr;
  EXPECT_EQ(zok_open_stream_pr(&addr, 5000, &stream, &params, nullptr), 0);
  return stream;
}

TEST(DoubleScript, RejectsWhatItDoesNotUnderstand) {
  const char *bad[] = {
      "result zok_alocc 12\n",
      "result zok_alloc twelve\n",
      "result zok_alloc 12 from 0\n",
      "result zok_alloc 12 from 5 to 4\n",
      "result zok_poll_recv_pr 11\n",
      "stats no_such_counter=1\n",
      "link_state -1\n",
      "poll block payload=pattern\n",
      "poll block sizex=1\n",
      "poll block payload_type=1 payload_data_size=4\n",
      "poll again\n",
      "poll fail 0\n",
      "callback maybe\n",
      "poll block filename=\"unterminated\n",
      "frobnicate\n",
      "poll block payload=zero:4 poke=4:1\n",
  };
  for (const char *text : bad) {
    std::string error;
    EXPECT_FALSE(zok_double::parse_script(std::string("# first\n") + text, error)) << text;
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << text << " -> " << error;
  }
}

TEST(DoubleScript, ResultRulesLaterLinesWin) {
  std::string error;
  const auto script = zok_double::parse_script(
      "result zok_alloc 12 from 5\nresult zok_alloc 7 at 6\nresult zok_info 5 from 2 to 3\n",
      error);
  ASSERT_TRUE(script) << error;
  using zok_double::scripted_result;
  EXPECT_FALSE(scripted_result(*script, "zok_alloc", 4));
  EXPECT_EQ(scripted_result(*script, "zok_alloc", 5), 12);
  EXPECT_EQ(scripted_result(*script, "zok_alloc", 6), 7);
  EXPECT_EQ(scripted_result(*script, "zok_alloc", 7), 12);
  EXPECT_FALSE(scripted_result(*script, "zok_info", 1));
  EXPECT_EQ(scripted_result(*script, "zok_info", 3), 5);
  EXPECT_FALSE(scripted_result(*script, "zok_info", 4));
}

TEST(Double, DefaultsWithoutScript) {
  Scripted s("");
  unsetenv("ZOK_DOUBLE_SCRIPT");
  zok_double_reload();
  EXPECT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  EXPECT_EQ(zok_init(257), EINVAL);
  zok_stream_t stream = open_default();
  uint32_t link = 99, source = 99;
  EXPECT_EQ(zok_get_link_state(stream, &link), 0);
  EXPECT_EQ(link, ZOK_LINK_UP);
  EXPECT_EQ(zok_get_timesource_state(stream, &source), 0);
  EXPECT_EQ(source, ZOK_TIMESOURCE_LOCAL);
  zok_block_desc block{};
  zok_block_status status{};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(zok_poll_recv_pr(stream, &block, 1, &status), 11);
  const auto log = s.log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0], "zok_init call=1 version=258 rc=0");
  EXPECT_EQ(log[1], "zok_init call=2 version=257 rc=22");
  EXPECT_EQ(log[2],
            "zok_open_stream_pr call=1 addr=127.0.0.1 port=5000 handle=set flags=0x0A "
            "block_timeout=0 resend_timeout=0 num_retries=1 booo=2 resend_addr=10.0.0.1 "
            "resend_port=4000 channel=3 reserved=zero fifth=null rc=0");
  // An endless run of empty polls is logged once.
  EXPECT_EQ(log[5], "zok_poll_recv_pr call=1 stream=S mode=1 rc=11 repeat=forever");
}

TEST(Double, AllocAndQueueStopWhereScripted) {
  Scripted s("result zok_alloc 12 from 5\nresult zok_queue_buffer 11 from 3\n");
  zok_stream_t stream = open_default();
  std::vector<zok_buffer_t> buffers;
  zok_buffer_t buffer = nullptr;
  while (zok_alloc(stream, 4096, &buffer) == 0) buffers.push_back(buffer);
  ASSERT_EQ(buffers.size(), 4u);
  EXPECT_EQ(zok_queue_buffer(buffers[0]), 0);
  EXPECT_EQ(zok_queue_buffer(buffers[1]), 0);
  EXPECT_EQ(zok_queue_buffer(buffers[2]), 11);
  const auto log = s.log();
  EXPECT_EQ(log[1], "zok_alloc call=1 stream=S size=4096 rc=0 buffer=#1");
  EXPECT_EQ(log[5], "zok_alloc call=5 stream=S size=4096 rc=12");
  EXPECT_EQ(log[8], "zok_queue_buffer call=3 buffer=#3 rc=11");
}

TEST(Double, PollFollowsTheScriptAndFillsBothRecords) {
  Scripted s(
      "poll again 2\n"
      "poll block block_id=0x10001 status=0x1 payload_type=1 size_x=640 size_y=480 "
      "timestamp=77 epoch_time_ns=1700000000000000007 next_request_id=9 payload=zero:24\n"
      "poll block block_id=65535 count=2 payload=pattern:10 dropped_packet_id=4\n"
      "poll block block_id=5 payload_type=3 filename=\"a b.bin\" payload=hex:0102 "
      "pattern_id=6\n"
      "poll fail 5\n");
  zok_stream_t stream = open_default();
  zok_buffer_t buffers[2];
  for (auto &b : buffers) {
    ASSERT_EQ(zok_alloc(stream, 64, &b), 0);
    ASSERT_EQ(zok_queue_buffer(b), 0);
  }
  zok_block_desc d{};
  zok_block_status bs{};
  EXPECT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 11);
  EXPECT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 11);

  ASSERT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 0);
  EXPECT_EQ(d.block_id, 0x10001u);
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.payload_type, GVSP_PAYLOAD_TYPE_IMAGE);
  EXPECT_EQ(d.payload_length, 24u);
  EXPECT_EQ(d.image.size_x, 640u);
  EXPECT_EQ(d.image.size_y, 480u);
  EXPECT_EQ(d.timestamp, 77u);
  EXPECT_EQ(d.epoch_time_ns, 1700000000000000007u);
  EXPECT_EQ(d.buffer, buffers[0]);
  EXPECT_EQ(bs.status, 1u);
  EXPECT_EQ(bs.block_id, 0x10001u);
  EXPECT_EQ(bs.next_request_id, 9);
  EXPECT_EQ(zok_queue_buffer(d.buffer), 0);

  for (uint64_t id : {65535u, 65536u}) {
    ASSERT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 0);
    EXPECT_EQ(d.block_id, id);
    EXPECT_EQ(bs.block_id, id);
    EXPECT_EQ(bs.dropped_packet_id, 4u);
    EXPECT_EQ(d.raw_data.payload_data_size, 10u);
    ASSERT_EQ(d.payload_length, 10u);
    const auto *p = static_cast<const uint8_t *>(d.payload);
    const uint8_t hi = static_cast<uint8_t>(id >> 8), lo = static_cast<uint8_t>(id);
    const std::vector<uint8_t> want{hi, lo, 0, 0, hi, lo, 0, 1, hi, lo};
    EXPECT_EQ(std::vector<uint8_t>(p, p + 10), want);
    EXPECT_EQ(zok_queue_buffer(d.buffer), 0);
  }

  ASSERT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 0);
  EXPECT_STREQ(d.file.filename, "a b.bin");
  EXPECT_EQ(d.file.payload_data_size, 2u);
  EXPECT_EQ(static_cast<const uint8_t *>(d.payload)[1], 2);

  EXPECT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 5);
  EXPECT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 11);
  EXPECT_EQ(zok_poll_recv_pr(stream, &d, 1, &bs), 11);

  const auto log = s.log();
  ASSERT_EQ(log.size(), 16u);
  EXPECT_EQ(log[5], "zok_poll_recv_pr call=1 stream=S mode=1 rc=11");
  EXPECT_EQ(log[7], "zok_poll_recv_pr call=3 stream=S mode=1 rc=0 block_id=65537 buffer=#1");
  // Requeued buffers go to the back: #1, #2, #1, then #2 again.
  EXPECT_EQ(log[13], "zok_poll_recv_pr call=6 stream=S mode=1 rc=0 block_id=5 buffer=#2");
  EXPECT_EQ(log[14], "zok_poll_recv_pr call=7 stream=S mode=1 rc=5");
  EXPECT_EQ(log[15], "zok_poll_recv_pr call=8 stream=S mode=1 rc=11 repeat=forever");
}

TEST(Double, StatsShowTheClear) {
  Scripted s(
      "stats blocks_complete=5 kernel_drops=2\nstats_after_clear blocks_complete=1\n"
      "info blocks_received=5 blocks_dropped=1\nresult zok_info 61 at 3\n");
  zok_stream_t stream = open_default();
  zok_stats_record stats{};
  zok_info_record info{};
  ASSERT_EQ(zok_get_stats(stream, &stats), 0);
  EXPECT_EQ(stats.blocks_complete, 5u);
  EXPECT_EQ(stats.kernel_drops, 2u);
  ASSERT_EQ(zok_info(stream, &info), 0);
  EXPECT_EQ(info.blocks_received, 5u);
  EXPECT_EQ(info.blocks_dropped, 1u);
  EXPECT_EQ(zok_clear_stats(stream), 0);
  ASSERT_EQ(zok_get_stats(stream, &stats), 0);
  EXPECT_EQ(stats.blocks_complete, 1u);
  EXPECT_EQ(stats.kernel_drops, 0u);
  ASSERT_EQ(zok_info(stream, &info), 0);
  EXPECT_EQ(info.blocks_received, 0u);
  info.blocks_received = 42;
  EXPECT_EQ(zok_info(stream, &info), 61);
  EXPECT_EQ(info.blocks_received, 42u) << "a failing call writes nothing";
}

std::thread::id callback_thread;
void record_req_id(void *context, uint16_t *start, uint16_t *max) {
  callback_thread = std::this_thread::get_id();
  EXPECT_EQ(context, reinterpret_cast<void *>(1));
  if (start != nullptr) *start = 4464;
  if (max != nullptr) *max = 0;
}

TEST(Double, WorkerCallsTheCallbackFromItsOwnThread) {
  Scripted s(
      "callback both\ncallback null_start\ncallback null_both\n"
      "worker_status thread_state=1 thread_mode=2 block_processing_mode=3\n"
      "worker_status_after_stop thread_state=4\n");
  zok_stream_t stream = open_default();
  ASSERT_EQ(zok_create_recv_worker(stream, 7, record_req_id), 0);
  ASSERT_EQ(zok_start_recv_worker(stream), 0);
  EXPECT_NE(callback_thread, std::this_thread::get_id());
  zok_worker_status status{};
  ASSERT_EQ(zok_get_status_recv_worker(stream, &status), 0);
  EXPECT_EQ(status.block_processing_mode, 3u);
  ASSERT_EQ(zok_stop_recv_worker(stream), 0);
  ASSERT_EQ(zok_get_status_recv_worker(stream, &status), 0);
  EXPECT_EQ(status.thread_state, 4u);
  EXPECT_EQ(status.thread_mode, 0u);
  const auto log = s.log();
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[1], "zok_create_recv_worker call=1 stream=S setting=7 callback=set rc=0");
  EXPECT_EQ(log[2], "zok_start_recv_worker call=1 stream=S rc=0");
  EXPECT_EQ(log[3], "zok_req_id_callback call=1 context=0x1 start=4464 max=0");
  EXPECT_EQ(log[4], "zok_req_id_callback call=2 context=0x1 start=null max=0");
  EXPECT_EQ(log[5], "zok_req_id_callback call=3 context=0x1 start=null max=null");
}

TEST(Double, NamesComeBackMallocedOrNotAtAll) {
  {
    Scripted s("result zok_set_name 19\n");
    char *name = nullptr;
    EXPECT_EQ(zok_get_name("S=1", &name), 0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "adapter0");
    std::free(name);
    EXPECT_EQ(zok_set_name("S=1", "new"), 19);
    name = nullptr;
    EXPECT_EQ(zok_get_name("S=1", &name), 0);
    EXPECT_STREQ(name, "adapter0") << "a failed set stores nothing";
    std::free(name);
  }
  {
    Scripted s("name_null\nresult zok_get_name 19\n");
    char *name = nullptr;
    EXPECT_EQ(zok_set_name("M=01:23:45:67:89:AB", "cam \"1\"\n"), 0);
    EXPECT_EQ(zok_get_name("M=01:23:45:67:89:AB", &name), 19);
    EXPECT_EQ(name, nullptr);
    const auto log = s.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0],
              "zok_set_name call=1 adapter=\"M=01:23:45:67:89:AB\" name=\"cam \\\"1\\\"\\x0a\" "
              "rc=0");
    EXPECT_EQ(log[1], "zok_get_name call=1 adapter=\"M=01:23:45:67:89:AB\" rc=19 name=untouched");
  }
  {
    Scripted s("name  two spaces \n");
    char *name = nullptr;
    EXPECT_EQ(zok_get_name("S=2", &name), 0);
    EXPECT_STREQ(name, " two spaces ");
    std::free(name);
  }
}

TEST(Double, ConcurrentCallsLogWholeLines) {
  Scripted s("");
  zok_stream_t stream = open_default();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([stream] {
      zok_info_record info{};
      for (int i = 0; i < 200; ++i) EXPECT_EQ(zok_info(stream, &info), 0);
    });
  }
  for (auto &t : threads) t.join();
  const auto log = s.log();
  ASSERT_EQ(log.size(), 801u);
  for (size_t i = 1; i < log.size(); ++i) {
    EXPECT_EQ(log[i].rfind("zok_info call=", 0), 0u) << log[i];
    EXPECT_NE(log[i].find(" stream=S rc=0"), std::string::npos) << log[i];
  }
}

}  // namespace
