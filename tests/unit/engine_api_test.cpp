// The library's C interface over loopback: handles, buffers, worker, and a
// small GVSP sender built from the codec.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gvsp/gvsp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zok/zok.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/gvsp_packets.h"
#include "lib/loopback_stream.h"
#include "lib/net.h"
#include "lib/process.h"

namespace {

using namespace testlib;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t packets_per_block = 20;
constexpr std::size_t packet_bytes = 1000;

void send_block(const UdpSocket &from, std::uint16_t port, std::uint64_t block,
                std::uint32_t skip = 0) {
  from.send_to(port, make_leader(block));
  for (std::uint32_t k = 1; k <= packets_per_block; ++k) {
    if (k != skip) from.send_to(port, make_payload(block, k, packet_bytes));
  }
  from.send_to(port, make_trailer(block, packets_per_block + 1));
}

bool block_data_ok(const zok_block_desc &d) {
  return pattern_holds(d.payload, packets_per_block * packet_bytes, d.block_id);
}

zok_open_params default_params() {
  zok_open_params p{};
  p.flags = ZOK_FLAG_DEFAULT_ON;
  p.booo = ZOK_BOOO_ALWAYS_RETURN;
  p.num_retries = 1;
  return p;
}

struct Opened : LoopbackStream {
  explicit Opened(zok_open_params p = default_params()) : LoopbackStream(p) {}
  // Blocks come through the worker from then on, where `worker`.
  void start_worker(bool worker = true) {
    if (!worker) return;
    ASSERT_EQ(zok_create_recv_worker(stream, 0, nullptr), 0);
    ASSERT_EQ(zok_start_recv_worker(stream), 0);
  }
};

TEST(EngineApi, OpenChecksItsArguments) {
  zok_stream_t s = nullptr;
  zok_open_params p = default_params();
  int dummy = 0;
  EXPECT_EQ(zok_open_stream_pr(nullptr, 0, &s, &p, nullptr), EINVAL);
  EXPECT_EQ(zok_open_stream_pr(&loopback, 0, nullptr, &p, nullptr), EINVAL);
  EXPECT_EQ(zok_open_stream_pr(&loopback, 0, &s, nullptr, nullptr), EINVAL);
  EXPECT_EQ(zok_open_stream_pr(&loopback, 0, &s, &p, &dummy), EINVAL);
  for (std::uint32_t booo : {0u, 5u}) {
    p.booo = booo;
    EXPECT_EQ(zok_open_stream_pr(&loopback, 0, &s, &p, nullptr), EINVAL);
  }
  p = default_params();
  const std::uint32_t not_here = inet_addr("192.0.2.77");
  EXPECT_EQ(zok_open_stream_pr(&not_here, 0, &s, &p, nullptr), EADDRNOTAVAIL);
  Opened first;
  EXPECT_EQ(zok_open_stream_pr(&loopback, first.port, &s, &p, nullptr), EADDRINUSE);
  std::uint32_t state = 9;
  EXPECT_EQ(zok_get_link_state(first.stream, &state), 0);
  EXPECT_EQ(state, ZOK_LINK_UP);
  EXPECT_EQ(zok_get_timesource_state(first.stream, &state), 0);
  EXPECT_EQ(state, ZOK_TIMESOURCE_LOCAL);
}

// Loopback never has driver XDP: the default keeps the socket, a forced
// AF_XDP path fails the open instead of falling back, and a setting the
// library does not know is no silent default either.
TEST(EngineApi, ReceivePathSettingOnLoopback) {
  const char *saved = std::getenv("ZOK_RECEIVE");
  const std::string kept = saved != nullptr ? saved : "";
  zok_open_params p = default_params();
  zok_stream_t s = nullptr;
  for (const char *value : {"", "auto", "socket"}) {
    ASSERT_EQ(setenv("ZOK_RECEIVE", value, 1), 0);
    Opened opened;
    std::uint32_t path = 9;
    ASSERT_EQ(zok_get_receive_path(opened.stream, &path), 0) << value;
    EXPECT_EQ(path, ZOK_RECEIVE_PATH_SOCKET) << value;
  }
  ASSERT_EQ(setenv("ZOK_RECEIVE", "xdp", 1), 0);
  EXPECT_EQ(zok_open_stream_pr(&loopback, 0, &s, &p, nullptr), EOPNOTSUPP);
  // The packet ring works on loopback too, for a process with CAP_NET_RAW;
  // without it the open fails rather than fall back.
  ASSERT_EQ(setenv("ZOK_RECEIVE", "packet", 1), 0);
  if (const int rc = zok_open_stream_pr(&loopback, 0, &s, &p, nullptr); rc == 0) {
    std::uint32_t path = 9;
    EXPECT_EQ(zok_get_receive_path(s, &path), 0);
    EXPECT_EQ(path, ZOK_RECEIVE_PATH_PACKET_RING);
    EXPECT_EQ(zok_close_stream(s), 0);
  } else {
    EXPECT_EQ(rc, EPERM);
  }
  ASSERT_EQ(setenv("ZOK_RECEIVE", "fast", 1), 0);
  EXPECT_EQ(zok_open_stream_pr(&loopback, 0, &s, &p, nullptr), EINVAL);
  if (saved != nullptr) {
    setenv("ZOK_RECEIVE", kept.c_str(), 1);
  } else {
    unsetenv("ZOK_RECEIVE");
  }
}

TEST(EngineApi, StaleAndMadeUpHandlesAreRefused) {
  zok_stream_t closed = nullptr;
  zok_buffer_t orphan = nullptr;
  {
    Opened o;
    ASSERT_EQ(zok_alloc(o.stream, 4096, &orphan), 0);
    closed = o.stream;
  }
  Opened live;
  zok_buffer_t mine = nullptr;
  ASSERT_EQ(zok_alloc(live.stream, 4096, &mine), 0);
  const zok_stream_t made_up[] = {closed, nullptr, reinterpret_cast<zok_stream_t>(0x1234),
                                  reinterpret_cast<zok_stream_t>(&live),
                                  reinterpret_cast<zok_stream_t>(mine)};
  for (zok_stream_t s : made_up) {
    zok_block_desc d{};
    zok_block_status st{};
    zok_stats_record r{};
    zok_info_record i{};
    zok_buffer_t b = nullptr;
    std::uint32_t v = 0;
    zok_worker_status w{};
    EXPECT_EQ(zok_poll_recv_pr(s, &d, 1, &st), EINVAL);
    EXPECT_EQ(zok_get_stats(s, &r), EINVAL);
    EXPECT_EQ(zok_info(s, &i), EINVAL);
    EXPECT_EQ(zok_clear_stats(s), EINVAL);
    EXPECT_EQ(zok_alloc(s, 4096, &b), EINVAL);
    EXPECT_EQ(zok_get_link_state(s, &v), EINVAL);
    EXPECT_EQ(zok_drop_packet(s, 1, 1), EINVAL);
    EXPECT_EQ(zok_create_recv_worker(s, 0, nullptr), EINVAL);
    EXPECT_EQ(zok_get_status_recv_worker(s, &w), EINVAL);
    EXPECT_EQ(zok_close_stream(s), EINVAL);
  }
  EXPECT_EQ(zok_queue_buffer(orphan), EINVAL);
  EXPECT_EQ(zok_queue_buffer(nullptr), EINVAL);
  EXPECT_EQ(zok_queue_buffer(reinterpret_cast<zok_buffer_t>(live.stream)), EINVAL);
  EXPECT_EQ(zok_queue_buffer(reinterpret_cast<zok_buffer_t>(&mine)), EINVAL);
  EXPECT_EQ(zok_queue_buffer(mine), 0);
  zok_block_desc d{};
  zok_block_status st{};
  EXPECT_EQ(zok_poll_recv_pr(live.stream, &d, 2, &st), EINVAL);
  EXPECT_EQ(zok_poll_recv_pr(live.stream, nullptr, 1, &st), EINVAL);
  EXPECT_EQ(zok_drop_packet(live.stream, 0, 1), EINVAL);
  EXPECT_EQ(zok_drop_packet(live.stream, 1, 0), EINVAL);
}

TEST(EngineApi, BuffersQueueOnceAndUpToCapacity) {
  Opened o;
  zok_buffer_t b = nullptr;
  EXPECT_EQ(zok_alloc(o.stream, 0, &b), EINVAL);
  EXPECT_EQ(zok_alloc(o.stream, std::size_t{5} << 30, &b), ENOMEM);
  std::vector<zok_buffer_t> buffers(1024);
  for (auto &x : buffers) ASSERT_EQ(zok_alloc(o.stream, 4096, &x), 0);
  EXPECT_EQ(zok_alloc(o.stream, 4096, &b), ENOMEM);  // per-stream cap
  ASSERT_EQ(zok_queue_buffer(buffers[0]), 0);
  EXPECT_EQ(zok_queue_buffer(buffers[0]), EBUSY);
  int queued = 1;
  int rc = 0;
  for (std::size_t i = 1; i < buffers.size() && (rc = zok_queue_buffer(buffers[i])) == 0; ++i) {
    ++queued;
  }
  EXPECT_EQ(rc, EAGAIN);
  EXPECT_EQ(queued, 512);
  const zok_stats_record r = o.stats();
  EXPECT_EQ(r.buffers_allocated, 1024u);
  EXPECT_EQ(r.buffers_enqueued, 512u);
}

// Blocks arrive whole with and without the worker. Buffers of a huge page
// or more are mapped aligned and trimmed: every byte of each stays writable
// and blocks land in them as in small ones, also when the size is not a
// whole number of pages.
TEST(EngineApi, BlocksArriveWholeInBuffersOfAnySize) {
  struct Case {
    bool worker;
    int buffers;
    std::size_t size;
    std::uint64_t blocks;
  };
  const Case cases[] = {{false, 8, 64 * 1024, 30},
                        {true, 8, 64 * 1024, 30},
                        {false, 3, std::size_t{2} << 20, 6},
                        {false, 3, (std::size_t{2} << 20) + 4097, 6},
                        {false, 3, (std::size_t{6} << 20) + 123, 6}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.worker ? " worker" : ""));
    Opened o;
    o.add_buffers(c.buffers, c.size);
    ASSERT_NO_FATAL_FAILURE(o.start_worker(c.worker));
    UdpSocket sender;
    for (std::uint64_t id = 1; id <= c.blocks; ++id) {
      send_block(sender, o.port, id);
      zok_block_desc d{};
      zok_block_status s{};
      ASSERT_EQ(o.wait_block(d, s), 0) << "block " << id;
      EXPECT_EQ(d.block_id, id);
      EXPECT_EQ(d.status, 0u);
      EXPECT_EQ(d.payload_length, packets_per_block * packet_bytes);
      EXPECT_NE(d.epoch_time_ns, 0u);
      EXPECT_TRUE(block_data_ok(d)) << "block " << id;
      std::memset(d.payload, 0xA5, c.size);
      EXPECT_EQ(zok_queue_buffer(d.buffer), 0);
    }
    if (c.worker) {
      EXPECT_EQ(zok_stop_recv_worker(o.stream), 0);
    }
    EXPECT_EQ(o.stats().blocks_complete, c.blocks);
    zok_info_record info{};
    EXPECT_EQ(zok_info(o.stream, &info), 0);
    EXPECT_EQ(info.blocks_received, c.blocks);
    EXPECT_EQ(info.datagrams_refused, 0u);
  }
}

// A receiver that falls behind until the socket overflows, then catches up:
// no datagram is queued after the drops to report them, and they still
// count.
TEST(EngineApi, DropsAfterTheLastQueuedDatagramAreCounted) {
  Opened o;
  o.add_buffers(2);
  UdpSocket sender;
  const Bytes big(60000);
  long long dropped = 0;
  for (int i = 0; i < 100000 && dropped <= 0; ++i) {
    sender.send_to(o.port, big);
    if (i % 256 == 255) dropped = udp_drops(o.port);
  }
  ASSERT_GT(dropped, 0) << "the socket never overflowed";
  zok_block_desc d{};
  zok_block_status s{};
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (o.stats().kernel_drops < static_cast<std::uint64_t>(dropped) && Clock::now() < until) {
    zok_poll_recv_pr(o.stream, &d, 1, &s);
  }
  EXPECT_EQ(o.stats().kernel_drops, static_cast<std::uint64_t>(udp_drops(o.port)));
}

// The resend command reaches the sender with the stream's channel and the
// request ids the worker's callback gave.
std::atomic<int> callback_calls{0};
void give_ids(void *, std::uint16_t *start, std::uint16_t *max) {
  ++callback_calls;
  *start = 500;
  *max = 2;
}

TEST(EngineApi, LostPacketIsAskedOverGvcpAndArrives) {
  for (const bool worker : {false, true}) {
    UdpSocket sender;
    zok_open_params p = default_params();
    p.flags |= ZOK_FLAG_PACKET_RESEND;
    p.resend_addr = loopback;
    p.resend_port = sender.port;
    p.channel = 3;
    p.resend_timeout = 200;
    Opened o(p);
    o.add_buffers(4);
    callback_calls = 0;
    if (worker) {
      ASSERT_EQ(zok_create_recv_worker(o.stream, 0, give_ids), 0);
      EXPECT_EQ(zok_create_recv_worker(o.stream, 0, give_ids), EEXIST);
      ASSERT_EQ(zok_start_recv_worker(o.stream), 0);
    }
    std::vector<std::uint16_t> req_ids;
    for (std::uint64_t id = 1; id <= 3; ++id) {
      send_block(sender, o.port, id, 7);
      zok_block_desc d{};
      zok_block_status s{};
      // Without a worker the packets are only read inside poll.
      EXPECT_EQ(zok_poll_recv_pr(o.stream, &d, 1, &s), EAGAIN);
      std::array<std::byte, 64> command{};
      const ssize_t n = recv(sender.fd, command.data(), command.size(), 0);
      ASSERT_GT(n, 0);
      const auto c = gvsp::parse_resend_command(gvsp::bytes(command.data(), n));
      ASSERT_TRUE(c.ok());
      EXPECT_EQ(c.value.channel, 3u);
      EXPECT_EQ(c.value.block_id, id);
      EXPECT_EQ(c.value.first_packet_id, 7u);
      EXPECT_EQ(c.value.last_packet_id, 7u);
      req_ids.push_back(c.value.req_id);
      sender.send_to(o.port, make_payload(id, 7, packet_bytes));
      ASSERT_EQ(o.wait_block(d, s), 0);
      EXPECT_EQ(d.status, 0u);
      EXPECT_TRUE(block_data_ok(d));
      EXPECT_EQ(s.dropped_packet_id, 7u);
      EXPECT_EQ(s.resend_request, 1u);
      EXPECT_EQ(zok_queue_buffer(d.buffer), 0);
    }
    const zok_stats_record r = o.stats();
    EXPECT_EQ(r.resend_requests, 3u);
    EXPECT_EQ(r.resend_requests_ok, 3u);
    if (worker) {
      EXPECT_EQ(req_ids, (std::vector<std::uint16_t>{500, 501, 500}));
      EXPECT_EQ(callback_calls.load(), 2);
      EXPECT_EQ(r.callbacks_invoked, 2u);
    } else {
      EXPECT_EQ(req_ids, (std::vector<std::uint16_t>{1, 2, 3}));
      EXPECT_EQ(r.callbacks_invoked, 0u);
    }
  }
}

TEST(EngineApi, WorkerStatesAndCounters) {
  Opened o;
  zok_worker_status w{};
  EXPECT_EQ(zok_start_recv_worker(o.stream), EINVAL);
  ASSERT_EQ(zok_get_status_recv_worker(o.stream, &w), 0);
  EXPECT_EQ(w.thread_state, 0u);
  EXPECT_EQ(zok_create_recv_worker(o.stream, 0x80, nullptr), EINVAL);
  ASSERT_EQ(zok_create_recv_worker(o.stream, 1, nullptr), 0);
  zok_get_status_recv_worker(o.stream, &w);
  EXPECT_EQ(w.thread_state, 1u);
  EXPECT_EQ(w.thread_mode, 1u);
  ASSERT_EQ(zok_start_recv_worker(o.stream), 0);
  zok_get_status_recv_worker(o.stream, &w);
  EXPECT_EQ(w.thread_state, 2u);
  EXPECT_EQ(w.block_processing_mode, 1u);
  zok_block_recv_worker(o.stream);
  zok_block_recv_worker(o.stream);  // already held: no effect
  zok_get_status_recv_worker(o.stream, &w);
  EXPECT_EQ(w.thread_state, 3u);
  zok_unblock_recv_worker(o.stream);
  zok_get_status_recv_worker(o.stream, &w);
  EXPECT_EQ(w.thread_state, 2u);
  zok_block_recv_worker(o.stream);
  EXPECT_EQ(zok_stop_recv_worker(o.stream), 0);  // a held worker still stops
  zok_get_status_recv_worker(o.stream, &w);
  EXPECT_EQ(w.thread_state, 1u);
  const zok_stats_record r = o.stats();
  EXPECT_EQ(r.stream_started, 1u);
  EXPECT_EQ(r.stream_stopped, 1u);
  EXPECT_EQ(r.stream_blocked, 2u);
  EXPECT_EQ(r.stream_unblocked, 1u);
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A worker that waits in the kernel may poll a little after traffic stops,
// but then sleeps: a stream that goes quiet must not keep a CPU busy.
TEST(EngineApi, KernelWaitWorkerSleepsOnceTrafficStops) {
  Opened o;
  o.add_buffers(4);
  ASSERT_NO_FATAL_FAILURE(o.start_worker());
  UdpSocket sender;
  send_block(sender, o.port, 1);
  zok_block_desc d{};
  zok_block_status s{};
  ASSERT_EQ(o.wait_block(d, s), 0);
  // The silence is timed from the worker's first sleep: how long it polls
  // before that depends on how often a loaded host lets it run.
  const pid_t worker = thread_named(getpid(), "zok-worker");
  ASSERT_GT(worker, 0);
  ASSERT_TRUE(eventually([&] { return sleeping_in(getpid(), worker) >= 0; }, 30s))
      << "the worker never slept";
  const double before = process_cpu_seconds();
  std::this_thread::sleep_for(500ms);  // the silence measured
  const double used = process_cpu_seconds() - before;
  EXPECT_LT(used, 0.1) << "CPU seconds in 0.5 s of silence";
  EXPECT_EQ(zok_stop_recv_worker(o.stream), 0);
}

// The report thread reads and clears the counters while the main thread
// polls and the worker fills blocks.
TEST(EngineApi, StatisticsFromAnotherThreadDuringPoll) {
  for (const bool worker : {false, true}) {
    Opened o;
    o.add_buffers(8);
    ASSERT_NO_FATAL_FAILURE(o.start_worker(worker));
    std::atomic<bool> done{false};
    std::thread reporter([&] {
      while (!done.load()) {
        zok_stats_record r{};
        zok_info_record i{};
        EXPECT_EQ(zok_get_stats(o.stream, &r), 0);
        EXPECT_EQ(zok_info(o.stream, &i), 0);
        EXPECT_EQ(zok_clear_stats(o.stream), 0);
      }
    });
    UdpSocket sender;
    int received = 0;
    for (std::uint64_t id = 1; id <= 50; ++id) {
      send_block(sender, o.port, id);
      zok_block_desc d{};
      zok_block_status s{};
      if (o.wait_block(d, s) == 0) {
        ++received;
        EXPECT_TRUE(block_data_ok(d));
        zok_queue_buffer(d.buffer);
      }
    }
    done = true;
    reporter.join();
    EXPECT_EQ(received, 50);
  }
}

// exit() from another thread while the worker runs and the main thread
// polls: the process ends promptly and cleanly.
TEST(EngineApi, ProcessExitsWithStreamOpenAndWorkerRunning) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);
    zok_stream_t s = nullptr;
    zok_open_params p = default_params();
    if (zok_open_stream_pr(&loopback, 0, &s, &p, nullptr) != 0) _exit(10);
    zok_buffer_t b = nullptr;
    zok_alloc(s, 4096, &b);
    zok_queue_buffer(b);
    zok_create_recv_worker(s, 0, nullptr);
    zok_start_recv_worker(s);
    std::atomic<bool> polling{false};
    std::thread([&polling] {
      // Not before the worker runs and main polls: that is the case.
      if (!eventually([&] { return polling && thread_named(getpid(), "zok-worker") > 0; }, 20s)) {
        _exit(11);
      }
      std::exit(0);
    }).detach();
    zok_block_desc d{};
    zok_block_status st{};
    for (;;) {
      zok_poll_recv_pr(s, &d, 1, &st);
      polling = true;
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
