// The reassembly core fed packets and a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "lib/core_expect.h"

namespace {

using namespace zok;
using namespace testlib;

TEST(EngineCore, CompletesBlockInAnyOrderWithDuplicates) {
  Harness h;
  h.feed(make_leader(1));
  for (std::uint32_t k : {3u, 1u, 4u, 1u, 2u}) h.feed(make_payload(1, k, 100));
  h.feed(make_trailer(1, 5));
  ASSERT_EQ(h.shell.finished.size(), 1u);
  const FinishedBlock &b = h.shell.finished[0];
  EXPECT_EQ(b.desc.status, ZOK_BLOCK_STATUS_OK);
  EXPECT_EQ(b.desc.block_id, 1u);
  EXPECT_EQ(b.desc.payload_length, 400u);
  EXPECT_EQ(b.desc.payload_type, GVSP_PAYLOAD_TYPE_RAW_DATA);
  EXPECT_EQ(b.desc.timestamp, 0x55667788u);
  EXPECT_EQ(b.desc.timestamp_high, 0x11223344u);
  EXPECT_EQ(b.desc.epoch_time_ns, 1u);
  EXPECT_TRUE(data_matches(b, 4, 100));
  expect_counts(h.counters, {COUNT(blocks_complete, 1u), COUNT(datagrams_refused, 0u)});
  EXPECT_TRUE(h.shell.resends.empty());  // resend is off
}

TEST(EngineCore, GapIsAskedForAndFilled) {
  Harness h(with_resend());
  h.feed(make_leader(1));
  h.feed(make_payload(1, 1, 100));
  h.feed(make_payload(1, 4, 100));
  h.feed(make_trailer(1, 5));
  h.core.on_tick(0);  // the trailer ended the reorder window
  EXPECT_EQ(h.shell.resends, (std::vector<Resend>{{1, 2, 3}}));
  EXPECT_TRUE(h.shell.finished.empty());  // waits for the resend
  h.feed(make_payload(1, 3, 100), 2 * ms);
  h.feed(make_payload(1, 2, 100), 2 * ms);
  ASSERT_EQ(h.shell.finished.size(), 1u);
  const FinishedBlock &b = h.shell.finished[0];
  EXPECT_EQ(b.desc.status, ZOK_BLOCK_STATUS_OK);
  EXPECT_TRUE(data_matches(b, 4, 100));
  EXPECT_EQ(b.status.dropped_packet_id, 2u);
  EXPECT_EQ(b.status.resend_request, 1u);
  EXPECT_EQ(b.status.next_request_id, 7u);
  expect_counts(h.counters, {COUNT(resend_requests, 1u), COUNT(resend_requests_ok, 2u),
                             COUNT(resend_requests_failed, 0u), COUNT(max_resend_retries, 1u)});
}

TEST(EngineCore, UnansweredResendIsRetriedThenGivenUp) {
  Harness h(with_resend(3));
  h.feed(make_leader(1));
  h.feed(make_payload(1, 2, 100));
  h.feed(make_trailer(1, 3));
  h.core.on_tick(0);  // the trailer ends the reorder window
  ASSERT_EQ(h.shell.resends.size(), 1u);
  h.core.on_tick(9 * ms);  // before the 10 ms default
  EXPECT_EQ(h.shell.resends.size(), 1u);
  h.core.on_tick(10 * ms);
  h.core.on_tick(20 * ms);
  EXPECT_EQ(h.shell.resends.size(), 3u);
  EXPECT_TRUE(h.shell.finished.empty());
  h.core.on_tick(30 * ms);
  ASSERT_EQ(h.shell.finished.size(), 1u);
  const FinishedBlock &b = h.shell.finished[0];
  EXPECT_EQ(b.desc.status, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE);
  EXPECT_EQ(b.status.resend_request, 3u);
  expect_counts(h.counters, {COUNT(resend_requests, 3u), COUNT(resend_timeouts, 3u),
                             COUNT(resend_requests_failed, 1u), COUNT(max_resend_retries, 3u),
                             COUNT(blocks_incomplete, 1u), COUNT(block_timeouts, 0u)});
}

TEST(EngineCore, BlockTimeoutReturnsOrDropsTheBlock) {
  for (const bool drop : {false, true}) {
    CoreConfig c;
    c.drop_incomplete = drop;
    c.block_timeout = 50 * ms;
    Harness h(c, 1);
    h.feed(make_leader(1), 0);
    h.feed(make_payload(1, 1, 100), 10 * ms);
    h.core.on_tick(59 * ms);
    EXPECT_EQ(h.get(h.counters.block_timeouts), 0u);
    EXPECT_EQ(h.core.next_deadline(), 60 * ms);
    h.core.on_tick(60 * ms);
    expect_counts(h.counters, {COUNT(block_timeouts, 1u), COUNT(blocks_incomplete, 1u)});
    if (drop) {
      EXPECT_TRUE(h.shell.finished.empty());
      EXPECT_EQ(h.get(h.counters.blocks_dropped), 1u);
      // The buffer is reused: the next block still finds one.
      h.send_block(2, 1, 100, 70 * ms);
      ASSERT_EQ(h.shell.finished.size(), 1u);
      EXPECT_EQ(h.shell.finished[0].desc.block_id, 2u);
    } else {
      ASSERT_EQ(h.shell.finished.size(), 1u);
      EXPECT_EQ(h.shell.finished[0].desc.status, ZOK_BLOCK_STATUS_BLOCK_TIMEOUT);
      EXPECT_EQ(h.shell.finished[0].desc.payload_length, 100u);
      EXPECT_EQ(h.get(h.counters.blocks_dropped), 0u);
    }
  }
}

// Blocks finishing as 1, 3, 2, 4: 3 is past a gap ("gt"), 2 is then older
// than the last judged ("lt"), 4 follows 3... but after 2 it is past a gap.
TEST(EngineCore, OutOfOrderActionPerCode) {
  struct Case {
    std::uint32_t booo;
    std::vector<std::uint64_t> handed;
  };
  const Case cases[] = {
      {ZOK_BOOO_ALWAYS_DROP, {1}},
      {ZOK_BOOO_ALWAYS_RETURN, {1, 3, 2, 4}},
      {ZOK_BOOO_RETURN_LT, {1, 2}},
      {ZOK_BOOO_RETURN_GT, {1, 3, 4}},
  };
  for (const Case &c : cases) {
    CoreConfig config;
    config.booo = c.booo;
    Harness h(config, 8);
    h.send_block(1, 1);
    h.feed(make_leader(2));  // block 2 opens first, finishes third
    h.send_block(3, 1);
    h.feed(make_payload(2, 1, 100));
    h.feed(make_trailer(2, 2));
    h.send_block(4, 1);
    std::vector<std::uint64_t> handed;
    for (const FinishedBlock &b : h.shell.finished) handed.push_back(b.desc.block_id);
    EXPECT_EQ(handed, c.handed) << "booo " << c.booo;
    EXPECT_EQ(h.get(h.counters.blocks_dropped), 4 - c.handed.size()) << "booo " << c.booo;
    EXPECT_EQ(h.get(h.counters.blocks_complete), 4u);
  }
}

TEST(EngineCore, SequenceWrapsSixteenBitIdsAndRunsOnSixtyFourBit) {
  CoreConfig standard;
  standard.booo = ZOK_BOOO_ALWAYS_DROP;  // anything out of sequence would vanish
  Harness h(standard, 4);
  for (std::uint64_t id : {65534u, 65535u, 1u, 2u}) h.send_block(id, 1);
  EXPECT_EQ(h.shell.finished.size(), 4u);
  EXPECT_EQ(h.get(h.counters.blocks_dropped), 0u);

  CoreConfig extended = standard;
  extended.kind = HeaderKind::extended;
  Harness e(extended, 4);
  const std::uint64_t base = (std::uint64_t{1} << 32) - 2;
  for (std::uint64_t id = base; id < base + 4; ++id) {
    e.feed(make_leader(id, HeaderKind::extended));
    e.feed(make_payload(id, 1, 100, HeaderKind::extended));
    e.feed(make_trailer(id, 2, HeaderKind::extended));
  }
  ASSERT_EQ(e.shell.finished.size(), 4u);
  EXPECT_EQ(e.shell.finished[3].desc.block_id, base + 3);
  EXPECT_EQ(e.get(e.counters.blocks_dropped), 0u);
}

TEST(EngineCore, ForcedDropIsResentAndNamed) {
  Harness h(with_resend());
  h.core.arm_drop(2, 2);
  h.send_block(1, 3);  // another block with packet 2 is not touched
  h.feed(make_leader(2));
  for (std::uint32_t k = 1; k <= 3; ++k) h.feed(make_payload(2, k, 100));
  h.feed(make_trailer(2, 4));
  h.core.on_tick(0);
  ASSERT_EQ(h.shell.resends.size(), 1u);
  EXPECT_EQ(h.shell.resends[0].first, 2u);
  h.feed(make_payload(2, 2, 100), ms);
  ASSERT_EQ(h.shell.finished.size(), 2u);
  const FinishedBlock &b = h.shell.finished[1];
  EXPECT_EQ(b.desc.status, ZOK_BLOCK_STATUS_OK);
  EXPECT_EQ(b.status.dropped_packet_id, 2u);
  EXPECT_EQ(b.status.resend_request, 1u);
  EXPECT_EQ(h.shell.finished[0].status.dropped_packet_id, 0u);
  // One shot: the same packet of a later block with that id is kept.
  h.send_block(3, 3);
  EXPECT_EQ(h.shell.resends.size(), 1u);
}

TEST(EngineCore, HostileDatagramsAreRefusedWithoutTouchingBuffers) {
  Harness h(with_resend(), 2, 1000);
  h.send_block(1, 3);
  ASSERT_EQ(h.shell.finished.size(), 1u);
  // Block 2 is half received when the hostile traffic comes.
  h.feed(make_leader(2));
  h.feed(make_payload(2, 1, 100));
  std::vector<Bytes> hostile;
  hostile.push_back(Bytes{});
  hostile.push_back(Bytes(3, std::byte{0x42}));
  Bytes truncated = make_payload(2, 2, 100);
  truncated.resize(5);
  hostile.push_back(truncated);
  Bytes unknown_format = make_payload(2, 2, 100);
  unknown_format[4] = std::byte{0x0E};
  hostile.push_back(unknown_format);
  hostile.push_back(make_payload(9000, 1, 100));    // foreign block id
  hostile.push_back(make_payload(3, 100000, 100));  // the next block, far past any buffer
  hostile.push_back(make_payload(3, 11, 100));      // the next block, just past its buffer
  hostile.push_back(make_payload(2, 2, 500));       // longer than the block's packets
  Bytes zero_block = make_payload(2, 2, 100);
  zero_block[2] = zero_block[3] = std::byte{0};
  hostile.push_back(zero_block);
  const Bytes before(h.shell.memories[1]->begin(), h.shell.memories[1]->end());
  for (const Bytes &d : hostile) h.feed(d);
  EXPECT_EQ(h.get(h.counters.datagrams_refused), hostile.size());
  EXPECT_EQ(*h.shell.memories[1], before);
  EXPECT_TRUE(h.shell.resends.empty());
  for (std::uint32_t k = 2; k <= 3; ++k) h.feed(make_payload(2, k, 100));
  h.feed(make_trailer(2, 4));
  h.feed(make_payload(2, 7, 100));  // past its trailer: cannot belong, block is closed
  h.shell.queued.push_back(h.shell.buffers[0].get());
  h.send_block(3, 2);
  ASSERT_EQ(h.shell.finished.size(), 3u);
  EXPECT_EQ(h.shell.finished[1].desc.status, ZOK_BLOCK_STATUS_OK);
  EXPECT_TRUE(data_matches(h.shell.finished[1], 3, 100));
  EXPECT_EQ(h.shell.finished[2].desc.status, ZOK_BLOCK_STATUS_OK);
  EXPECT_EQ(h.get(h.counters.blocks_incomplete), 0u);
  EXPECT_TRUE(h.shell.guards_intact());
}

TEST(EngineCore, PredictedRegionsTakeDataInPlace) {
  Harness h({}, 2, 1000);
  h.send_block(1, 2);  // teaches the stream its packet size
  h.feed(make_leader(2));
  std::array<Prediction, 16> predictions;
  const std::size_t n = h.core.predict(predictions);
  ASSERT_EQ(n, 10u);  // 1000 bytes in 100-byte packets
  EXPECT_EQ(predictions[0].packet_id, 1u);
  EXPECT_EQ(predictions[9].length, 100u);
  for (std::uint32_t k = 1; k <= 3; ++k) {
    const Bytes data = packet_data(2, k, 100);
    std::memcpy(predictions[k - 1].dest, data.data(), 100);
    h.core.on_placed(predictions[k - 1], 100, Arrival{});
  }
  h.feed(make_trailer(2, 4));
  ASSERT_EQ(h.shell.finished.size(), 2u);
  EXPECT_EQ(h.shell.finished[1].desc.status, ZOK_BLOCK_STATUS_OK);
  EXPECT_TRUE(data_matches(h.shell.finished[1], 3, 100));
  // A forced drop applies to a packet that arrived in place too.
  h.core.arm_drop(3, 2);
  h.shell.queued.push_back(h.shell.buffers[0].get());
  h.feed(make_leader(3));
  ASSERT_EQ(h.core.predict(predictions), 10u);
  h.core.on_placed(predictions[0], 100, Arrival{});
  h.core.on_placed(predictions[1], 100, Arrival{});
  h.feed(make_trailer(3, 3));
  ASSERT_EQ(h.shell.finished.size(), 3u);
  EXPECT_EQ(h.shell.finished[2].desc.status, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE);
  EXPECT_EQ(h.shell.finished[2].status.dropped_packet_id, 2u);
  // A stale prediction (its block ended) is refused, not placed.
  h.core.on_placed(predictions[5], 100, Arrival{});
  EXPECT_EQ(h.get(h.counters.datagrams_refused), 1u);
}

TEST(EngineCore, ImageAndFileFieldsFillTheDescriptor) {
  Harness h;
  gvsp::Leader l;
  l.payload_type = gvsp::payload_type_file;
  l.payload_data_size = 100;
  const std::string name(60, 'n');  // longer than the descriptor holds
  l.file_name = name;
  Bytes leader(256);
  leader.resize(gvsp::build_leader(leader, header(1, 0), l));
  h.feed(leader);
  h.feed(make_payload(1, 1, 100));
  gvsp::Trailer t;
  t.payload_type = gvsp::payload_type_file;
  Bytes trailer(64);
  trailer.resize(gvsp::build_trailer(trailer, header(1, 2), t));
  h.feed(trailer);
  ASSERT_EQ(h.shell.finished.size(), 1u);
  const zok_block_desc &d = h.shell.finished[0].desc;
  EXPECT_EQ(d.payload_type, GVSP_PAYLOAD_TYPE_FILE);
  EXPECT_EQ(d.file.payload_data_size, 100u);
  EXPECT_EQ(std::string(d.file.filename), name.substr(0, 47));

  l = gvsp::Leader{};
  l.payload_type = gvsp::payload_type_extended_chunk;
  l.pixel_format = gvsp::pixel_format_mono8;
  l.size_x = 10;
  l.size_y = 10;
  t = gvsp::Trailer{};
  t.payload_type = gvsp::payload_type_extended_chunk;
  t.size_y = 9;
  t.chunk_data_payload_length = 77;
  t.chunk_layout_id = 0xABCD;
  const Bytes data = packet_data(2, 1, 100);
  Bytes all_in(512);
  all_in.resize(gvsp::build_all_in(all_in, header(2, 0), l, t, data));
  h.feed(all_in);
  ASSERT_EQ(h.shell.finished.size(), 2u);
  const zok_block_desc &e = h.shell.finished[1].desc;
  EXPECT_EQ(e.status, ZOK_BLOCK_STATUS_OK);
  EXPECT_EQ(e.payload_length, 100u);
  EXPECT_EQ(e.extended_chunk.pixel_type, gvsp::pixel_format_mono8);
  EXPECT_EQ(e.extended_chunk.size_x, 10u);
  EXPECT_EQ(e.extended_chunk.trailer_size_y, 9u);
  EXPECT_EQ(e.extended_chunk.data_payload_len, 77u);
  EXPECT_EQ(e.extended_chunk.chunk_layout_id, 0xABCDu);
}

// The stream's packet size drops between blocks: the first batch of the new
// block was predicted with the old size, so the kernel put each packet where
// the old size puts it. A packet that overtakes others in that batch belongs
// where one of them still waits to be moved: that one is moved aside first,
// so neither is written over and nothing is asked for again.
TEST(EngineCore, PacketSizeChangeNeverWritesOverAPacketOfTheBatch) {
  Harness h(with_resend(), 2, 4096);
  h.shell.give_back_at_once = true;
  const BlockSender before{.size = 1800, .psize = 900};
  const BlockSender after{.size = 2400, .psize = 150};
  h.answering = &after;
  for (std::uint32_t k = 0; k <= before.payloads() + 1; ++k) h.feed(before.packet(1, k));
  h.feed(after.packet(2, 0));
  std::array<Prediction, 5> predicted;
  ASSERT_EQ(h.core.predict(predicted), 5u);
  const std::uint32_t batch[] = {13, 2, 3, 4, 5};
  std::vector<Bytes> datagrams;
  for (std::size_t i = 0; i < 5; ++i) {
    // The kernel scatters every datagram's data into its slot's region.
    datagrams.push_back(after.packet(2, batch[i]));
    std::memcpy(predicted[i].dest, datagrams[i].data() + 8, datagrams[i].size() - 8);
  }
  for (std::size_t i = 0; i < 5; ++i) {
    if (predicted[i].packet_id == batch[i]) {
      h.core.on_placed(predicted[i], static_cast<std::uint32_t>(datagrams[i].size() - 8),
                       Arrival{});
    } else {
      h.feed(datagrams[i]);
    }
  }
  h.core.end_batch();
  for (std::uint32_t k = 1; k <= after.payloads() + 1; ++k) {
    if (k < 2 || (k > 5 && k != 13)) h.feed(after.packet(2, k));
  }
  h.tick(ms);
  ASSERT_EQ(h.shell.finished.size(), 2u);
  EXPECT_TRUE(after.whole(h.shell.finished[1]));
  EXPECT_TRUE(h.shell.resends.empty());
}

// The kernel put a later packet where the core predicted a lost one: the
// block ends without that packet, and its place holds zeros, not the later
// packet's bytes.
TEST(EngineCore, AMissingPacketsPlaceHoldsNoOtherPacketsBytes) {
  Harness h(CoreConfig{}, 2, 4096);
  const BlockSender s{.size = 500, .psize = 100};
  h.feed(s.packet(1, 0));
  h.feed(s.packet(1, 1));
  std::array<Prediction, 1> predicted;
  ASSERT_EQ(h.core.predict(predicted), 1u);
  ASSERT_EQ(predicted[0].packet_id, 2u);
  const Bytes third = s.packet(1, 3);  // packet 2 was lost
  std::memcpy(predicted[0].dest, third.data() + 8, third.size() - 8);
  h.feed(third);
  h.core.end_batch();
  for (std::uint32_t k = 4; k <= s.payloads() + 1; ++k) h.feed(s.packet(1, k));
  ASSERT_EQ(h.shell.finished.size(), 1u);
  const zok_block_desc &d = h.shell.finished[0].desc;
  ASSERT_NE(d.status, ZOK_BLOCK_STATUS_OK);
  ASSERT_EQ(d.payload_length, 500u);
  const auto *gap = static_cast<const std::byte *>(d.payload) + 100;
  EXPECT_TRUE(std::all_of(gap, gap + 100, [](std::byte b) { return b == std::byte{0}; }));
}

}  // namespace
