// The resend path of the reassembly core on a fake clock: what is asked for
// and when, against reordering, clock steps and commands that never leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "clock_internal.h"
#include "lib/core_expect.h"

namespace {

using namespace zok;
using namespace testlib;

// Packet `id` of a block of `payloads` payload packets: the leader, one of
// 100 bytes, or the trailer.
Bytes packet(std::uint64_t block_id, std::uint32_t id, std::uint32_t payloads) {
  if (id == 0) return make_leader(block_id);
  if (id > payloads) return make_trailer(block_id, id);
  return make_payload(block_id, id, 100);
}

// A program that queues each block's buffer again as soon as it has it.
struct Core : Harness {
  explicit Core(CoreConfig config) : Harness(config, 4, 64 * 1024) {
    shell.give_back_at_once = true;
  }
  void feed(std::uint64_t block, std::uint32_t id, std::uint32_t payloads, Nanos at) {
    Harness::feed(packet(block, id, payloads), at);
  }
};

// Blocks of 200 payload packets, shuffled whole or a few places, 2 us apart
// and taken in batches of 8 (the core is ticked after each, as the socket
// loop does): a packet that is only late is never asked for; a lost one is,
// once, as soon as the trailer shows the sender has moved on.
TEST(EngineResend, ReorderedPacketsAreNotAskedForLostOnesAre) {
  constexpr std::uint32_t payloads = 200;
  std::mt19937 rng(7);
  for (const std::uint32_t distance : {0u, 8u}) {  // 0: the whole block shuffled
    SCOPED_TRACE(distance);
    Core c(with_resend());
    Nanos t = 0;
    for (std::uint64_t block = 1; block <= 10; ++block) {
      std::vector<std::uint32_t> order(payloads);
      std::iota(order.begin(), order.end(), 1u);
      if (distance == 0) {
        std::shuffle(order.begin(), order.end(), rng);
      } else {
        for (std::size_t i = 0; i + distance < order.size(); i += distance) {
          std::shuffle(order.begin() + i, order.begin() + i + distance, rng);
        }
      }
      order.insert(order.begin(), 0u);
      order.push_back(payloads + 1);
      // Block 10 loses packet 77 on its first sending.
      if (block == 10) order.erase(std::find(order.begin(), order.end(), 77u));
      for (std::size_t i = 0; i < order.size(); ++i) {
        c.feed(block, order[i], payloads, t += 2 * us);
        if (i % 8 == 7 || i + 1 == order.size()) c.core.on_tick(t);
      }
    }
    EXPECT_EQ(c.shell.resends, (std::vector<Resend>{{10, 77, 77}}));
    c.feed(10, 77, payloads, t += 50 * us);
    ASSERT_EQ(c.shell.finished.size(), 10u);
    for (const FinishedBlock &b : c.shell.finished) EXPECT_EQ(b.desc.status, ZOK_BLOCK_STATUS_OK);
    expect_counts(c.counters, {COUNT(resend_requests, 1u), COUNT(resend_requests_ok, 1u)});
  }

  // Without a trailer in sight the window decides, and it runs only while
  // the stream flows: a sender that pauses mid-block, for less than the
  // window and the resend timeout together, has lost nothing yet.
  Core slow(with_resend());
  Nanos t = 0;
  slow.feed(1, 0, 50, t);
  slow.feed(1, 1, 50, t += 100 * us);
  slow.feed(1, 3, 50, t += 100 * us);  // packet 2 is missing from here
  slow.core.on_tick(t += 10 * ms);     // a pause
  slow.feed(1, 4, 50, t += 100 * us);
  slow.core.on_tick(t);
  EXPECT_TRUE(slow.shell.resends.empty());
  for (std::uint32_t id = 5; id <= 12; ++id) slow.feed(1, id, 50, t += 100 * us);
  slow.core.on_tick(t);
  EXPECT_TRUE(slow.shell.resends.empty());  // 0.9 ms of flow after the gap
  slow.feed(1, 13, 50, t += 100 * us);
  slow.core.on_tick(t);
  EXPECT_EQ(slow.shell.resends, (std::vector<Resend>{{1, 2, 2}}));

  // A later block starting ends the window of an older block's gap at once,
  // and (no size announced) asks for the packet after its highest: the
  // trailer, if that was all that was lost.
  slow.feed(1, 15, 50, t += 100 * us);  // 14 is missing
  slow.feed(2, 0, 50, t += 100 * us);
  slow.core.on_tick(t);
  ASSERT_EQ(slow.shell.resends.size(), 3u);
  EXPECT_EQ(slow.shell.resends[1].first, 14u);
  EXPECT_EQ(slow.shell.resends[2].first, 16u);
  EXPECT_EQ(slow.shell.resends[2].last, 16u);
}

// The real-time clock steps by an hour either way in the middle of a block,
// between a packet's kernel stamp and the batch that takes it in: resend
// waits and the block timeout still end on time, as the monotonic clock says.
TEST(EngineResend, ClockStepMidBlockEndsNothingEarlyOrLate) {
  constexpr Nanos hour = 3600 * 1'000 * ms;
  for (const Nanos step : {hour, -hour}) {
    for (const bool resending : {true, false}) {
      SCOPED_TRACE(testing::Message() << step << (resending ? " resend" : " timeout"));
      CoreConfig config = resending ? with_resend(3) : CoreConfig{};
      config.block_timeout = 50 * ms;
      Core c(config);
      ArrivalClock clock;
      const Nanos mono0 = 5'000 * ms;
      Nanos real_offset = 1'700'000'000'000 * ms;  // real time minus monotonic
      auto real = [&](Nanos at) { return mono0 + at + real_offset; };
      // One batch taken at monotonic `at`: packet ids and their kernel stamps.
      auto batch = [&](Nanos at, std::vector<std::pair<std::uint32_t, Nanos>> packets) {
        clock.start_batch(ClockReading{mono0 + at, real(at)});
        for (const auto &[id, stamp] : packets) {
          const Bytes d = packet(1, id, 5);
          c.core.on_packet(gvsp::bytes(d), Arrival{clock.arrival(static_cast<std::uint64_t>(stamp)),
                                                   static_cast<std::uint64_t>(stamp)});
        }
        c.core.on_tick(clock.now());
      };
      batch(0, {{0, real(0)}, {1, real(0)}});
      const Nanos last_stamp = real(3 * ms);
      if (resending) {
        batch(3 * ms, {{3, real(2 * ms)}, {6, last_stamp}});  // 2, 4, 5 lost; 6 is the trailer
        ASSERT_EQ(c.shell.resends.size(), 2u);                // at once: the trailer came
        real_offset += step;
        batch(13 * ms - 1, {});
        EXPECT_EQ(c.shell.resends.size(), 2u) << "resend wait ended early";
        batch(13 * ms, {});
        EXPECT_EQ(c.shell.resends.size(), 4u) << "resend wait ended late";
        batch(23 * ms, {});
        batch(33 * ms - 1, {});
        EXPECT_TRUE(c.shell.finished.empty()) << "given up early";
        batch(33 * ms, {});
        ASSERT_EQ(c.shell.finished.size(), 1u) << "given up late";
        EXPECT_EQ(c.shell.finished[0].desc.status, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE);
      } else {
        batch(2 * ms, {{3, real(2 * ms)}});
        real_offset += step;
        // Stamped before the step, taken in after it: it arrived between
        // the two batches, whatever its stamp now says.
        batch(3 * ms, {{4, last_stamp}});
        batch(52 * ms - 1, {});
        EXPECT_TRUE(c.shell.finished.empty()) << "block timeout early";
        batch(53 * ms, {});
        ASSERT_EQ(c.shell.finished.size(), 1u) << "block timeout late";
        EXPECT_EQ(c.shell.finished[0].desc.status, ZOK_BLOCK_STATUS_BLOCK_TIMEOUT);
      }
      // The block's time is still the kernel's real-time stamp.
      EXPECT_EQ(c.shell.finished[0].desc.epoch_time_ns, static_cast<std::uint64_t>(last_stamp));
    }
  }
}

// A command that never left (a failed send, or ids the stream's form cannot
// carry) is not a request: not counted, not waited on. The block ends at once.
TEST(EngineResend, CommandThatNeverLeftIsNotCountedNorWaitedOn) {
  Core c(with_resend(3));
  c.shell.failing = true;
  c.feed(1, 0, 3, 0);
  c.feed(1, 2, 3, 0);
  c.feed(1, 4, 3, 0);  // the trailer: packets 1 and 3 are lost
  c.core.on_tick(0);
  EXPECT_EQ(c.shell.attempts.size(), 2u);
  ASSERT_EQ(c.shell.finished.size(), 1u);
  EXPECT_EQ(c.shell.finished[0].desc.status, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE);
  EXPECT_EQ(c.shell.finished[0].status.resend_request, 0u);
  EXPECT_EQ(c.shell.finished[0].status.dropped_packet_id, 0u);
  expect_counts(c.counters, {COUNT(resend_requests, 0u), COUNT(resend_requests_failed, 0u),
                             COUNT(max_resend_retries, 0u)});

  // Asked once, then the second command fails: given up then, not a wait later.
  Core d(with_resend(3));
  d.feed(1, 0, 3, 0);
  d.feed(1, 2, 3, 0);
  d.feed(1, 4, 3, 0);
  d.core.on_tick(0);
  EXPECT_EQ(d.shell.resends.size(), 2u);
  d.feed(1, 1, 3, 1 * ms);  // one answer comes
  d.shell.failing = true;
  d.core.on_tick(10 * ms);
  ASSERT_EQ(d.shell.finished.size(), 1u);
  EXPECT_EQ(d.shell.finished[0].status.resend_request, 2u);
  expect_counts(d.counters, {COUNT(resend_requests, 2u), COUNT(resend_requests_ok, 1u),
                             COUNT(resend_requests_failed, 1u)});
}

// A triggered camera: the block that lost its tail gets no later block to
// show it. Once it has been idle for the reorder window and the resend
// timeout, its tail is asked for, once; a sender that only paused costs
// that one request and its retries, never one a tick.
TEST(EngineResend, IdleBlockAsksForItsTailOnce) {
  for (const bool announced : {true, false}) {
    SCOPED_TRACE(announced ? "size announced" : "no size");
    Core c(with_resend(2));
    const BlockSender camera{.announce = announced};
    Nanos t = 0;
    for (std::uint32_t k = 0; k <= 8; ++k) c.Harness::feed(camera.packet(1, k), t += 10 * us);
    const Nanos idle = c.core.reorder_window() + CoreConfig{}.resend_timeout;
    c.core.on_tick(t + idle - 1);
    EXPECT_TRUE(c.shell.resends.empty());
    c.core.on_tick(t += idle);
    EXPECT_EQ(c.shell.resends, (std::vector<Resend>{{1, 9, announced ? 11u : 9u}}));
    for (Nanos end = t + 200 * ms; t < end; t += ms) c.core.on_tick(t);
    // Without an answer: asked again once per resend timeout, then given up.
    EXPECT_EQ(c.shell.resends.size(), 2u);
    EXPECT_EQ(c.shell.finished.size(), 0u);

    // Answered, the block is whole long before its timeout; also when the
    // first tick comes a block timeout late (a held receiver reads its
    // backlog): its packets came in time, so it asks before it times out.
    for (const Nanos held : {Nanos{0}, CoreConfig{}.block_timeout + ms}) {
      Core d(with_resend(2));
      d.answering = &camera;
      t = 0;
      for (std::uint32_t k = 0; k <= 8; ++k) d.Harness::feed(camera.packet(1, k), t += 10 * us);
      t += held;
      for (Nanos end = t + 50 * ms; t < end && d.shell.finished.empty(); t += ms) d.tick(t);
      ASSERT_EQ(d.shell.finished.size(), 1u);
      EXPECT_TRUE(camera.whole(d.shell.finished[0])) << "held " << held;
      EXPECT_LE(d.shell.resends.size(), announced ? 1u : 3u);
    }
  }
}

// A sender that shuffles each block's payload packets (leader first,
// trailer last, nothing lost) at 300 Mbit/s, so that a block spans more
// than the window the stream starts with. The window widens on the first
// requests that turn out spurious, within half the resend timeout; real
// loss is asked for all the same; in order again, the window narrows back.
TEST(EngineResend, ReorderWindowLearnsAShufflingSender) {
  const BlockSender camera{.size = 40 * 1464, .psize = 1464};
  Core c(with_resend(2));
  c.answering = &camera;
  std::mt19937 rng(3);
  Nanos t = 0;
  std::size_t whole = 0;
  auto send = [&](std::uint64_t id, bool shuffled, std::uint32_t lost = ~0u) {
    std::vector<std::uint32_t> order(camera.payloads());
    std::iota(order.begin(), order.end(), 1u);
    if (shuffled) std::shuffle(order.begin(), order.end(), rng);
    order.insert(order.begin(), 0u);
    order.push_back(camera.payloads() + 1);
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (order[i] != lost) c.Harness::feed(camera.packet(id, order[i]), t += 39 * us);
      if (i % 8 == 7) c.tick(t);
    }
    c.tick(t);
    for (const FinishedBlock &b : c.shell.finished) EXPECT_TRUE(camera.whole(b)) << b.desc.block_id;
    whole += c.shell.finished.size();
    c.shell.finished.clear();
  };
  // The first block's answers come after its late originals: once they
  // show the sender marks what it resends, its requests teach the window.
  c.answering = nullptr;
  send(1, true);
  c.answering = &camera;
  c.tick(t += ms);
  EXPECT_GT(c.core.reorder_window(), ms);
  for (std::uint64_t id = 2; id <= 60; ++id) send(id, true);
  const std::uint64_t asked = c.get(c.counters.resend_requests);
  EXPECT_LT(asked, 60u * 40 / 50) << "of " << 60 * 40 << " packets";
  EXPECT_GT(c.get(c.counters.spurious_resends), 0u);
  EXPECT_GT(c.core.reorder_window(), ms);
  EXPECT_LE(c.core.reorder_window(), CoreConfig{}.resend_timeout / 2);
  // Still shuffling: the window keeps what the shuffle needs, and the
  // sender is not asked for its late packets again every few dozen blocks.
  for (std::uint64_t id = 61; id <= 160; ++id) send(id, true);
  EXPECT_EQ(c.get(c.counters.resend_requests), asked);
  send(161, true, 20);
  EXPECT_EQ(c.get(c.counters.resend_requests), asked + 1);
  for (std::uint64_t id = 162; id <= 300; ++id) send(id, false);
  EXPECT_EQ(c.core.reorder_window(), CoreConfig{}.reorder_window);
  EXPECT_EQ(whole, 300u);
}

}  // namespace
