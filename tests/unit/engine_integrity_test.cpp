// The reassembly core against what real senders and the wire do besides an
// orderly stream: restarts, a changed packet size, strays and datagrams that
// contradict the block they name.
#include <gtest/gtest.h>

#include <map>
#include <random>

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
  // A sender that leaves its leaders' time at 0.
  auto send_block = [&h](std::uint64_t id) {
    h.feed(make_leader(id, raw_leader(0, 0)));
    for (std::uint32_t k = 1; k <= 3; ++k) h.feed(make_payload(id, k, 100));
    h.feed(make_trailer(id, 4));
  };
  for (std::uint64_t id = 1; id <= 5; ++id) send_block(id);
  // Late copies of finished blocks are no blocks.
  h.feed(make_leader(5, raw_leader(0, 0)));
  h.feed(make_payload(5, 2, 100));
  h.feed(make_payload(3, 1, 100));
  EXPECT_EQ(h.shell.finished.size(), 5u);
  // The sender starts its count again, its time still 0.
  for (std::uint64_t id = 1; id <= 5; ++id) send_block(id);
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

constexpr std::uint32_t camera_host = 0x0100007F;
constexpr std::uint16_t camera_port = 0x5000;
constexpr std::uint16_t other_port = 0x6000;

// A stream from the camera's host, ticked as the socket loop does, with a
// buffer for every block it hands over.
struct Stream : Harness {
  explicit Stream(CoreConfig config = with_resend(2)) : Harness(config, 80, 4096) {}
  void send(const Bytes &d) { feed(d, t += us, camera_host, port); }
  void send(const BlockSender &s, std::uint64_t id, std::uint32_t from = 0,
            std::uint32_t to = ~0u) {
    for (std::uint32_t k = from; k <= std::min(to, s.payloads() + 1); ++k) send(s.packet(id, k));
  }
  void wait(Nanos d = ms) { tick(t += d, camera_host, port); }

  Nanos t = 0;
  std::uint16_t port = camera_port;
};

Bytes image_leader(std::uint64_t id, std::uint32_t lines) {
  gvsp::Leader l;
  l.payload_type = gvsp::payload_type_image;
  l.pixel_format = 0x01080001;  // 8 bits a pixel
  l.size_x = 10;
  l.size_y = lines;
  l.timestamp = id;
  return make_leader(id, l);
}

Bytes image_trailer(std::uint64_t id, std::uint32_t packet_id, std::uint32_t lines) {
  gvsp::Trailer t;
  t.payload_type = gvsp::payload_type_image;
  t.size_y = lines;
  Bytes out(64);
  out.resize(gvsp::build_trailer(out, header(id, packet_id), t));
  return out;
}

// What came out, block by block: whole from sender `run`, or (run -1)
// handed over with a non-zero status.
struct Got {
  std::uint64_t id;
  int run;
};

std::vector<Got> seq(std::uint64_t first, std::uint64_t last, int run) {
  std::vector<Got> out;
  for (std::uint64_t id = first; id <= last; ++id) out.push_back({id, run});
  return out;
}

std::vector<Got> operator+(std::vector<Got> a, const std::vector<Got> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Case {
  const char *name;
  std::vector<BlockSender> senders;  // by run
  void (*play)(Stream &, const std::vector<BlockSender> &);
  std::vector<Got> got;
  std::int64_t refused = -1;  // -1: not checked
  std::uint64_t unseen = 0;
};

const BlockSender plain;
const BlockSender restarted{.run = 1};

// Crafted sequences that once led the engine to hand over what the sender
// never sent, or to lose what it did.
TEST(EngineIntegrity, CraftedSequences) {
  const Case cases[] = {
      {"a sender restarted mid-block on its own port",
       {plain, restarted},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.send(by[0], 1), s.send(by[0], 2), s.send(by[0], 3, 0, 5);
         for (std::uint64_t id = 1; id <= 3; ++id) s.send(by[1], id);
       },
       seq(1, 2, 0) + seq(3, 3, -1) + seq(1, 3, 1),
       0},
      {"a sender restarted mid-block on a new port",
       {plain, restarted},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.send(by[0], 1), s.send(by[0], 2), s.send(by[0], 3, 0, 5);
         s.port = other_port;
         s.t += 2 * ms;
         for (std::uint64_t id = 1; id <= 3; ++id) s.send(by[1], id);
       },
       seq(1, 2, 0) + seq(3, 3, -1) + seq(1, 3, 1),
       0},
      {"a packet's id from another port of the camera's host",
       {plain},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.send(by[0], 1, 0, 2);
         s.port = other_port;
         s.send(make_payload(header(1, 3), Bytes(100, std::byte{0xEE})));
         s.port = camera_port;
         s.send(by[0], 1, 3);
       },
       seq(1, 1, 0),
       1},
      {"a payload past the end of a block whose leader gives no size",
       {{.announce = false}},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.answering = &by[0];
         s.send(by[0], 1, 0, 9);
         s.send(make_payload(1, 11, 100));
         s.send(by[0], 1, 10);
       },
       seq(1, 1, 0)},
      {"a 'not yet available' answer, then the packet",
       {plain},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.send(by[0], 1, 0, 4), s.send(by[0], 1, 6);
         s.wait();
         s.send(make_error(1, 5, gvsp::status_packet_not_yet_available));
         s.send(by[0], 1, 5, 5);
       },
       seq(1, 1, 0)},
      // From the camera's own port a leader is the camera's: a restart, or
      // a block lost but for its leader.
      {"stray leaders from the camera's host for a finished block and for one never sent",
       {plain},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.send(by[0], 1), s.send(by[0], 2);
         gvsp::Leader odd = raw_leader(0, 99);
         odd.payload_type = 0x8001;
         s.port = other_port;
         s.send(make_leader(1, odd));
         s.port = camera_port;
         s.send(by[0], 3);
         s.port = other_port;
         s.send(make_leader(4, odd));
         s.wait(400 * ms);
       },
       seq(1, 3, 0),
       2},
      {"a late copy of a leader once the next block began",
       {plain},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.answering = &by[0];
         s.send(by[0], 1), s.send(by[0], 2, 1);
         s.wait();
         s.send(by[0], 3, 0, 0);
         s.send(by[0].packet(2, 0));
         s.send(by[0], 3, 1);
         s.wait(400 * ms);
       },
       seq(1, 3, 0)},
      {"an over-long copy of a packet before the packet",
       {plain},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.answering = &by[0];
         s.send(by[0], 1, 0, 0);
         Bytes longer = by[0].packet(1, 3);
         longer.resize(longer.size() + 20, std::byte{0xEE});
         s.send(longer);
         s.send(by[0], 1, 1);
       },
       seq(1, 1, 0)},
      {"a restart seen after more than the blocks remembered, its leader lost",
       {{.kind = HeaderKind::extended}, {.run = 1, .kind = HeaderKind::extended}},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.answering = &by[1];
         for (std::uint64_t id = 1; id <= 70; ++id) s.send(by[0], id);
         s.send(by[1], 1), s.send(by[1], 2, 1);
         s.wait();
         s.send(by[1], 3);
       },
       seq(1, 70, 0) + seq(1, 3, 1),
       0},
      {"a line-scan frame cut short by its trailer",
       {{.size = 600}},
       [](Stream &s, const std::vector<BlockSender> &by) {
         s.send(image_leader(1, 100));
         s.send(by[0], 1, 1, 6);
         s.send(image_trailer(1, 7, 60));
       },
       seq(1, 1, 0),
       0},
      {"blocks lost whole before the engine",
       {plain},
       [](Stream &s, const std::vector<BlockSender> &by) {
         for (std::uint64_t id : {1, 2, 3, 7, 8}) s.send(by[0], id);
       },
       seq(1, 3, 0) + seq(7, 8, 0),
       0,
       3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Stream s;
    c.play(s, c.senders);
    s.wait();
    s.core.abandon_all(s.t);
    EXPECT_EQ(s.shell.finished.size(), c.got.size());
    for (std::size_t i = 0; i < std::min(c.got.size(), s.shell.finished.size()); ++i) {
      const FinishedBlock &b = s.shell.finished[i];
      EXPECT_EQ(b.desc.block_id, c.got[i].id) << "block " << i;
      if (c.got[i].run < 0) {
        EXPECT_NE(b.desc.status, ZOK_BLOCK_STATUS_OK) << "block " << i;
      } else {
        EXPECT_TRUE(c.senders[c.got[i].run].whole(b))
            << "block " << i << " status " << b.desc.status;
      }
    }
    if (c.refused >= 0) {
      EXPECT_EQ(s.get(s.counters.datagrams_refused), static_cast<std::uint64_t>(c.refused));
    }
    EXPECT_EQ(s.get(s.counters.blocks_unseen), c.unseen);
    zok_info_record info{};
    s.counters.snapshot(info);
    EXPECT_EQ(info.blocks_dropped, c.unseen);  // neither dropped nor without a buffer here
    EXPECT_TRUE(s.shell.guards_intact());
  }
}

// Loss together with one odd datagram a block, the sender answering every
// request: whatever is handed over whole is the sender's, no block comes
// out twice or from nowhere, and every block is handed over or counted.
TEST(EngineIntegrity, LossWithOddDatagramsHandsOverNothingFalse) {
  using Odd = Bytes (*)(const BlockSender &, std::uint64_t, std::mt19937 &);
  // Leaders from the camera's own port would be its own (a restart): the
  // odd ones come from another port of its host.
  struct OddKind {
    const char *name;
    Odd make;
    std::uint16_t port = camera_port;
  };
  const OddKind odds[] = {
      {"a payload past the block's end",
       [](const BlockSender &s, std::uint64_t id, std::mt19937 &rng) {
         return make_payload(id, s.payloads() + 1 + rng() % 2, s.psize);
       }},
      // Without a size announced, a longer copy of the short last packet
      // cannot be told from it.
      {"an over-long copy of a packet",
       [](const BlockSender &s, std::uint64_t id, std::mt19937 &rng) {
         Bytes d = s.packet(id, 1 + rng() % (s.payloads() - (s.announce ? 0 : 1)));
         d.resize(d.size() + 1 + rng() % 40, std::byte{0xEE});
         return d;
       }},
      {"a leader of another type and time",
       [](const BlockSender &, std::uint64_t id, std::mt19937 &rng) {
         gvsp::Leader odd = raw_leader(0, 99);
         odd.payload_type = 0x8001;
         return make_leader(id + rng() % 2, odd);
       },
       other_port},
  };
  constexpr std::uint64_t blocks = 150;
  for (const auto &[name, odd, odd_port] : odds) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
      SCOPED_TRACE(testing::Message() << name << ", seed " << seed);
      std::mt19937 rng(seed);
      const BlockSender sender{.announce = seed % 2 == 0};
      Stream s;
      s.answering = &sender;
      std::map<std::uint64_t, int> handed;
      for (std::uint64_t id = 1; id <= blocks; ++id) {
        const std::uint32_t at = rng() % (sender.payloads() + 2);
        for (std::uint32_t k = 0; k <= sender.payloads() + 1; ++k) {
          // (Before the camera's first leader the stream has no sender to
          // tell another from: whoever speaks first is heard.)
          if (k == at && (id > 1 || k > 0 || odd_port == camera_port)) {
            s.port = odd_port;
            s.send(odd(sender, id, rng));
            s.port = camera_port;
          }
          if (rng() % 50 != 0) s.send(sender.packet(id, k));
        }
        s.wait(id == blocks ? 400 * ms : 50 * us);
        for (const FinishedBlock &b : s.shell.finished) {
          ++handed[b.desc.block_id];
          EXPECT_TRUE(b.desc.status != ZOK_BLOCK_STATUS_OK || sender.whole(b)) << b.desc.block_id;
        }
        s.shell.finished.clear();
        s.shell.give_back();
      }
      for (const auto &[id, times] : handed) {
        EXPECT_TRUE(id >= 1 && id <= blocks && times == 1) << id << " handed over " << times;
      }
      EXPECT_EQ(handed.size() + s.get(s.counters.blocks_unseen), blocks);
    }
  }
}

}  // namespace
