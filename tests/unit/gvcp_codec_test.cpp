#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "gvcp/gvcp.h"
#include "lib/bytes.h"

namespace {

using gvcp::Error;
using testlib::Exact;
using testlib::exact;
using testlib::wire;

std::vector<std::byte> built(std::size_t n, const std::vector<std::byte> &buf) {
  return {buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)};
}

TEST(GvcpCodec, BuildsCommandsByteForByte) {
  std::vector<std::byte> buf(600, std::byte{0xEE});
  EXPECT_EQ(built(gvcp::build_discovery(buf, 1), buf),
            wire({0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01}));

  const std::uint32_t regs[] = {0x0A00, 0x0D04};
  EXPECT_EQ(built(gvcp::build_readreg(buf, 0x1234, regs), buf),
            wire({0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x12, 0x34, 0x00, 0x00, 0x0A, 0x00, 0x00,
                  0x00, 0x0D, 0x04}));

  const gvcp::RegWrite w[] = {{0x0A00, 0x2}};
  EXPECT_EQ(built(gvcp::build_writereg(buf, 7, w), buf),
            wire({0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x00, 0x07, 0x00, 0x00, 0x0A, 0x00, 0x00,
                  0x00, 0x00, 0x02}));

  EXPECT_EQ(built(gvcp::build_readmem(buf, 9, 0x10000, 536), buf),
            wire({0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x00, 0x09, 0x00, 0x01, 0x00, 0x00, 0x00,
                  0x00, 0x02, 0x18}));

  const auto data = wire({1, 2, 3, 4});
  EXPECT_EQ(
      built(gvcp::build_writemem(buf, 10, 0x20, data), buf),
      wire({0x42, 0x01, 0x00, 0x86, 0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x20, 1, 2, 3, 4}));

  const std::size_t n = gvcp::build_forceip(buf, 3, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                                            0x0A000002, 0xFFFFFF00, 0x0A000001);
  ASSERT_EQ(n, 64u);
  std::vector<std::byte> expect(64, std::byte{0});
  const auto head = wire({0x42, 0x11, 0x00, 0x04, 0x00, 0x38, 0x00, 0x03});
  std::copy(head.begin(), head.end(), expect.begin());
  const auto mac = wire({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
  std::copy(mac.begin(), mac.end(), expect.begin() + 10);
  const auto ip = wire({10, 0, 0, 2}), mask = wire({255, 255, 255, 0}), gw = wire({10, 0, 0, 1});
  std::copy(ip.begin(), ip.end(), expect.begin() + 28);
  std::copy(mask.begin(), mask.end(), expect.begin() + 44);
  std::copy(gw.begin(), gw.end(), expect.begin() + 60);
  EXPECT_EQ(built(n, buf), expect);
}

// Each of these would put a command on the wire that a device must reject
// or, worse, act on wrongly.
TEST(GvcpCodec, RefusesCommandsTheWireCannotCarry) {
  std::vector<std::byte> buf(600);
  EXPECT_EQ(gvcp::build_discovery(buf, 0), 0u);
  const std::uint32_t odd[] = {0x0A02};
  EXPECT_EQ(gvcp::build_readreg(buf, 1, odd), 0u);
  EXPECT_EQ(gvcp::build_readreg(buf, 1, {}), 0u);
  const std::vector<std::uint32_t> many(136, 0);
  EXPECT_EQ(gvcp::build_readreg(buf, 1, many), 0u);
  EXPECT_EQ(gvcp::build_readreg(buf, 1, std::span(many).first(135)), 8u + 540);
  EXPECT_EQ(gvcp::build_readmem(buf, 1, 0, 538), 0u);
  EXPECT_EQ(gvcp::build_readmem(buf, 1, 0, 6), 0u);
  EXPECT_EQ(gvcp::build_readmem(buf, 1, 2, 4), 0u);
  EXPECT_EQ(gvcp::build_writemem(buf, 1, 0, wire({1, 2, 3})), 0u);
  std::vector<std::byte> small(15);
  EXPECT_EQ(gvcp::build_readmem(small, 1, 0, 4), 0u);
}

TEST(GvcpCodec, ParsesAcknowledgesAndChecksTheirLengths) {
  const auto readreg = wire({0x00, 0x00, 0x00, 0x81, 0x00, 0x08, 0x12, 0x34, 0x00, 0x00, 0x00, 0x02,
                             0xDE, 0xAD, 0xBE, 0xEF});
  const auto a = gvcp::parse_ack(readreg);
  ASSERT_TRUE(a);
  EXPECT_EQ(a.value.ack_id, 0x1234);
  const auto v = gvcp::parse_readreg_ack(a.value, 2);
  ASSERT_TRUE(v);
  EXPECT_EQ(v.value[0], 2u);
  EXPECT_EQ(v.value[1], 0xDEADBEEFu);
  // Asked for three registers, the device answered two.
  EXPECT_EQ(gvcp::parse_readreg_ack(a.value, 3).error, Error::truncated);
  EXPECT_EQ(gvcp::parse_write_ack(a.value).error, Error::wrong_answer);

  // Every cut of the datagram: the length field then claims more than is there.
  for (std::size_t n = 0; n < readreg.size(); ++n) {
    const Exact e = exact(readreg, n);
    EXPECT_NE(gvcp::parse_ack(e.span).error, Error::ok) << n;
  }
  // Padding after the stated length is not payload.
  auto padded = readreg;
  padded.resize(40);
  EXPECT_EQ(gvcp::parse_ack(padded).value.payload.size(), 8u);

  const auto mem = wire(
      {0x00, 0x00, 0x00, 0x85, 0x00, 0x08, 0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 'a', 'b', 'c', 'd'});
  const auto m = gvcp::parse_ack(mem);
  ASSERT_TRUE(m);
  EXPECT_TRUE(gvcp::parse_readmem_ack(m.value, 0x10000, 4));
  EXPECT_EQ(gvcp::parse_readmem_ack(m.value, 0x10000, 8).error, Error::truncated);
  EXPECT_EQ(gvcp::parse_readmem_ack(m.value, 0x10004, 4).error, Error::wrong_answer);

  const auto write = wire({0x80, 0x06, 0x00, 0x83, 0x00, 0x04, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00});
  const auto w = gvcp::parse_ack(write);
  ASSERT_TRUE(w);
  EXPECT_EQ(w.value.status, gvcp::status_access_denied);
  EXPECT_EQ(gvcp::parse_write_ack(w.value).value, 0);
  const auto short_write_bytes = wire({0, 0, 0, 0x83, 0, 2, 0, 7, 0, 0});
  const auto short_write = gvcp::parse_ack(short_write_bytes);
  ASSERT_TRUE(short_write);
  EXPECT_EQ(gvcp::parse_write_ack(short_write.value).error, Error::truncated);

  const auto pending_bytes = wire({0, 0, 0, 0x89, 0, 4, 0, 7, 0, 0, 0x01, 0xF4});
  const auto pending = gvcp::parse_ack(pending_bytes);
  ASSERT_TRUE(pending);
  EXPECT_EQ(gvcp::parse_pending_ack(pending.value).value, 500);
}

TEST(GvcpCodec, DiscoveryAckRoundTripsAndStopsStringsAtTheirField) {
  gvcp::DeviceInfo d;
  d.version_major = 2;
  d.mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  d.ip = 0x0AD5FA02;
  d.mask = 0xFFFFFF00;
  d.manufacturer = "Maker";
  d.serial = "SN0001";
  d.user_name = "left-camera";
  std::vector<std::byte> payload(gvcp::discovery_ack_size);
  ASSERT_EQ(gvcp::build_discovery_payload(payload, d), gvcp::discovery_ack_size);
  std::vector<std::byte> dgram(600);
  const std::size_t n = gvcp::build_ack(dgram, 0, gvcp::ack_discovery, 1, payload);
  const auto a = gvcp::parse_ack(gvcp::bytes(dgram).first(n));
  ASSERT_TRUE(a);
  const auto got = gvcp::parse_discovery_ack(a.value);
  ASSERT_TRUE(got);
  EXPECT_EQ(got.value.mac, d.mac);
  EXPECT_EQ(got.value.ip, d.ip);
  EXPECT_EQ(got.value.mask, d.mask);
  EXPECT_EQ(got.value.serial, "SN0001");
  EXPECT_EQ(got.value.user_name, "left-camera");

  // A serial that fills its 16 bytes with no NUL ends at the field, not in
  // the user name after it.
  std::fill(payload.begin() + 0xD8, payload.begin() + 0xE8, std::byte{'S'});
  const auto full = gvcp::parse_discovery_ack({0, gvcp::ack_discovery, 1, payload});
  EXPECT_EQ(full.value.serial.size(), 16u);
  // A short DISCOVERY_ACK would have the strings read past the datagram.
  const auto cut = gvcp::parse_discovery_ack(
      {0, gvcp::ack_discovery, 1, gvcp::bytes(payload).first(gvcp::discovery_ack_size - 1)});
  EXPECT_EQ(cut.error, Error::truncated);
}

TEST(GvcpCodec, ParsesCommandsForTheDeviceSide) {
  std::vector<std::byte> buf(64);
  const std::size_t n = gvcp::build_readmem(buf, 5, 0x200, 512);
  const auto c = gvcp::parse_command(gvcp::bytes(buf).first(n));
  ASSERT_TRUE(c);
  EXPECT_EQ(c.value.command, gvcp::cmd_readmem);
  EXPECT_EQ(c.value.req_id, 5);
  const auto m = gvcp::parse_readmem_command(c.value);
  ASSERT_TRUE(m);
  EXPECT_EQ(m.value.address, 0x200u);
  EXPECT_EQ(m.value.count, 512);
  EXPECT_EQ(gvcp::parse_command(wire({0x43, 1, 0, 0x80, 0, 0, 0, 1})).error, Error::bad_key);
  EXPECT_EQ(gvcp::parse_command(gvcp::bytes(buf).first(n - 1)).error, Error::bad_length);

  // What a hostile or careless host may send; each must be refused before
  // the device acts on any part of it.
  const std::vector<std::byte> many_reads(4 * 136, std::byte{0});
  const std::vector<std::byte> many_writes(8 * 68, std::byte{0});
  const std::vector<std::byte> big_write(4 + 540, std::byte{0});
  struct Case {
    const char *what;
    std::uint16_t command;
    std::vector<std::byte> payload;
    Error error;
  } cases[] = {
      {"readreg of nothing", gvcp::cmd_readreg, {}, Error::bad_length},
      {"readreg of half an address", gvcp::cmd_readreg, wire({0, 0, 0x0A}), Error::bad_length},
      {"readreg of 136 addresses", gvcp::cmd_readreg, many_reads, Error::bad_count},
      {"readreg misaligned", gvcp::cmd_readreg, wire({0, 0, 0, 0, 0, 0, 0x0A, 2}),
       Error::bad_alignment},
      {"writereg of an address alone", gvcp::cmd_writereg, wire({0, 0, 0x0A, 0}),
       Error::bad_length},
      {"writereg of 68 pairs", gvcp::cmd_writereg, many_writes, Error::bad_count},
      {"writereg misaligned", gvcp::cmd_writereg, wire({0, 0, 0x0A, 1, 0, 0, 0, 2}),
       Error::bad_alignment},
      {"readmem short", gvcp::cmd_readmem, wire({0, 0, 0, 0, 0, 0, 0}), Error::bad_length},
      {"readmem of nothing", gvcp::cmd_readmem, wire({0, 0, 0, 0, 0, 0, 0, 0}), Error::bad_count},
      {"readmem of 540", gvcp::cmd_readmem, wire({0, 0, 0, 0, 0, 0, 2, 0x1C}), Error::bad_count},
      {"readmem of 6", gvcp::cmd_readmem, wire({0, 0, 0, 0, 0, 0, 0, 6}), Error::bad_alignment},
      {"writemem without data", gvcp::cmd_writemem, wire({0, 0, 0, 0}), Error::bad_length},
      {"writemem of 540", gvcp::cmd_writemem, big_write, Error::bad_count},
      {"writemem of 5", gvcp::cmd_writemem, wire({0, 0, 0, 0, 1, 2, 3, 4, 5}),
       Error::bad_alignment},
      {"writemem misaligned", gvcp::cmd_writemem, wire({0, 0, 0, 2, 1, 2, 3, 4}),
       Error::bad_alignment},
  };
  for (const Case &k : cases) {
    const gvcp::Command cmd{gvcp::flag_ack_required, k.command, 1, k.payload};
    Error e = Error::ok;
    switch (k.command) {
      case gvcp::cmd_readreg:
        e = gvcp::parse_readreg_command(cmd).error;
        break;
      case gvcp::cmd_writereg:
        e = gvcp::parse_writereg_command(cmd).error;
        break;
      case gvcp::cmd_readmem:
        e = gvcp::parse_readmem_command(cmd).error;
        break;
      default:
        e = gvcp::parse_writemem_command(cmd).error;
        break;
    }
    EXPECT_EQ(e, k.error) << k.what;
  }
}

TEST(GvcpCodec, DeviceAcknowledgesRoundTripThroughTheHostParsers) {
  std::vector<std::byte> buf(600);
  const std::uint32_t values[] = {0x00020000, 0xDEADBEEF};
  auto a = gvcp::parse_ack(gvcp::bytes(buf).first(gvcp::build_readreg_ack(buf, 0, 7, values)));
  ASSERT_TRUE(a);
  const auto v = gvcp::parse_readreg_ack(a.value, 2);
  ASSERT_TRUE(v);
  EXPECT_EQ(a.value.ack_id, 7);
  EXPECT_EQ(v.value[1], 0xDEADBEEFu);

  // A failed read answers with what was read before the bad address.
  a = gvcp::parse_ack(gvcp::bytes(buf).first(
      gvcp::build_readreg_ack(buf, gvcp::status_invalid_address, 8, std::span(values).first(1))));
  ASSERT_TRUE(a);
  EXPECT_EQ(a.value.status, gvcp::status_invalid_address);
  EXPECT_EQ(a.value.payload.size(), 4u);

  const auto data = wire({1, 2, 3, 4, 5, 6, 7, 8});
  a = gvcp::parse_ack(gvcp::bytes(buf).first(gvcp::build_readmem_ack(buf, 0, 9, 0x100000, data)));
  ASSERT_TRUE(a);
  const auto m = gvcp::parse_readmem_ack(a.value, 0x100000, 8);
  ASSERT_TRUE(m);
  EXPECT_TRUE(std::equal(m.value.data.begin(), m.value.data.end(), data.begin()));

  EXPECT_EQ(gvcp::build_write_ack(buf, gvcp::ack_readreg, 0, 1, 0), 0u);
  std::vector<std::byte> small(15);
  EXPECT_EQ(gvcp::build_readmem_ack(small, 0, 1, 0, data), 0u);
}

}  // namespace
