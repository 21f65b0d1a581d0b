// The receive loop on a fake path and clock: a receiver that loses its CPU
// right after a read that found nothing comes back long after the packets it
// waited for arrived; they arrived in time, and must be judged so.
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

struct Away {
  const char *name;
  CoreConfig config;
  std::vector<std::uint32_t> before;  // arrive at 0, read at 1 ms
  std::vector<std::uint32_t> during;  // arrive at 3 ms, while the receiver is away
};

CoreConfig timeouts(bool resend) {
  CoreConfig c = with_resend(1);
  c.resend = resend;
  c.resend_timeout = 10 * ms;
  c.block_timeout = 100 * ms;
  return c;
}

TEST(EngineReceiveLoop, WhatArrivedWhileTheReceiverWasAwayIsInTime) {
  const Away cases[] = {
      {"the answer to a resend request", timeouts(true), {0, 1, 2, 4, 5}, {3}},
      {"the rest of the block", timeouts(false), {0, 1, 2}, {3, 4, 5}},
  };
  for (const Away &c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(c.config, 2, 64 * 1024);
    FakeClock clock;
    FakeReceivePath path(clock);
    zok::ReceiveLoop loop(h.core, path, clock);
    for (const std::uint32_t id : c.before) path.arrive(packet(id), 0);
    clock.now = 1 * ms;
    EXPECT_EQ(loop.batch(), c.before.size());
    for (const std::uint32_t id : c.during) path.arrive(packet(id), 3 * ms);
    // Nothing yet at 2 ms, and the thread is away for half a second right
    // after that read.
    clock.now = 2 * ms;
    path.after_read = [&] {
      clock.now = 500 * ms;
      path.after_read = nullptr;
    };
    EXPECT_EQ(loop.batch(), 0u);
    EXPECT_EQ(loop.batch(), c.during.size());
    ASSERT_EQ(h.shell.finished.size(), 1u);
    EXPECT_EQ(h.shell.finished[0].desc.status, ZOK_BLOCK_STATUS_OK);
    EXPECT_TRUE(data_matches(h.shell.finished[0], packets, size));
    EXPECT_EQ(h.get(h.counters.block_timeouts), 0u);
    EXPECT_EQ(h.get(h.counters.resend_requests_failed), 0u);
    EXPECT_EQ(h.get(h.counters.resend_requests_ok), c.config.resend ? 1u : 0u);
    // One clock reading a batch, whatever it brought.
    EXPECT_EQ(clock.readings, 3);
  }
}

}  // namespace
