// The receive loop on a fake path and clock: a receiver that loses its CPU
// around a read comes back long after packets it waited for arrived; they
// arrived in time, and must be judged so.
#include <gtest/gtest.h>

#include <vector>

#include "lib/core_fake.h"
#include "lib/fake_receive_path.h"

namespace {

using namespace testlib;

constexpr std::uint64_t block = 7;
constexpr std::uint32_t packets = 4;  // payload packets; the trailer is packet 5
constexpr std::size_t size = 1000;

Bytes packet(std::uint32_t id) {
  if (id == 0) return make_leader(block, HeaderKind::standard, packets * size);
  if (id == packets + 1) return make_trailer(block, id);
  return make_payload(block, id, size);
}

CoreConfig timeouts(bool resend) {
  CoreConfig c = with_resend(1);
  c.resend = resend;
  c.resend_timeout = 10 * ms;
  c.block_timeout = 100 * ms;
  return c;
}

// Batches at 1, 2, 500, 520 and 540 ms; the receiver is away from 2 to
// 500 ms, from just after or just before the read at 2 ms.
struct Away {
  const char *name;
  bool resend;
  bool before_the_read;
  std::vector<std::uint32_t> first;   // arrive at 0
  std::vector<std::uint32_t> during;  // arrive at `at`, while it is away
  Nanos at;
  std::vector<std::uint32_t> last;  // arrive at 530 ms
};

TEST(EngineReceiveLoop, WhatArrivedWhileTheReceiverWasAwayIsInTime) {
  const Away cases[] = {
      {"the answer to a resend request", true, false, {0, 1, 2, 4, 5}, {3}, 3 * ms, {}},
      {"the rest of the block", false, false, {0, 1, 2}, {3, 4, 5}, 90 * ms, {}},
      {"a block begun late in the pause", false, true, {}, {0, 1}, 450 * ms, {2, 3, 4, 5}},
  };
  for (const Away &c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(timeouts(c.resend), 2, 64 * 1024);
    FakeClock clock;
    FakeReceivePath path(clock);
    zok::ReceiveLoop loop(h.core, path, clock);
    for (const std::uint32_t id : c.first) path.arrive(packet(id), 0);
    for (const std::uint32_t id : c.during) path.arrive(packet(id), c.at);
    for (const std::uint32_t id : c.last) path.arrive(packet(id), 530 * ms);
    auto &away = c.before_the_read ? path.before_read : path.after_read;
    int batches = 0;
    int with_datagrams = 0;
    for (const Nanos t : {1 * ms, 2 * ms, 500 * ms, 520 * ms, 540 * ms}) {
      clock.now = t;
      if (t == 2 * ms) {
        away = [&] {
          clock.now = 500 * ms;
          away = nullptr;
        };
      }
      ++batches;
      if (loop.batch() != 0) ++with_datagrams;
    }
    ASSERT_EQ(h.shell.finished.size(), 1u);
    EXPECT_EQ(h.shell.finished[0].desc.status, ZOK_BLOCK_STATUS_OK);
    EXPECT_TRUE(data_matches(h.shell.finished[0], packets, size));
    EXPECT_EQ(h.get(h.counters.block_timeouts), 0u);
    EXPECT_EQ(h.get(h.counters.resend_requests_failed), 0u);
    EXPECT_EQ(h.get(h.counters.resend_requests_ok), c.resend ? 1u : 0u);
    // One reading before each read, and one after a read that brought
    // datagrams.
    EXPECT_EQ(clock.readings, batches + with_datagrams);
  }
}

}  // namespace
