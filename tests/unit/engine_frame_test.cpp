// The AF_XDP loop's frame parser: the kernel's stack no longer checks the
// headers on that path, so a frame whose lengths disagree or whose checksums
// condemn it must be refused before any of its bytes reach the core as a
// datagram.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "xdp_frame_internal.h"

namespace {

using zok::FrameDatagram;
using zok::parse_frame;
using zok::UdpSum;

// The Internet checksum word by word, as RFC 1071 writes it, apart from the
// library's wider sum.
std::uint16_t reference_sum(const std::uint8_t *p, std::size_t n, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i < n; i += 2) {
    sum += static_cast<std::uint32_t>(p[i] << 8) + (i + 1 < n ? p[i + 1] : 0);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

void put16(std::uint8_t *at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 8);
  at[1] = static_cast<std::uint8_t>(v);
}

// Both checksums of a frame built or spoiled below, as a sender computes
// them; `udp` false leaves the UDP sum at 0 (none), for frames whose lengths
// are themselves the fault.
void seal(std::vector<std::uint8_t> &f, bool udp = true) {
  std::uint8_t *ip = f.data() + 14;
  const std::size_t ip_header = std::size_t{ip[0] & 0x0Fu} * 4;
  put16(ip + 10, 0);
  put16(ip + 10, static_cast<std::uint16_t>(~reference_sum(ip, ip_header)));
  std::uint8_t *u = ip + ip_header;
  put16(u + 6, 0);
  if (!udp) return;
  const std::size_t length = std::size_t{u[4]} << 8 | u[5];
  const std::uint8_t pseudo[12] = {ip[12], ip[13], ip[14], ip[15], ip[16], ip[17],
                                   ip[18], ip[19], 0,      ip[9],  u[4],   u[5]};
  const std::uint16_t sum =
      static_cast<std::uint16_t>(~reference_sum(u, length, reference_sum(pseudo, 12)));
  put16(u + 6, sum == 0 ? 0xFFFF : sum);
}

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
  const in_addr_t dest = inet_addr("10.1.2.1");
  std::memcpy(ip + 16, &dest, 4);
  ip[8] = 64;
  std::uint8_t *udp = ip + ip_header;
  udp[0] = 0x0F;  // source port 3956
  udp[1] = 0x74;
  udp[4] = static_cast<std::uint8_t>((8 + payload) >> 8);
  udp[5] = static_cast<std::uint8_t>(8 + payload);
  udp[2] = 0xC3;  // destination port 50010
  udp[3] = 0x5A;
  for (std::size_t i = 0; i < payload; ++i) udp[8 + i] = static_cast<std::uint8_t>(i * 7);
  seal(f);
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
    EXPECT_EQ(std::to_integer<int>(d.payload[99]), 99 * 7 % 256);
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
    // Sums that hold where they can be computed: the lengths must refuse.
    if (f.size() >= 34 && (f[14] & 0x0F) >= 5 && f.size() >= 14u + (f[14] & 0x0Fu) * 4 + 8) {
      seal(f, false);
    }
    FrameDatagram d;
    EXPECT_FALSE(parses(f, d)) << c.what;
  }
}

// Every tail the wide sum can leave (0 to 15 bytes past its 16-byte steps,
// an odd last byte) against the word-by-word sum, over bytes that carry.
TEST(FrameParser, WideSumAgreesWithTheWordByWordSum) {
  std::vector<std::uint8_t> bytes(80);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(0xF7 - i * 13);
  for (std::size_t n = 0; n <= bytes.size(); ++n) {
    // Summed in the host's order, the folded sum's bytes are the wire's.
    const std::uint16_t host = zok::ones_fold(zok::ones_sum(bytes.data(), n));
    std::uint8_t wire[2];
    std::memcpy(wire, &host, 2);
    EXPECT_EQ(wire[0] << 8 | wire[1], reference_sum(bytes.data(), n)) << n;
  }
}

// Frames as strobix's leader left a veth pair of the test network, the
// camera's end with its checksum offload off (complete sum) and on (the
// default: the sum left partial for an offload that never runs).
std::vector<std::uint8_t> from_hex(const char *hex) {
  std::vector<std::uint8_t> out;
  for (; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex, 2), nullptr, 16)));
  }
  return out;
}
const char *const captured_complete =
    "d2839bf5739d9ea56533b5830800450000381d8540004011e9820ad58f020ad58f010f74c35a002426cd0000"
    "0001010000000000000218ef3d8abb71714e0000000000004e20";
const char *const captured_partial =
    "d2839bf5739d9ea56533b583080045000038554940004011b1be0ad58f020ad58f010f74c35a002433e30000"
    "0001010000000000000218ef3d888d5d83050000000000004e20";

TEST(FrameParser, RefusesFramesTheirChecksumsCondemn) {
  FrameDatagram d;
  // What must pass: complete sums (odd payloads, IP options, a jumbo frame
  // put together from its pieces), no sum, and a partial sum as veth hands
  // up a same-host sender's frames.
  for (const std::size_t payload : {0u, 1u, 7u, 100u, 1472u, 8972u}) {
    for (const std::size_t options : {0u, 1u}) {
      auto f = frame(payload, options);
      ASSERT_TRUE(parses(f, d)) << payload << " " << options;
      EXPECT_EQ(d.sum, UdpSum::verified) << payload << " " << options;
    }
  }
  auto none = frame(100);
  seal(none, false);
  ASSERT_TRUE(parses(none, d));
  EXPECT_EQ(d.sum, UdpSum::none);
  const auto complete = from_hex(captured_complete);
  ASSERT_TRUE(parses(complete, d));
  EXPECT_EQ(d.sum, UdpSum::verified);
  EXPECT_EQ(d.payload.size(), 28u);
  const auto partial = from_hex(captured_partial);
  ASSERT_TRUE(parses(partial, d));
  EXPECT_EQ(d.sum, UdpSum::partial);
  // A partial sum covers nothing of the datagram: one bit flipped in its
  // payload cannot be seen (nor can the kernel see it on the socket path).
  auto partial_flipped = partial;
  partial_flipped.back() ^= 0x10;
  EXPECT_TRUE(parses(partial_flipped, d));

  // One bit flipped anywhere the sums cover, nothing else changed.
  struct Case {
    const char *what;
    std::size_t payload;
    std::size_t at;  // offset into the frame
  };
  const Case cases[] = {
      {"IP header: time to live", 100, 14 + 8},
      {"IP header: its own checksum", 100, 14 + 10},
      {"IP header: source address", 100, 14 + 12},
      {"UDP header: source port", 100, 34},
      {"UDP header: its checksum", 100, 34 + 6},
      {"first payload byte", 100, 42},
      {"a payload byte in the middle", 1472, 42 + 700},
      {"the odd last payload byte", 7, 42 + 6},
      {"a jumbo frame's last byte", 8972, 42 + 8971},
  };
  for (const Case &c : cases) {
    for (const std::uint8_t bit : {0x01, 0x80}) {
      auto f = frame(c.payload);
      f[c.at] ^= bit;
      EXPECT_FALSE(parses(f, d)) << c.what << " bit " << int{bit};
    }
  }
  auto flipped = complete;
  flipped.back() ^= 0x10;
  EXPECT_FALSE(parses(flipped, d)) << "captured leader, a payload bit";
  // The source address rewritten and the IP header's sum made good again,
  // the UDP sum left (a rewriter that forgot it): only the UDP sum's
  // pseudo-header sees it.
  auto moved = frame(100);
  moved[14 + 15] ^= 0x03;
  seal(moved, false);
  auto original = frame(100);
  moved[40] = original[40];
  moved[41] = original[41];
  EXPECT_FALSE(parses(moved, d)) << "source address changed after the UDP sum";
}

}  // namespace
