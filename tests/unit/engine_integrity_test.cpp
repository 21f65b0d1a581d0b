// The reassembly core against what real senders and the wire do besides an
// orderly stream: restarts, a changed packet size, strays and datagrams that
// contradict the block they name.
#include <gtest/gtest.h>

#include "lib/core_fake.h"

namespace {

using namespace zok;
using namespace testlib;

Bytes payload_of(std::uint64_t block_id, std::uint32_t packet_id, const Bytes &data) {
  return make_payload(header(block_id, packet_id), data);
}

Bytes all_in(std::uint64_t block_id, std::size_t size, std::uint16_t status) {
  gvsp::Header hd = header(block_id, 0);
  hd.status = status;
  gvsp::Trailer t;
  t.payload_type = gvsp::payload_type_raw;
  const Bytes data = packet_data(block_id, 1, size);
  Bytes out(size + 256);
  out.resize(gvsp::build_all_in(out, hd, raw_leader(size), t, data));
  return out;
}

std::uint32_t packets_for(std::uint64_t size, std::uint32_t psize) {
  return static_cast<std::uint32_t>((size + psize - 1) / psize);
}

std::uint32_t length_of(std::uint32_t k, std::uint64_t size, std::uint32_t psize) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(psize, size - (k - 1) * psize));
}

// Payload packet k of a block of `size` bytes in packets of `psize`.
Bytes sized_payload(std::uint64_t id, std::uint32_t k, std::uint64_t size, std::uint32_t psize) {
  return payload_of(id, k, packet_data(id, k, length_of(k, size, psize), psize));
}

// A block of `size` data bytes the leader announces, in packets of `psize`.
void send_sized(Harness &h, std::uint64_t id, std::uint64_t size, std::uint32_t psize,
                Nanos at = 0) {
  h.feed(make_leader(id, raw_leader(size)), at);
  const std::uint32_t n = packets_for(size, psize);
  for (std::uint32_t k = 1; k <= n; ++k) {
    h.feed(sized_payload(id, k, size, psize), at);
  }
  h.feed(make_trailer(id, n + 1), at);
}

bool sized_data_matches(const FinishedBlock &b, std::uint64_t size) {
  return pattern_holds(b.desc.payload, size, b.desc.block_id);
}

void expect_whole(const FinishedBlock &b, std::uint64_t id) {
  EXPECT_EQ(b.desc.block_id, id);
  EXPECT_EQ(b.desc.status, ZOK_BLOCK_STATUS_OK) << "block " << id;
}

TEST(EngineIntegrity, RestartedSenderOpensItsBlocksWhileLateCopiesStayDropped) {
  Harness h({}, 16);
  for (std::uint64_t id = 1; id <= 5; ++id) h.send_block(id, 3);
  // Late copies of finished blocks are no blocks.
  h.feed(make_leader(5));
  h.feed(make_payload(5, 2, 100));
  h.feed(make_payload(3, 1, 100));
  EXPECT_EQ(h.shell.finished.size(), 5u);
  // The sender starts its count again (its clock too: the same time on
  // every leader, as from senders that send none).
  for (std::uint64_t id = 1; id <= 5; ++id) h.send_block(id, 3);
  // One that restarts at the id it just sent is known by its leader's time.
  gvsp::Leader l = raw_leader(0, 99);
  h.feed(make_leader(5, l));
  h.feed(make_payload(5, 1, 100));
  h.feed(make_trailer(5, 2));
  h.feed(make_leader(5, l));  // and its duplicate is dropped
  ASSERT_EQ(h.shell.finished.size(), 11u);
  for (std::size_t i = 0; i < 10; ++i) expect_whole(h.shell.finished[i], i % 5 + 1);
  expect_whole(h.shell.finished[10], 5);
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 0u);
  EXPECT_EQ(h.get(h.counters.blocks_complete), 11u);
}

TEST(EngineIntegrity, PacketSizeIsEachBlocksOwn) {
  Harness h({}, 8, 65536);
  constexpr std::uint64_t size = 30000;
  for (std::uint64_t id = 1; id <= 3; ++id) send_sized(h, id, size, 8972);
  for (std::uint64_t id = 4; id <= 5; ++id) send_sized(h, id, size, 1472);
  // The socket loop places the next block's packets where the last complete
  // block's packet size puts them: they move to where this block's go.
  send_sized(h, 6, size, 8972);
  h.feed(make_leader(7, raw_leader(size)));
  std::array<Prediction, 64> predicted{};
  for (std::uint32_t k = 1; k <= packets_for(size, 1472);) {
    const std::size_t n = h.core.predict(predicted);
    ASSERT_NE(n, 0u);
    for (std::size_t i = 0; i < n && k <= packets_for(size, 1472); ++i, ++k) {
      const Prediction &p = predicted[i];
      ASSERT_EQ(p.packet_id, k);
      const Bytes data = packet_data(7, k, length_of(k, size, 1472), 1472);
      ASSERT_LE(data.size(), p.length);
      std::memcpy(p.dest, data.data(), data.size());
      h.core.on_placed(p, static_cast<std::uint32_t>(data.size()), Arrival{});
    }
  }
  h.feed(make_trailer(7, packets_for(size, 1472) + 1));
  ASSERT_EQ(h.shell.finished.size(), 7u);
  for (const FinishedBlock &b : h.shell.finished) {
    SCOPED_TRACE(b.desc.block_id);
    expect_whole(b, b.desc.block_id);
    EXPECT_EQ(b.desc.payload_length, size);
    EXPECT_TRUE(sized_data_matches(b, size));
  }
}

TEST(EngineIntegrity, StrayAheadNeitherDisplacesNorInventsABlock) {
  Harness h(with_resend(), 4);
  h.send_block(1, 3);
  // Strays name the block after the newest, before the sender gets there.
  h.feed(payload_of(2, 2, Bytes(100, std::byte{0xEE})));
  h.feed(payload_of(2, 4, Bytes(100, std::byte{0xEE})));
  EXPECT_TRUE(h.shell.resends.empty());
  h.send_block(2, 3);
  ASSERT_EQ(h.shell.finished.size(), 2u);
  expect_whole(h.shell.finished[1], 2);
  EXPECT_TRUE(data_matches(h.shell.finished[1], 3, 100));

  // Alone, it is no block at all, and the real block of that id still opens.
  h.feed(payload_of(3, 2, Bytes(100, std::byte{0xEE})), 10 * ms);
  h.core.on_tick(2000 * ms);
  EXPECT_EQ(h.shell.finished.size(), 2u);
  EXPECT_EQ(h.get(h.counters.blocks_incomplete), 0u);
  h.send_block(3, 3, 100, 2000 * ms);
  ASSERT_EQ(h.shell.finished.size(), 3u);
  expect_whole(h.shell.finished[2], 3);
  EXPECT_TRUE(data_matches(h.shell.finished[2], 3, 100));
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 3u);
  EXPECT_TRUE(h.shell.resends.empty());
}

// Strays must not cost a real block that lost its leader: out of order, its
// packets never follow on one from another, yet it is still counted.
TEST(EngineIntegrity, LeaderlessBlockSentOutOfOrderIsStillCounted) {
  Harness h;
  h.send_block(1, 3);
  for (std::uint32_t k : {5u, 3u, 1u, 4u}) h.feed(make_payload(2, k, 100));
  h.feed(make_trailer(2, 7));  // packet 6 lost too
  ASSERT_EQ(h.shell.finished.size(), 2u);
  EXPECT_EQ(h.shell.finished[1].desc.block_id, 2u);
  EXPECT_EQ(h.shell.finished[1].desc.status, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE);
  EXPECT_EQ(h.get(h.counters.blocks_incomplete), 1u);
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 0u);
}

TEST(EngineIntegrity, PacketIdPastTheBlocksEndIsRefusedAndAsksForNothing) {
  Harness h(with_resend(), 2, 16384);
  constexpr std::uint64_t size = 14640;  // 10 packets of 1464, trailer 11
  h.feed(make_leader(1, raw_leader(size)));
  for (std::uint32_t k = 1; k <= 5; ++k) h.feed(make_payload(1, k, 1464));
  h.feed(make_payload(1, 13, 1464));
  h.feed(make_payload(1, 0xFFFFFF, 1464));
  for (std::uint32_t k = 6; k <= 10; ++k) h.feed(make_payload(1, k, 1464));
  h.feed(make_trailer(1, 11));
  ASSERT_EQ(h.shell.finished.size(), 1u);
  expect_whole(h.shell.finished[0], 1);
  EXPECT_EQ(h.shell.finished[0].desc.payload_length, size);
  EXPECT_TRUE(h.shell.resends.empty());
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 2u);
}

TEST(EngineIntegrity, WrongLengthPacketsAreRefused) {
  Harness h({}, 2, 32768);
  constexpr std::uint64_t size = 16384;  // 11 packets of 1464, the 12th of 280
  h.feed(make_leader(1, raw_leader(size)));
  h.feed(make_payload(1, 1, 1464));
  h.feed(payload_of(1, 1, Bytes(2000, std::byte{0xEE})));  // longer than the first
  for (std::uint32_t k = 2; k <= 3; ++k) h.feed(make_payload(1, k, 1464));
  h.feed(payload_of(1, 5, Bytes(100, std::byte{0xEE})));    // short, not the last
  h.feed(payload_of(1, 12, Bytes(1464, std::byte{0xEE})));  // the last, padded
  for (std::uint32_t k = 4; k <= 12; ++k) h.feed(sized_payload(1, k, size, 1464));
  h.feed(make_trailer(1, 13));
  ASSERT_EQ(h.shell.finished.size(), 1u);
  expect_whole(h.shell.finished[0], 1);
  EXPECT_EQ(h.shell.finished[0].desc.payload_length, size);
  EXPECT_TRUE(sized_data_matches(h.shell.finished[0], size));
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 3u);
  // Short, before any packet of the next block: it cannot set that block's
  // packet size.
  h.shell.queued.push_back(h.shell.buffers[0].get());
  h.feed(make_leader(3, raw_leader(size)));
  h.feed(payload_of(3, 3, Bytes(100, std::byte{0xEE})));
  for (std::uint32_t k = 1; k <= 12; ++k) h.feed(sized_payload(3, k, size, 1464));
  h.feed(make_trailer(3, 13));
  ASSERT_EQ(h.shell.finished.size(), 2u);
  expect_whole(h.shell.finished[1], 3);
  EXPECT_TRUE(sized_data_matches(h.shell.finished[1], size));
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 4u);

  // A leader that gives no size: a short packet is taken for the last one
  // until a full one after it shows otherwise.
  h.shell.queued.push_back(h.shell.buffers[1].get());
  h.feed(make_leader(2));
  h.feed(make_payload(2, 1, 100));
  h.feed(payload_of(2, 2, Bytes(40, std::byte{0xEE})));
  h.feed(make_payload(2, 3, 100));
  h.feed(make_payload(2, 2, 100));
  h.feed(make_trailer(2, 4));
  ASSERT_EQ(h.shell.finished.size(), 3u);
  expect_whole(h.shell.finished[2], 2);
  EXPECT_TRUE(data_matches(h.shell.finished[2], 3, 100));
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 5u);
}

TEST(EngineIntegrity, AllInBlocksKeepTheSendersStatusAndType) {
  Harness h({}, 2, 64);
  h.feed(all_in(1, 48, 0x8001));
  h.feed(all_in(2, 100, 0));  // larger than the buffer
  ASSERT_EQ(h.shell.finished.size(), 2u);
  EXPECT_EQ(h.shell.finished[0].desc.status, 0x8001);
  EXPECT_EQ(h.shell.finished[0].desc.payload_type, gvsp::payload_type_raw);
  EXPECT_EQ(h.shell.finished[1].desc.status, ZOK_BLOCK_STATUS_DATA_OVERRUN);
  EXPECT_EQ(h.shell.finished[1].desc.payload_type, gvsp::payload_type_raw);
  EXPECT_EQ(h.shell.finished[1].desc.raw_data.payload_data_size, 100u);
  EXPECT_EQ(h.get(h.counters.blocks_incomplete), 2u);
  EXPECT_TRUE(h.shell.guards_intact());
}

TEST(EngineIntegrity, LostTailIsAskedForOnEveryTypeWithASize) {
  Harness h(with_resend(), 4);
  gvsp::Leader jpeg;
  jpeg.payload_type = gvsp::payload_type_jpeg;
  jpeg.payload_data_size = 300;
  h.feed(make_leader(1, jpeg));
  h.feed(make_payload(1, 1, 100));
  h.feed(make_payload(1, 2, 100));  // packet 3 and the trailer are lost
  h.feed(make_leader(2, jpeg));
  h.core.on_tick(0);  // asks go out at the end of the batch
  ASSERT_EQ(h.shell.resends.size(), 1u);
  EXPECT_EQ(h.shell.resends[0].block_id, 1u);
  EXPECT_EQ(h.shell.resends[0].first, 3u);
  EXPECT_EQ(h.shell.resends[0].last, 4u);
}

TEST(EngineIntegrity, OnlyTheSendersHostIsHeard) {
  constexpr std::uint32_t camera = 0x0100007F;
  constexpr std::uint32_t other = 0x0200007F;
  Harness h(with_resend());
  h.feed(make_leader(1), 0, camera);
  h.feed(make_payload(1, 1, 100), 0, camera);
  h.feed(payload_of(1, 2, Bytes(100, std::byte{0xEE})), 0, other);
  h.feed(make_payload(1, 3, 100), 0, camera);
  EXPECT_EQ(h.core.sender_host(), camera);  // where the resend of packet 2 goes
  h.feed(make_payload(1, 2, 100), 0, camera);
  h.feed(make_trailer(1, 4), 0, other);
  h.feed(make_trailer(1, 4), 0, camera);
  ASSERT_EQ(h.shell.finished.size(), 1u);
  expect_whole(h.shell.finished[0], 1);
  EXPECT_TRUE(data_matches(h.shell.finished[0], 3, 100));
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 2u);

  // A stream that names its sender hears no one else, leaders included.
  CoreConfig named = with_resend();
  named.sender_host = camera;
  Harness n(named);
  n.send_block(1, 2);
  n.feed(make_leader(2), 0, other);
  n.feed(make_payload(2, 1, 100), 0, other);
  EXPECT_EQ(n.shell.finished.size(), 1u);
  EXPECT_EQ(n.get(n.counters.datagrams_refused), 2u);
  EXPECT_EQ(n.core.sender_host(), camera);
}

}  // namespace
