// strobix over loopback into a test socket: what it sends, how it answers
// resend requests, its pacing, its output and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "lib/host_load.h"
#include "lib/pattern.h"
#include "lib/strobix_runs.h"

namespace {

using strobix_test::Datagram;
using namespace std::chrono_literals;
using Outcome = testlib::Exit;
using strobix_test::Receiver;
using strobix_test::Strobix;
using strobix_test::Summary;
using strobix_test::summary_of;

constexpr auto kStd = gvsp::HeaderKind::standard;
constexpr auto kExt = gvsp::HeaderKind::extended;

struct Capture {
  std::vector<Datagram> datagrams;
  std::vector<gvsp::Packet> packets;  // views into datagrams
  Outcome outcome;
};

// Runs strobix to its end with the given options and the receiver as its
// destination; -W 0 unless the options say otherwise.
Capture capture(Receiver &rx, std::vector<std::string> args, bool sends = true) {
  if (std::find(args.begin(), args.end(), "-W") == args.end()) {
    args.insert(args.end(), {"-W", "0"});
  }
  args.insert(args.end(), {"-l", "127.0.0.1:0", rx.endpoint()});
  Strobix s(args);
  Capture r;
  // A loaded machine can take a while to start it.
  if (sends) rx.wait_first(10000);
  r.datagrams = rx.take(400);
  r.outcome = s.finish();
  for (const Datagram &d : r.datagrams) r.packets.push_back(strobix_test::parse(d));
  return r;
}

// strobix -c's pattern in one payload packet, from `offset` in its block.
::testing::AssertionResult has_pattern(const gvsp::Packet &p, std::uint64_t offset) {
  if (testlib::pattern_holds(p.data.data(), p.data.size(), p.header.block_id, offset)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "block " << p.header.block_id << " packet " << p.header.packet_id
         << " is not the pattern from " << offset;
}

// Packets of one block, by id, in arrival order.
std::vector<const gvsp::Packet *> of_block(const Capture &r, std::uint64_t block_id) {
  std::vector<const gvsp::Packet *> out;
  for (const auto &p : r.packets) {
    if (p.header.block_id == block_id) out.push_back(&p);
  }
  return out;
}

// ---------------------------------------------------------------------------
// What a block looks like on the wire

TEST(Strobix, SendsTheLeaderPayloadAndTrailerOfEveryBlock) {
  Receiver rx;
  const Capture r = capture(rx, {"-c", "-n", "2", "-s", "10001"});
  ASSERT_EQ(r.outcome.status, 0) << r.outcome.err;
  ASSERT_EQ(r.packets.size(), 2u * 9);  // 1464-byte packets: 6 full, 1 of 1217
  for (std::uint64_t block : {1u, 2u}) {
    const auto ps = of_block(r, block);
    ASSERT_EQ(ps.size(), 9u);
    for (std::uint32_t k = 0; k < 9; ++k) {
      const gvsp::Packet &p = *ps[k];
      EXPECT_EQ(p.header.packet_id, k);
      EXPECT_EQ(p.header.kind, kStd);
      EXPECT_EQ(p.header.status, 0);
    }
    EXPECT_EQ(ps[0]->kind, gvsp::PacketKind::leader);
    EXPECT_EQ(ps[0]->leader.payload_type, gvsp::payload_type_raw);
    EXPECT_EQ(ps[0]->leader.payload_data_size, 10001u);
    EXPECT_NE(ps[0]->leader.timestamp, 0u);
    for (std::uint32_t k = 1; k <= 7; ++k) {
      ASSERT_EQ(ps[k]->kind, gvsp::PacketKind::payload);
      EXPECT_EQ(ps[k]->data.size(), k < 7 ? 1464u : 10001u - 6 * 1464);
      EXPECT_TRUE(has_pattern(*ps[k], (k - 1) * 1464u));
    }
    EXPECT_EQ(ps[8]->kind, gvsp::PacketKind::trailer);
    EXPECT_EQ(ps[8]->trailer.payload_type, gvsp::payload_type_raw);
  }
  // Full packets are exactly the stream packet size less IP and UDP headers.
  EXPECT_EQ(r.datagrams[1].bytes.size(), 1500u - 28);
  const Summary s = summary_of(r.outcome.out);
  ASSERT_TRUE(s.found) << r.outcome.out;
  EXPECT_EQ(s.blocks, 2u);
  EXPECT_EQ(s.packets, 18u);
  unsigned long long bytes = 0;
  for (const auto &d : r.datagrams) bytes += d.bytes.size();
  EXPECT_EQ(s.bytes, bytes);
}

TEST(Strobix, PatternHoldsThroughBlocksLargerThanItsPeriod) {
  // The word index wraps at 65536 words, 256 KiB into the block.
  Receiver rx;
  const Capture r = capture(rx, {"-c", "-n", "2", "-I", "300", "-s", "600001", "-k", "9000"});
  ASSERT_EQ(r.outcome.status, 0) << r.outcome.err;
  ASSERT_EQ(r.packets.size(), 2u * (67 + 2));  // 8964 data bytes a packet
  for (const auto &p : r.packets) {
    if (p.kind != gvsp::PacketKind::payload) continue;
    EXPECT_TRUE(has_pattern(p, (p.header.packet_id - 1) * (9000u - 36)));
  }
}

TEST(Strobix, LeadersAndTrailersFollowThePayloadType) {
  Receiver rx;
  {
    const Capture r = capture(rx, {"-y", "image", "-g", "100x30", "-k", "1000"});
    ASSERT_EQ(r.outcome.status, 0) << r.outcome.err;
    ASSERT_GE(r.packets.size(), 3u);
    const gvsp::Leader &l = r.packets.front().leader;
    EXPECT_EQ(l.payload_type, gvsp::payload_type_image);
    EXPECT_EQ(l.pixel_format, gvsp::pixel_format_mono8);
    EXPECT_EQ(l.size_x, 100u);
    EXPECT_EQ(l.size_y, 30u);
    EXPECT_EQ(r.packets.back().kind, gvsp::PacketKind::trailer);
    EXPECT_EQ(r.packets.back().trailer.size_y, 30u);
    EXPECT_EQ(r.packets.size(), 2u + 4);  // 3000 bytes in 964-byte packets
  }
  {
    const Capture r = capture(rx, {"-y", "file", "-s", "5000"});
    ASSERT_GE(r.packets.size(), 3u);
    EXPECT_EQ(r.packets.front().leader.payload_type, gvsp::payload_type_file);
    EXPECT_EQ(r.packets.front().leader.payload_data_size, 5000u);
    EXPECT_FALSE(r.packets.front().leader.file_name.empty());
    EXPECT_EQ(r.packets.back().trailer.payload_type, gvsp::payload_type_file);
  }
  {
    const Capture r = capture(rx, {"-y", "chunk", "-s", "4000"});
    ASSERT_GE(r.packets.size(), 3u);
    EXPECT_EQ(r.packets.front().leader.payload_type, gvsp::payload_type_chunk);
    EXPECT_EQ(r.packets.back().trailer.chunk_data_payload_length, 4000u);
  }
  {
    const Capture r = capture(rx, {"-y", "extchunk", "-g", "64x8", "-2"});
    ASSERT_GE(r.packets.size(), 3u);
    EXPECT_EQ(r.packets.front().leader.payload_type, gvsp::payload_type_extended_chunk);
    EXPECT_EQ(r.packets.front().leader.size_x, 64u);
    EXPECT_EQ(r.packets.back().trailer.size_y, 8u);
    EXPECT_EQ(r.packets.back().trailer.chunk_data_payload_length, 512u);
  }
}

TEST(Strobix, BlockIdsWrapOrWidenWithTheHeaderKind) {
  Receiver rx;
  {
    const Capture r = capture(rx, {"-I", "65535", "-n", "3", "-s", "100"});
    ASSERT_EQ(r.packets.size(), 9u);
    EXPECT_EQ(r.packets[0].header.block_id, 65535u);
    EXPECT_EQ(r.packets[3].header.block_id, 1u);
    EXPECT_EQ(r.packets[6].header.block_id, 2u);
  }
  {
    const Capture r = capture(rx, {"-2", "-I", "65535", "-n", "2", "-s", "100"});
    ASSERT_EQ(r.packets.size(), 6u);
    EXPECT_EQ(r.packets[0].header.kind, kExt);
    EXPECT_EQ(r.packets[3].header.block_id, 65536u);
    EXPECT_EQ(r.datagrams[1].bytes.size(), 20u + 100);
  }
  {
    const Capture r = capture(rx, {"-2", "-I", "4294967296", "-n", "2", "-s", "100"});
    ASSERT_EQ(r.packets.size(), 6u);
    EXPECT_EQ(r.packets[0].header.block_id, 4294967296u);
    EXPECT_EQ(r.packets[5].header.block_id, 4294967297u);
  }
  const Capture wide = capture(rx, {"-I", "65536", "-s", "100"}, false);
  EXPECT_EQ(wide.outcome.status, 255);
  EXPECT_TRUE(wide.packets.empty());
}

TEST(Strobix, AllInPacketsCarrySmallBlocksWhole) {
  Receiver rx;
  const Capture r = capture(rx, {"-a", "-c", "-n", "2", "-s", "1000"});
  ASSERT_EQ(r.outcome.status, 0) << r.outcome.err;
  ASSERT_EQ(r.packets.size(), 2u);
  for (const auto &p : r.packets) {
    ASSERT_EQ(p.kind, gvsp::PacketKind::all_in);
    EXPECT_EQ(p.leader.payload_data_size, 1000u);
    EXPECT_EQ(p.data.size(), 1000u);
    EXPECT_TRUE(has_pattern(p, 0));
  }
  // A block too big for one packet goes the usual way.
  const Capture big = capture(rx, {"-a", "-s", "1500"});
  ASSERT_EQ(big.packets.size(), 4u);
  EXPECT_EQ(big.packets[0].kind, gvsp::PacketKind::leader);
}

TEST(Strobix, OutOfOrderAndTwiceKeepEveryPayloadPacket) {
  Receiver rx;
  const Capture o = capture(rx, {"-O", "-c", "-s", "30000"});  // 21 payload packets
  ASSERT_EQ(o.packets.size(), 23u);
  EXPECT_EQ(o.packets.front().kind, gvsp::PacketKind::leader);
  EXPECT_EQ(o.packets.back().kind, gvsp::PacketKind::trailer);
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 1; i + 1 < o.packets.size(); ++i) {
    ids.push_back(o.packets[i].header.packet_id);
    EXPECT_TRUE(has_pattern(o.packets[i], (o.packets[i].header.packet_id - 1) * 1464u));
  }
  EXPECT_FALSE(std::is_sorted(ids.begin(), ids.end()));
  std::sort(ids.begin(), ids.end());
  for (std::uint32_t k = 0; k < ids.size(); ++k) EXPECT_EQ(ids[k], k + 1);

  // Bounded: out of order, yet no packet more than 3 places from its own.
  const Capture near = capture(rx, {"-O3", "-s", "30000"});
  ASSERT_EQ(near.packets.size(), 23u);
  EXPECT_EQ(near.packets.back().kind, gvsp::PacketKind::trailer);
  ids.clear();
  for (std::size_t i = 1; i + 1 < near.packets.size(); ++i) {
    const std::uint32_t id = near.packets[i].header.packet_id;
    ids.push_back(id);
    EXPECT_LE(std::max<std::size_t>(id, i) - std::min<std::size_t>(id, i), 3u) << id << " at " << i;
  }
  EXPECT_FALSE(std::is_sorted(ids.begin(), ids.end()));
  std::sort(ids.begin(), ids.end());
  for (std::uint32_t k = 0; k < ids.size(); ++k) EXPECT_EQ(ids[k], k + 1);

  const Capture u = capture(rx, {"-U", "-s", "5000"});  // 4 payload packets
  ASSERT_EQ(u.packets.size(), 2u + 8);
  std::map<std::uint32_t, int> seen;
  for (const auto &p : u.packets) {
    ++seen[p.header.packet_id];
    // Without -c the data is zeros.
    EXPECT_TRUE(
        std::all_of(p.data.begin(), p.data.end(), [](std::byte b) { return b == std::byte{0}; }));
  }
  EXPECT_EQ(seen[0], 1);
  EXPECT_EQ(seen[5], 1);
  for (std::uint32_t k = 1; k <= 4; ++k) EXPECT_EQ(seen[k], 2) << k;
  EXPECT_EQ(summary_of(u.outcome.out).packets, 10u);
}

TEST(Strobix, DropsOnlyTheNamedOrDrawnPackets) {
  Receiver rx;
  const Capture d = capture(rx, {"-n", "2", "-s", "10000", "--drop", "1:3", "--drop", "2:0", "-v"});
  ASSERT_EQ(d.outcome.status, 0) << d.outcome.err;
  std::set<std::pair<std::uint64_t, std::uint32_t>> got;
  for (const auto &p : d.packets) got.insert({p.header.block_id, p.header.packet_id});
  EXPECT_EQ(got.size(), 16u);
  EXPECT_FALSE(got.count({1, 3}));
  EXPECT_FALSE(got.count({2, 0}));
  EXPECT_NE(d.outcome.out.find("Block 1: 8 packets sent, 1 dropped"), std::string::npos)
      << d.outcome.out;

  // A seeded loss draw: the same seed loses the same packets, about the share asked.
  auto lost = [&](const char *seed) {
    const Capture l =
        capture(rx, {"-L", "20", "--seed", seed, "-n", "4", "-s", "146400", "-r", "50"});
    std::set<std::pair<std::uint64_t, std::uint32_t>> have;
    for (const auto &p : l.packets) have.insert({p.header.block_id, p.header.packet_id});
    EXPECT_EQ(summary_of(l.outcome.out).packets, have.size());
    return have;
  };
  const auto a = lost("7");
  const auto b = lost("7");
  const auto c = lost("8");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  const double kept = static_cast<double>(a.size()) / (4 * 102);
  EXPECT_GT(kept, 0.72);
  EXPECT_LT(kept, 0.88);
}

// ---------------------------------------------------------------------------
// Pacing

TEST(Strobix, HoldsTheBlockRateWithoutSpinning) {
  Receiver rx;
  const testlib::HostLoad host;
  Strobix s({"-r", "20", "-n", "21", "-s", "1000", "-W", "0", "-l", "127.0.0.1:0", rx.endpoint()});
  ASSERT_TRUE(rx.wait_first(10000));
  const auto got = rx.take(500, 5000);
  const Outcome o = s.finish();
  std::vector<std::int64_t> leaders;
  for (const auto &d : got) {
    if (strobix_test::parse(d).kind == gvsp::PacketKind::leader) leaders.push_back(d.at_us);
  }
  ASSERT_EQ(leaders.size(), 21u);
  const double span = static_cast<double>(leaders.back() - leaders.front()) / 1e6;
  // A sender kept waiting for a CPU keeps no pace.
  if (!host.busy()) {
    EXPECT_NEAR(span, 1.0, 0.1);
  }
  EXPECT_LT(o.cpu_seconds, 0.25) << "a slow rate should sleep, not spin";
}

TEST(Strobix, HoldsTheBandwidthCap) {
  Receiver rx;
  const testlib::HostLoad host;
  // 40 Mbit/s for a second: 5 MB.
  Strobix s({"-R", "40", "-n", "-1", "-T", "1", "-s", "100000", "-W", "0", "-l", "127.0.0.1:0",
             rx.endpoint()});
  ASSERT_TRUE(rx.wait_first(10000));
  const auto got = rx.take(500, 5000);
  const Outcome o = s.finish();
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_GT(got.size(), 10u);
  unsigned long long bytes = 0;
  for (const auto &d : got) bytes += d.bytes.size();
  const double span = static_cast<double>(got.back().at_us - got.front().at_us) / 1e6;
  const double mbits = static_cast<double>(bytes) * 8 / span / 1e6;
  EXPECT_LT(span, 1.1);
  EXPECT_LT(mbits, 46.0);
  // A sender kept waiting for a CPU sends less in its second, never more.
  if (!host.busy()) {
    EXPECT_GT(span, 0.8);
    EXPECT_GT(mbits, 34.0);
  }
  EXPECT_LT(o.cpu_seconds, 0.5);
}

// ---------------------------------------------------------------------------
// Resend requests

struct Live {
  Receiver rx;
  std::unique_ptr<Strobix> s;
  std::vector<Datagram> first;
  sockaddr_in control{};
};

// Starts strobix lingering long enough to be talked to, and takes the first sending.
void start_live(Live &live, std::vector<std::string> args) {
  args.insert(args.end(), {"-W", "20000", "-l", "127.0.0.1:0", live.rx.endpoint()});
  live.s = std::make_unique<Strobix>(args);
  live.rx.wait_first(10000);
  live.first = live.rx.take(300);
  if (!live.first.empty()) live.control = live.first.front().from;
}

Outcome stop_live(Live &live) {
  live.s->signal(SIGTERM);
  return live.s->finish();
}

TEST(StrobixResend, AnswersFromHistoryWithTheResentStatusOrFlag) {
  for (auto kind : {kStd, kExt}) {
    Live live;
    std::vector<std::string> args{"-c", "-n", "2", "-s", "10000"};
    if (kind == kExt) args.push_back("-2");
    start_live(live, args);
    ASSERT_EQ(live.first.size(), 18u);
    live.rx.send_to(live.control, strobix_test::resend_command(kind, 1, 2, 4, 7));
    live.rx.send_to(live.control, strobix_test::resend_command(kind, 2, 0, 0, 8));
    live.rx.send_to(live.control, strobix_test::resend_command(kind, 2, 8, 8, 9));
    const auto again = live.rx.take(1000);
    ASSERT_EQ(again.size(), 5u);
    const std::vector<std::pair<std::uint64_t, std::uint32_t>> want = {
        {1, 2}, {1, 3}, {1, 4}, {2, 0}, {2, 8}};
    for (std::size_t i = 0; i < again.size(); ++i) {
      const gvsp::Packet p = strobix_test::parse(again[i]);
      EXPECT_EQ(p.header.block_id, want[i].first);
      EXPECT_EQ(p.header.packet_id, want[i].second);
      EXPECT_TRUE(gvsp::is_resent(p.header));
      if (kind == kStd) {
        EXPECT_EQ(p.header.status, gvsp::status_packet_resent);
      } else {
        EXPECT_EQ(p.header.status, 0);
        EXPECT_EQ(p.header.flags, gvsp::flag_packet_resent);
      }
      // Byte for byte the first sending, apart from the resent mark.
      const Datagram &orig = live.first[(want[i].first - 1) * 9 + want[i].second];
      ASSERT_EQ(orig.bytes.size(), again[i].bytes.size());
      const std::size_t from = kind == kStd ? 2 : 4;
      EXPECT_TRUE(
          std::equal(orig.bytes.begin() + from, orig.bytes.end(), again[i].bytes.begin() + from));
    }
    const Outcome o = stop_live(live);
    EXPECT_EQ(o.status, 0);
    const Summary s = summary_of(o.out);
    ASSERT_TRUE(s.found) << o.out;
    EXPECT_EQ(s.requests, 3u);
    EXPECT_EQ(s.resent, 5u);
    EXPECT_EQ(s.unavailable, 0u);
    EXPECT_EQ(s.malformed, 0u);
    EXPECT_EQ(s.packets, 18u);
  }
}

TEST(StrobixResend, DroppedPacketsComeBackWhenAsked) {
  // Every first sending is lost, so the control port cannot be learnt from
  // the stream: give strobix one.
  Live live;
  const std::uint16_t port = testlib::free_port();
  live.control.sin_family = AF_INET;
  live.control.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  live.control.sin_port = htons(port);
  live.s = std::make_unique<Strobix>(std::vector<std::string>{
      "-v", "-n", "1", "-s", "10000", "-L", "100", "--drop", "1:4", "-W", "20000", "-l",
      "127.0.0.1:" + std::to_string(port), live.rx.endpoint()});
  ASSERT_TRUE(live.s->wait_for_out("Block 1: 0 packets sent, 9 dropped", 10s));
  EXPECT_TRUE(live.rx.take(100).empty());
  live.rx.send_to(live.control, strobix_test::resend_command(kStd, 1, 0, 8));
  const auto again = live.rx.take(1000);
  ASSERT_EQ(again.size(), 9u);
  for (std::uint32_t k = 0; k < 9; ++k) {
    EXPECT_EQ(strobix_test::parse(again[k]).header.packet_id, k);
    EXPECT_EQ(strobix_test::parse(again[k]).header.status, gvsp::status_packet_resent);
  }
  const Summary s = summary_of(stop_live(live).out);
  EXPECT_EQ(s.packets, 0u);
  EXPECT_EQ(s.resent, 9u);
}

TEST(StrobixResend, PacketsNoLongerHeldAreUnavailable) {
  Live live;
  start_live(live, {"-n", "3", "-s", "3000", "-H", "1"});  // 3 packets per block... plus trailer
  ASSERT_EQ(live.first.size(), 3u * 5);
  live.rx.send_to(live.control, strobix_test::resend_command(kStd, 1, 1, 2));
  live.rx.send_to(live.control, strobix_test::resend_command(kStd, 3, 1, 1));
  const auto answers = live.rx.take(1000);
  ASSERT_EQ(answers.size(), 3u);
  for (std::size_t i = 0; i < 2; ++i) {
    ASSERT_EQ(answers[i].bytes.size(), gvsp::standard_header_size);  // header only
    const gvsp::Packet p = strobix_test::parse(answers[i]);
    EXPECT_EQ(p.kind, gvsp::PacketKind::error);
    EXPECT_EQ(p.header.status, gvsp::status_packet_unavailable);
    EXPECT_EQ(p.header.block_id, 1u);
    EXPECT_EQ(p.header.packet_id, i + 1);
  }
  EXPECT_EQ(strobix_test::parse(answers[2]).kind, gvsp::PacketKind::payload);
  const Summary s = summary_of(stop_live(live).out);
  EXPECT_EQ(s.requests, 2u);
  EXPECT_EQ(s.unavailable, 2u);
  EXPECT_EQ(s.resent, 1u);
}

TEST(StrobixResend, MalformedCommandsAreCountedAndIgnored) {
  Live live;
  start_live(live, {"-n", "1", "-s", "1000", "-v"});
  ASSERT_EQ(live.first.size(), 3u);
  auto wrong_key = strobix_test::resend_command(kStd, 1, 1, 1);
  wrong_key[0] = std::byte{0x43};
  auto reversed = strobix_test::resend_command(kStd, 1, 2, 1);
  std::vector<std::byte> oversized(600, std::byte{0x42});
  live.rx.send_to(live.control, wrong_key);
  live.rx.send_to(live.control, reversed);
  live.rx.send_to(live.control, {std::byte{0x42}, std::byte{0}});
  live.rx.send_to(live.control, oversized);
  live.rx.send_to(live.control, strobix_test::resend_command(kStd, 1, 1, 1));
  const auto answers = live.rx.take(1000);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(strobix_test::parse(answers[0]).header.packet_id, 1u);
  const Outcome o = stop_live(live);
  const Summary s = summary_of(o.out);
  EXPECT_EQ(s.malformed, 4u) << o.out;
  EXPECT_EQ(s.requests, 1u);
  EXPECT_EQ(s.resent, 1u);
  EXPECT_NE(o.out.find("Malformed command (20 bytes): bad key"), std::string::npos) << o.out;
}

// ---------------------------------------------------------------------------
// Command line and endings

TEST(StrobixCommandLine, ExitStatusesAndUsage) {
  Receiver rx;
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"-Z", rx.endpoint()}, 1},
      {{"--nonsense", rx.endpoint()}, 1},
      {{}, 255},
      {{"-n"}, 255},
      {{"-n", "0", rx.endpoint()}, 255},
      {{"-n", "x", rx.endpoint()}, 255},
      {{"-y", "video", rx.endpoint()}, 255},
      {{"-L", "101", rx.endpoint()}, 255},
      {{"-s", "100", "-g", "10x20", rx.endpoint()}, 255},
      {{"-k", "40", rx.endpoint()}, 255},
      {{"--drop", "1", rx.endpoint()}, 255},
      {{"127.0.0.1"}, 255},
      {{"127.0.0.1:0"}, 255},
      {{"-l", "127.0.0.1:x", rx.endpoint()}, 255},
      {{"-k", "64", "-s", "1000000000", rx.endpoint()}, 255},  // more packets than 24 bits
  };
  for (const Case &c : cases) {
    Strobix s(c.args);
    const Outcome o = s.finish();
    std::string line;
    for (const auto &a : c.args) line += a + " ";
    EXPECT_EQ(o.status, c.status) << line;
    EXPECT_NE(o.err.find("strobix [args] <dest IP>:<port>"), std::string::npos) << line << o.err;
    EXPECT_EQ(o.out, "") << line;
  }
  EXPECT_TRUE(rx.take(100).empty());
}

TEST(StrobixCommandLine, LocalPortInUseIsRefused) {
  // The stream socket shares its port with the sender; that must not let a
  // second program in on a port already taken.
  Receiver rx;
  Receiver taken;
  Strobix s({"-l", taken.endpoint(), rx.endpoint()});
  const Outcome o = s.finish();
  EXPECT_EQ(o.status, 255);
  EXPECT_NE(o.err.find("bind : Address already in use"), std::string::npos) << o.err;
  EXPECT_TRUE(rx.take(100).empty());
}

TEST(StrobixCommandLine, KeepsSendingWhenNobodyListens) {
  // Loopback answers each datagram to a closed port with an ICMP error, which
  // a connected socket reports on a later send.
  const std::uint16_t closed = testlib::free_port();
  Strobix s({"-n", "20", "-r", "200", "-s", "5000", "-W", "0", "-l", "127.0.0.1:0",
             "127.0.0.1:" + std::to_string(closed)});
  const Outcome o = s.finish();
  EXPECT_EQ(o.status, 0) << o.err;
  const Summary sum = summary_of(o.out);
  EXPECT_EQ(sum.blocks, 20u);
  EXPECT_EQ(sum.packets, 20u * 6);
}

TEST(StrobixCommandLine, SignalsEndTheRunWithTheSummary) {
  for (int sig : {SIGINT, SIGTERM}) {
    Receiver rx;
    Strobix s({"-n", "-1", "-r", "100", "-s", "1000", "-l", "127.0.0.1:0", rx.endpoint()});
    ASSERT_TRUE(rx.wait_first(10000));
    rx.take(100, 100);
    s.signal(sig);
    const Outcome o = s.finish(3s);
    EXPECT_EQ(o.status, 0);
    const Summary sum = summary_of(o.out);
    ASSERT_TRUE(sum.found) << o.out;
    EXPECT_GE(sum.blocks, 5u);
    EXPECT_EQ(sum.packets, sum.blocks * 3);
  }
}

TEST(StrobixCommandLine, RunTimeLimitEndsAnEndlessRun) {
  Receiver rx;
  Strobix s({"-n", "-1", "-r", "50", "-s", "100", "-T", "0.5", "-l", "127.0.0.1:0", rx.endpoint()});
  const auto start = strobix_test::now_ms();
  const Outcome o = s.finish(5s);
  EXPECT_EQ(o.status, 0);
  EXPECT_LT(strobix_test::now_ms() - start, 1500);
  const Summary sum = summary_of(o.out);
  ASSERT_TRUE(sum.found) << o.out;
  // 25 at the asked rate; a loaded machine may hold it up a little.
  EXPECT_GE(sum.blocks, 15u);
  EXPECT_LE(sum.blocks, 26u);
}

}  // namespace
