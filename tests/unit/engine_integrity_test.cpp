// The reassembly core against what real senders and the wire do besides an
// orderly stream: restarts, a changed packet size, strays and datagrams that
// contradict the block they name.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>

#include "lib/core_expect.h"

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
  expect_counts(h.counters, {COUNT(datagrams_refused, 0u), COUNT(blocks_complete, 11u)});
}

// A restarted sender whose first block kept only its leader, whose second
// was lost whole and whose third lost its leader: the third's packets prove
// the new run with its first block, which ends incomplete, and the second
// counts as never seen.
TEST(EngineIntegrity, NewRunProvedJustAfterItsLoneLeaderCountsTheIdsBefore) {
  Harness h({}, 3);
  h.feed(make_leader(21820, raw_leader(0, 1000)), 57 * ms);
  h.feed(make_leader(1, raw_leader(0, 5)), 586 * ms);
  for (std::uint32_t k = 1; k <= 3; ++k) h.feed(make_payload(3, k, 100), 606 * ms + k * us);
  for (Nanos t = 1; t <= 5; ++t) h.tick(t * 1000 * ms);
  expect_counts(h.counters, {COUNT(blocks_incomplete, 3u), COUNT(blocks_unseen, 1u)});
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

constexpr std::uint32_t camera_host = 0x0100007F;
constexpr std::uint32_t other_host = 0x0200007F;
constexpr std::uint16_t camera_port = 0x5000;
constexpr std::uint16_t other_port = 0x6000;

// A stream from the camera's host, ticked as the socket loop does, with (by
// default) a buffer for every block it hands over.
struct Stream : Harness {
  explicit Stream(CoreConfig config = with_resend(2), std::size_t buffers = 80,
                  std::size_t size = 4096)
      : Harness(config, buffers, size) {}
  void send(const Bytes &d) { feed(d, t += us, host, port); }
  void send(const BlockSender &s, std::uint64_t id, std::uint32_t from = 0,
            std::uint32_t to = ~0u) {
    for (std::uint32_t k = from; k <= std::min(to, s.payloads() + 1); ++k) send(s.packet(id, k));
  }
  void wait(Nanos d = ms) { tick(t += d, camera_host, port); }

  Nanos t = 0;
  std::uint32_t host = camera_host;
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

Bytes odd_bytes(std::uint64_t id, std::uint32_t k, std::size_t size) {
  return payload_of(id, k, Bytes(size, std::byte{0xEE}));
}

// What came out, block by block: whole from sender `run`, or (run `bad`)
// handed over with a non-zero status, `status` itself where it is given.
constexpr int bad = -1;
struct Got {
  std::uint64_t id;
  int run;
  std::uint32_t status = 0;
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

using By = const std::vector<BlockSender> &;

// What a case must come to besides the blocks handed over.
struct Expect {
  std::int64_t refused = -1;  // -1: not checked
  std::uint64_t unseen = 0;
  std::uint64_t dropped = 0;                        // dropped or without a buffer
  std::optional<std::vector<Resend>> resends = {};  // what left, where checked
  std::vector<Count> counts = {};
};

struct Setup {
  CoreConfig config = with_resend(2);
  std::size_t buffers = 80;
  std::size_t size = 4096;
};

struct Case {
  const char *name;
  std::vector<BlockSender> senders;  // by run
  void (*play)(Stream &, By);
  std::vector<Got> got;
  Expect expect = {};
  Setup setup = {};
};

CoreConfig dropping() {
  CoreConfig c;
  c.drop_incomplete = true;
  return c;
}

CoreConfig named_sender() {
  CoreConfig c = with_resend();
  c.sender_host = camera_host;
  return c;
}

const BlockSender plain;
const BlockSender restarted{.run = 1};
// Blocks of n payload packets of 100 bytes whose leaders give no size.
constexpr BlockSender unsized(std::uint32_t n) {
  return {.size = n * 100u, .announce = false};
}

// Sequences of datagrams, some crafted from what once led the engine to
// hand over what the sender never sent, or to lose what it did.
TEST(EngineIntegrity, CraftedSequences) {
  const Case cases[] = {
      {"a sender restarted mid-block on its own port",
       {plain, restarted},
       [](Stream &s, By by) {
         s.send(by[0], 1), s.send(by[0], 2), s.send(by[0], 3, 0, 5);
         for (std::uint64_t id = 1; id <= 3; ++id) s.send(by[1], id);
       },
       seq(1, 2, 0) + seq(3, 3, bad) + seq(1, 3, 1),
       {.refused = 0}},
      // Its new leader lost, nothing tells the runs apart but a packet both
      // sent with other bytes: the block is not whole.
      {"a sender restarted mid-block on its own port, its new leader lost",
       {plain, restarted},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 5);
         s.send(by[1], 1, 5);
       },
       {{1, bad, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE}}},
      {"a sender restarted mid-block on a new port",
       {plain, restarted},
       [](Stream &s, By by) {
         s.send(by[0], 1), s.send(by[0], 2), s.send(by[0], 3, 0, 5);
         s.port = other_port;
         s.t += 2 * ms;
         for (std::uint64_t id = 1; id <= 3; ++id) s.send(by[1], id);
       },
       seq(1, 2, 0) + seq(3, 3, bad) + seq(1, 3, 1),
       {.refused = 0}},
      {"a packet's id from another port of the camera's host",
       {plain},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 2);
         s.port = other_port;
         s.send(odd_bytes(1, 3, 100));
         s.port = camera_port;
         s.send(by[0], 1, 3);
       },
       seq(1, 1, 0),
       {.refused = 1}},
      {"another host's packets among the sender's",
       {unsized(3)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 1);
         s.host = other_host;
         s.send(odd_bytes(1, 2, 100));
         s.host = camera_host;
         s.send(by[0], 1, 3, 3);
         EXPECT_EQ(s.core.sender_host(), camera_host);  // where the resend of 2 goes
         s.send(by[0], 1, 2, 2);
         s.host = other_host;
         s.send(by[0], 1, 4, 4);
         s.host = camera_host;
         s.send(by[0], 1, 4, 4);
       },
       seq(1, 1, 0),
       {.refused = 2},
       {.config = with_resend()}},
      {"a stream that names its sender hears no one else, leaders included",
       {unsized(2)},
       [](Stream &s, By by) {
         s.send(by[0], 1);
         s.host = other_host;
         s.send(by[0], 2, 0, 1);
         EXPECT_EQ(s.core.sender_host(), camera_host);
       },
       seq(1, 1, 0),
       {.refused = 2},
       {.config = named_sender()}},
      {"a payload past the end of a block whose leader gives no size",
       {{.announce = false}},
       [](Stream &s, By by) {
         s.answering = &by[0];
         s.send(by[0], 1, 0, 9), s.send(make_payload(1, 11, 100)), s.send(by[0], 1, 10);
       },
       seq(1, 1, 0)},
      // Quiet for a block timeout before the block's leader came, a stray
      // trailer had ended as nothing: it no longer tells the block's end.
      {"a stray trailer long before the block it names",
       {plain},
       [](Stream &s, By by) {
         s.send(make_trailer(1, 4));
         s.t += 2000 * ms;
         s.send(by[0], 1);
       },
       seq(1, 1, 0),
       {.refused = 1},
       {.config = {}}},
      {"packet ids past the block's end: refused, nothing asked for",
       {{.size = 14640, .psize = 1464}},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 5), s.send(make_payload(1, 13, 1464));
         s.send(make_payload(1, 0xFFFFFF, 1464)), s.send(by[0], 1, 6);
       },
       seq(1, 1, 0),
       {.refused = 2, .resends = {{}}},
       {.config = with_resend(), .size = 16384}},
      // Strays name the block after the newest, before the sender gets
      // there; alone, they are no block at all.
      {"strays ahead neither displace nor invent a block",
       {unsized(3)},
       [](Stream &s, By by) {
         s.send(by[0], 1), s.send(odd_bytes(2, 2, 100)), s.send(odd_bytes(2, 4, 100));
         s.send(by[0], 2);
         s.wait(10 * ms);
         s.send(odd_bytes(3, 2, 100));
         s.wait(2000 * ms);
         EXPECT_EQ(s.shell.finished.size(), 2u);
         s.send(by[0], 3);
       },
       seq(1, 3, 0),
       {.refused = 3, .resends = {{}}, .counts = {COUNT(blocks_incomplete, 0)}},
       {.config = with_resend()}},
      // A longer copy of a packet, a short one not the last, the last one
      // padded; a short one before any packet of its block cannot set that
      // block's packet size; where the leader gives no size, a short packet
      // is the last one until a full one after it shows otherwise.
      {"packets of the wrong length",
       {{.size = 16384, .psize = 1464}, unsized(3)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 1), s.send(odd_bytes(1, 1, 2000)), s.send(by[0], 1, 2, 3);
         s.send(odd_bytes(1, 5, 100)), s.send(odd_bytes(1, 12, 1464)), s.send(by[0], 1, 4);
         EXPECT_EQ(s.get(s.counters.datagrams_refused), 3u);
         s.send(by[0], 3, 0, 0), s.send(odd_bytes(3, 3, 100)), s.send(by[0], 3, 1);
         EXPECT_EQ(s.get(s.counters.datagrams_refused), 4u);
         s.send(by[1], 2, 0, 1), s.send(odd_bytes(2, 2, 40)), s.send(by[1], 2, 3, 3);
         s.send(by[1], 2, 2, 2), s.send(by[1], 2, 4, 4);
       },
       {{1, 0}, {3, 0}, {2, 1}},
       {.refused = 5},
       {.config = {}, .size = 32768}},
      {"a short last packet first",
       {{.size = 240, .announce = false}},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 0), s.send(by[0], 1, 3, 3), s.send(by[0], 1, 1, 2);
         s.send(by[0], 1, 4);
       },
       seq(1, 1, 0),
       {},
       {.config = {}}},
      // The rest of the block is late traffic then, not a new block.
      {"data past the buffer's end ends the block without writing it",
       {unsized(3)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 3);  // bytes 200..299 of a 250-byte buffer
         ASSERT_EQ(s.shell.finished.size(), 1u);
         EXPECT_EQ(s.shell.finished[0].desc.payload_length, 200u);
         s.send(by[0], 1, 4);
       },
       {{1, bad, ZOK_BLOCK_STATUS_DATA_OVERRUN}},
       {.refused = 0, .counts = {COUNT(blocks_incomplete, 1)}},
       {.config = {}, .buffers = 2, .size = 250}},
      // Refused as they are, its packets past the buffer show it the
      // sender's like any others: it ends counted, not taken for strays.
      {"a block too long for the buffers, its leader lost, ends with an overrun",
       {unsized(4)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 0);
         s.send(by[0], 2, 3, 4);  // both past a 250-byte buffer
         s.send(by[0], 3, 1, 1), s.send(by[0], 3, 3, 4);
         s.wait(2000 * ms);
       },
       {{2, bad, ZOK_BLOCK_STATUS_DATA_OVERRUN},
        {3, bad, ZOK_BLOCK_STATUS_DATA_OVERRUN},
        {1, bad}},
       {.counts = {COUNT(blocks_incomplete, 3)}},
       {.config = {}, .buffers = 3, .size = 250}},
      {"all-in blocks keep the sender's status and type",
       {},
       [](Stream &s, By) {
         s.send(all_in(1, 48, 0x8001));
         s.send(all_in(2, 100, 0));  // larger than the buffer
         ASSERT_EQ(s.shell.finished.size(), 2u);
         for (const FinishedBlock &b : s.shell.finished) {
           EXPECT_EQ(b.desc.payload_type, gvsp::payload_type_raw);
         }
         EXPECT_EQ(s.shell.finished[1].desc.raw_data.payload_data_size, 100u);
       },
       {{1, bad, 0x8001}, {2, bad, ZOK_BLOCK_STATUS_DATA_OVERRUN}},
       {.counts = {COUNT(blocks_incomplete, 2)}},
       {.config = {}, .buffers = 2, .size = 64}},
      {"a leader with no buffer for it skips that block once",
       {unsized(3)},
       [](Stream &s, By by) {
         s.send(by[0], 1);
         s.shell.add_buffers(1, 4096);
         s.send(by[0], 2);
       },
       seq(2, 2, 0),
       {.refused = 0, .dropped = 1, .counts = {COUNT(blocks_not_available, 1)}},
       {.config = {}, .buffers = 0}},
      {"no retries: nothing is asked for, the block ends at its trailer",
       {unsized(2)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 0), s.send(by[0], 1, 2);  // packet 1 lost
       },
       {{1, bad, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE}},
       {.resends = {{}}},
       {.config = with_resend(0)}},
      {"a 'packet unavailable' answer fails the packet at once",
       {unsized(2)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 0), s.send(by[0], 1, 2);
         s.wait();
         s.send(make_error(1, 1, gvsp::status_packet_unavailable));
         EXPECT_EQ(s.shell.finished.size(), 1u);
       },
       {{1, bad, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE}},
       {.refused = 0, .counts = {COUNT(resend_requests, 1), COUNT(resend_requests_failed, 1)}},
       {.config = with_resend(5)}},
      {"incomplete without resend, returned at its trailer",
       {unsized(2)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 1), s.send(by[0], 1, 3);
         EXPECT_EQ(s.shell.finished.size(), 1u);
         EXPECT_EQ(s.shell.recycled, 0);
       },
       {{1, bad}},
       {.counts = {COUNT(blocks_incomplete, 1), COUNT(blocks_dropped, 0)}},
       {.config = {}}},
      {"incomplete without resend, dropped at its trailer",
       {unsized(2)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 1), s.send(by[0], 1, 3);
         EXPECT_EQ(s.shell.recycled, 1);
       },
       {},
       {.dropped = 1, .counts = {COUNT(blocks_incomplete, 1), COUNT(blocks_dropped, 1)}},
       {.config = dropping()}},
      {"the stream's first block without its leader is asked for and counted",
       {unsized(2)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 1);
         s.wait(2 * ms);
         s.send(by[0], 1, 0, 0);
       },
       seq(1, 1, 0),
       {.resends = {{{1, 0, 0}}}, .counts = {COUNT(blocks_complete, 1)}},
       {.config = with_resend()}},
      // Instead of vanishing.
      {"without resend, a block without its leader still ends, incomplete",
       {unsized(1)},
       [](Stream &s, By by) {
         s.send(by[0], 5, 1);
         EXPECT_EQ(s.shell.finished.size(), 1u);
       },
       {{5, bad}},
       {.counts = {COUNT(blocks_incomplete, 1)}},
       {.config = {}}},
      // Once a second packet shows the first is no stray.
      {"a lost leader of a later block is asked for",
       {unsized(2), unsized(1)},
       [](Stream &s, By by) {
         s.send(by[0], 1), s.send(by[1], 2, 1, 1);
         EXPECT_TRUE(s.shell.resends.empty());
         s.send(by[1], 2, 2, 2);
         s.wait();
         s.send(by[1], 2, 0, 0);
         EXPECT_EQ(s.shell.finished.at(1).desc.payload_type, GVSP_PAYLOAD_TYPE_RAW_DATA);
       },
       {{1, 0}, {2, 1}},
       {.resends = {{{2, 0, 0}}}},
       {.config = with_resend()}},
      // Strays must not cost a real block that lost its leader: out of
      // order, its packets never follow on one from another.
      {"a block without its leader sent out of order is still counted",
       {unsized(3), unsized(6)},
       [](Stream &s, By by) {
         s.send(by[0], 1);
         for (std::uint32_t k : {5u, 3u, 1u, 4u}) s.send(by[1].packet(2, k));
         s.send(by[1], 2, 7);  // packet 6 lost too
       },
       {{1, 0}, {2, bad, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE}},
       {.refused = 0, .counts = {COUNT(blocks_incomplete, 1)}},
       {.config = {}}},
      // Asks go out at the end of the batch, for every type that gives a size.
      {"a lost tail is asked for when the next block starts",
       {{.size = 300}},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 2);  // packet 3 and the trailer are lost
         s.send(by[0], 2, 0, 0);
         s.wait();
         EXPECT_EQ(s.shell.resends, (std::vector<Resend>{{1, 3, 4}}));
       },
       {{1, bad}, {2, bad}},
       {},
       {.config = with_resend()}},
      {"a lost tail of a JPEG block is asked for when the next block starts",
       {},
       [](Stream &s, By) {
         gvsp::Leader jpeg;
         jpeg.payload_type = gvsp::payload_type_jpeg;
         jpeg.payload_data_size = 300;
         s.send(make_leader(1, jpeg));
         s.send(make_payload(1, 1, 100)), s.send(make_payload(1, 2, 100));
         s.send(make_leader(2, jpeg));
         s.wait();
         EXPECT_EQ(s.shell.resends, (std::vector<Resend>{{1, 3, 4}}));
       },
       {{1, bad}, {2, bad}},
       {},
       {.config = with_resend()}},
      {"losses around a hold are blamed on it",
       {unsized(2), unsized(1)},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 1);
         s.core.note_hold_released();
         s.core.end_batch();
         s.send(by[0], 1, 3);  // packet 2 was lost while held
         s.send(by[1], 2);     // a whole block after the hold is no loss
       },
       {{1, bad}, {2, 1}},
       {.counts = {COUNT(blocks_incomplete, 1), COUNT(blocked_blocks_dropped, 1)}},
       {.config = {}}},
      {"a 'not yet available' answer, then the packet",
       {plain},
       [](Stream &s, By by) {
         s.send(by[0], 1, 0, 4), s.send(by[0], 1, 6);
         s.wait();
         s.send(make_error(1, 5, gvsp::status_packet_not_yet_available)), s.send(by[0], 1, 5, 5);
       },
       seq(1, 1, 0)},
      // From the camera's own port a leader is the camera's: a restart, or
      // a block lost but for its leader.
      {"stray leaders from the camera's host for a finished block and for one never sent",
       {plain},
       [](Stream &s, By by) {
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
       {.refused = 2}},
      {"a late copy of a leader once the next block began",
       {plain},
       [](Stream &s, By by) {
         s.answering = &by[0];
         s.send(by[0], 1), s.send(by[0], 2, 1);
         s.wait();
         s.send(by[0], 3, 0, 0), s.send(by[0].packet(2, 0)), s.send(by[0], 3, 1);
         s.wait(400 * ms);
       },
       seq(1, 3, 0)},
      {"an over-long copy of a packet before the packet",
       {plain},
       [](Stream &s, By by) {
         s.answering = &by[0];
         s.send(by[0], 1, 0, 0);
         Bytes longer = by[0].packet(1, 3);
         longer.resize(longer.size() + 20, std::byte{0xEE});
         s.send(longer), s.send(by[0], 1, 1);
       },
       seq(1, 1, 0)},
      // Before the leader, a copy longer than the one packet so far: that
      // packet may be the short last one, until two full ones outvote it.
      {"an over-long copy, then packets that agree with the first",
       {plain},
       [](Stream &s, By by) {
         s.answering = &by[0];
         Bytes longer = by[0].packet(1, 1);
         longer.resize(longer.size() + 54, std::byte{0xEE});
         s.send(by[0], 1, 5, 5), s.send(longer), s.send(by[0], 1, 3, 3);
         s.send(by[0], 1, 0, 0), s.send(by[0], 1, 1);
       },
       seq(1, 1, 0),
       {.refused = 1, .resends = {{}}},
       {.config = with_resend()}},
      {"a restart seen after more than the blocks remembered, its leader lost",
       {{.kind = HeaderKind::extended}, {.run = 1, .kind = HeaderKind::extended}},
       [](Stream &s, By by) {
         s.answering = &by[1];
         for (std::uint64_t id = 1; id <= 70; ++id) s.send(by[0], id);
         s.send(by[1], 1), s.send(by[1], 2, 1);
         s.wait();
         s.send(by[1], 3);
       },
       seq(1, 70, 0) + seq(1, 3, 1),
       {.refused = 0}},
      {"a line-scan frame cut short by its trailer",
       {{.size = 600}},
       [](Stream &s, By by) {
         s.send(image_leader(1, 100)), s.send(by[0], 1, 1, 6), s.send(image_trailer(1, 7, 60));
       },
       seq(1, 1, 0),
       {.refused = 0}},
      {"a late image leader of an id whose raw block came leaderless, trailer and all",
       {plain},
       [](Stream &s, By by) {
         s.send(by[0], 1, 1);
         s.send(image_leader(1, 200));
       },
       seq(1, 1, bad)},
      {"blocks lost whole before the engine",
       {plain},
       [](Stream &s, By by) {
         for (std::uint64_t id : {1, 2, 3, 7, 8}) s.send(by[0], id);
       },
       seq(1, 3, 0) + seq(7, 8, 0),
       {.refused = 0, .unseen = 3}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Stream s(c.setup.config, c.setup.buffers, c.setup.size);
    c.play(s, c.senders);
    s.wait();
    s.core.abandon_all(s.t);
    EXPECT_EQ(s.shell.finished.size(), c.got.size());
    for (std::size_t i = 0; i < std::min(c.got.size(), s.shell.finished.size()); ++i) {
      const FinishedBlock &b = s.shell.finished[i];
      const Got &g = c.got[i];
      EXPECT_EQ(b.desc.block_id, g.id) << "block " << i;
      if (g.run == bad) {
        EXPECT_NE(b.desc.status, ZOK_BLOCK_STATUS_OK) << "block " << i;
        if (g.status != 0) {
          EXPECT_EQ(b.desc.status, g.status) << "block " << i;
        }
      } else {
        EXPECT_TRUE(c.senders[g.run].whole(b)) << "block " << i << " status " << b.desc.status;
      }
    }
    if (c.expect.refused >= 0) {
      EXPECT_EQ(s.get(s.counters.datagrams_refused), static_cast<std::uint64_t>(c.expect.refused));
    }
    if (c.expect.resends) {
      EXPECT_EQ(s.shell.resends, *c.expect.resends);
    }
    expect_counts(s.counters, c.expect.counts);
    EXPECT_EQ(s.get(s.counters.blocks_unseen), c.expect.unseen);
    zok_info_record info{};
    s.counters.snapshot(info);
    EXPECT_EQ(info.blocks_dropped, c.expect.unseen + c.expect.dropped);
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
