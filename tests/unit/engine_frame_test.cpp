// The AF_XDP loop's frame parser: the kernel's stack no longer checks the
// headers on that path, so a frame whose lengths disagree must be refused
// before any of its bytes reach the core as a datagram.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "xdp_frame_internal.h"

namespace {

using zok::FrameDatagram;
using zok::parse_frame;

// Ethernet + IPv4 (with `options` words) + UDP + payload, every length
// consistent; the cases below spoil one at a time.
std::vector<std::uint8_t> frame(std::size_t payload, std::size_t options = 0) {
  const std::size_t ip_header = 20 + 4 * options;
  std::vector<std::uint8_t> f(14 + ip_header + 8 + payload, 0xAB);
  f[12] = 0x08;
  f[13] = 0x00;
  std::uint8_t *ip = f.data() + 14;
  ip[0] = static_cast<std::uint8_t>(0x40 | (5 + options));
  const std::size_t total = ip_header + 8 + payload;
  ip[2] = static_cast<std::uint8_t>(total >> 8);
  ip[3] = static_cast<std::uint8_t>(total);
  ip[6] = 0x40;  // don't fragment
  ip[7] = 0;
  ip[9] = IPPROTO_UDP;
  const in_addr_t source = inet_addr("10.1.2.3");
  std::memcpy(ip + 12, &source, 4);
  std::uint8_t *udp = ip + ip_header;
  udp[0] = 0x0F;  // source port 3956
  udp[1] = 0x74;
  udp[4] = static_cast<std::uint8_t>((8 + payload) >> 8);
  udp[5] = static_cast<std::uint8_t>(8 + payload);
  for (std::size_t i = 0; i < payload; ++i) udp[8 + i] = static_cast<std::uint8_t>(i);
  return f;
}

bool parses(const std::vector<std::uint8_t> &f, FrameDatagram &d) {
  return parse_frame(gvsp::bytes(reinterpret_cast<const std::byte *>(f.data()), f.size()), d);
}

TEST(FrameParser, TakesTheUdpPayloadOfAWholeDatagram) {
  FrameDatagram d;
  for (const std::size_t options : {0u, 2u}) {
    auto f = frame(100, options);
    ASSERT_TRUE(parses(f, d)) << options;
    ASSERT_EQ(d.payload.size(), 100u);
    EXPECT_EQ(d.payload.data(), reinterpret_cast<const std::byte *>(f.data()) + 42 + 4 * options);
    EXPECT_EQ(std::to_integer<int>(d.payload[99]), 99);
    EXPECT_EQ(d.source, inet_addr("10.1.2.3"));
    EXPECT_EQ(ntohs(d.port), 3956);
  }
  // Ethernet pads short frames: the IP and UDP lengths decide, not the frame's.
  auto padded = frame(2);
  padded.resize(60, 0);
  ASSERT_TRUE(parses(padded, d));
  EXPECT_EQ(d.payload.size(), 2u);
  // An empty datagram is a datagram.
  ASSERT_TRUE(parses(frame(0), d));
  EXPECT_EQ(d.payload.size(), 0u);
}

TEST(FrameParser, RefusesFramesWhoseHeadersDisagree) {
  struct Case {
    const char *what;
    void (*spoil)(std::vector<std::uint8_t> &);
  };
  const Case cases[] = {
      {"shorter than the headers", [](auto &f) { f.resize(14 + 19); }},
      {"not IPv4", [](auto &f) { f[12] = 0x86, f[13] = 0xDD; }},
      {"IP version 6 inside", [](auto &f) { f[14] = 0x65; }},
      {"IP header under 20 bytes", [](auto &f) { f[14] = 0x44; }},
      {"IP length past the frame", [](auto &f) { f[17] += 1; }},
      {"IP length under its own header", [](auto &f) { f[16] = 0, f[17] = 10; }},
      {"more fragments", [](auto &f) { f[20] = 0x20; }},
      {"a fragment's offset", [](auto &f) { f[20] = 0, f[21] = 1; }},
      {"not UDP", [](auto &f) { f[23] = IPPROTO_TCP; }},
      {"UDP length under its header", [](auto &f) { f[38] = 0, f[39] = 7; }},
      {"UDP length past the IP packet", [](auto &f) { f[39] += 1; }},
  };
  for (const Case &c : cases) {
    auto f = frame(100);
    c.spoil(f);
    FrameDatagram d;
    EXPECT_FALSE(parses(f, d)) << c.what;
  }
}

}  // namespace
