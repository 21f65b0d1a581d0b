// An outside opinion on the commands the codec builds: they are written into
// a capture file as UDP datagrams to port 3956 and tshark's GVCP dissector
// must name each command, its request id, and the fields camctl relies on,
// without a malformed mark. Needs no network: the capture is made here.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "gvcp/gvcp.h"

namespace {

void put_le32(std::ofstream &f, std::uint32_t v) {
  f.write(reinterpret_cast<char *>(&v), 4);
}
void put_le16(std::ofstream &f, std::uint16_t v) {
  f.write(reinterpret_cast<char *>(&v), 2);
}

// One IPv4/UDP frame (raw IP link type) from 10.0.0.1:50000 to 10.0.0.2:3956,
// or back.
void put_frame(std::ofstream &f, const std::vector<std::byte> &udp_payload, bool back = false) {
  const std::size_t udp_len = 8 + udp_payload.size(), ip_len = 20 + udp_len;
  std::vector<std::uint8_t> p = {0x45,
                                 0,
                                 std::uint8_t(ip_len >> 8),
                                 std::uint8_t(ip_len),
                                 0,
                                 0,
                                 0x40,
                                 0,
                                 64,
                                 17,
                                 0,
                                 0,
                                 10,
                                 0,
                                 0,
                                 1,
                                 10,
                                 0,
                                 0,
                                 2,
                                 0xC3,
                                 0x50,
                                 0x0F,
                                 0x74,
                                 std::uint8_t(udp_len >> 8),
                                 std::uint8_t(udp_len),
                                 0,
                                 0};
  if (back) {
    std::swap_ranges(p.begin() + 12, p.begin() + 16, p.begin() + 16);
    std::swap_ranges(p.begin() + 20, p.begin() + 22, p.begin() + 22);
  }
  for (std::byte b : udp_payload) p.push_back(std::to_integer<std::uint8_t>(b));
  put_le32(f, 0);
  put_le32(f, 0);
  put_le32(f, static_cast<std::uint32_t>(p.size()));
  put_le32(f, static_cast<std::uint32_t>(p.size()));
  f.write(reinterpret_cast<const char *>(p.data()), static_cast<std::streamsize>(p.size()));
}

std::string run(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  std::array<char, 4096> buf;
  while (std::size_t n = fread(buf.data(), 1, buf.size(), p)) out.append(buf.data(), n);
  pclose(p);
  return out;
}

void put_file_header(std::ofstream &f) {
  put_le32(f, 0xA1B2C3D4);
  put_le16(f, 2);
  put_le16(f, 4);
  put_le32(f, 0);
  put_le32(f, 0);
  put_le32(f, 65535);
  put_le32(f, 101);  // raw IPv4
}

// The frames that `write` puts (a built datagram's size, and whether the
// device sent it), read back by tshark as the given `options`' lines.
using FrameWriter = std::function<void(std::vector<std::byte> &buf,
                                       const std::function<void(std::size_t, bool)> &frame)>;
std::vector<std::string> dissected(const FrameWriter &write, const std::string &options) {
  char dir_template[] = "/tmp/gvcp_tshark_XXXXXX";
  EXPECT_NE(mkdtemp(dir_template), nullptr);
  const std::string file = std::string(dir_template) + "/frames.pcap";
  {
    std::ofstream f(file, std::ios::binary);
    put_file_header(f);
    std::vector<std::byte> buf(600);
    write(buf, [&](std::size_t n, bool back) {
      EXPECT_NE(n, 0u);
      put_frame(f, std::vector<std::byte>(buf.begin(), buf.begin() + static_cast<long>(n)), back);
    });
  }
  const std::string out =
      run("tshark -r " + file + " -d udp.port==3956,gvcp " + options + " 2>/dev/null");
  unlink(file.c_str());
  rmdir(dir_template);
  std::vector<std::string> lines;
  std::stringstream each(out);
  for (std::string line; std::getline(each, line);) lines.push_back(line);
  return lines;
}

TEST(GvcpTshark, DissectorReadsEveryBuiltCommand) {
  if (system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "SKIPPED: tshark is not installed";
  const std::vector<std::string> lines = dissected(
      [](std::vector<std::byte> &buf, const auto &put) {
        const auto frame = [&](std::size_t n) { put(n, false); };
        frame(gvcp::build_discovery(buf, 1));
        frame(gvcp::build_forceip(buf, 2, {0, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x0A000002, 0xFFFFFF00,
                                  0x0A000001));
        const std::uint32_t regs[] = {gvcp::reg_ccp, gvcp::reg_scps(0)};
        frame(gvcp::build_readreg(buf, 3, regs));
        const gvcp::RegWrite writes[] = {{gvcp::reg_ccp, gvcp::ccp_control},
                                         {gvcp::reg_scp(0), 5000}};
        frame(gvcp::build_writereg(buf, 4, writes));
        frame(gvcp::build_readmem(buf, 5, 0x10000, 536));
        const std::vector<std::byte> data(8, std::byte{0x41});
        frame(gvcp::build_writemem(buf, 6, 0x20, data));
      },
      "-T fields -E separator='|' -e gvcp.cmd.command -e gvcp.cmd.req_id -e _ws.malformed "
      "-e gvcp.cmd.forceip.ip -e gvcp.cmd.readmem.count");
  ASSERT_EQ(lines.size(), 6u) << testing::PrintToString(lines);
  const char *commands[] = {"0x0002", "0x0004", "0x0080", "0x0082", "0x0084", "0x0086"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::stringstream fields(lines[i]);
    std::string command, req_id, malformed;
    std::getline(fields, command, '|');
    std::getline(fields, req_id, '|');
    std::getline(fields, malformed, '|');
    EXPECT_EQ(command, commands[i]) << lines[i];
    char id[24];
    snprintf(id, sizeof id, "0x%04zx", i + 1);
    EXPECT_EQ(req_id, id) << lines[i];
    EXPECT_EQ(malformed, "") << lines[i];
  }
  EXPECT_NE(lines[1].find("10.0.0.2"), std::string::npos) << lines[1];
  EXPECT_NE(lines[4].find("0x0218"), std::string::npos) << lines[4];
}

// Each command followed by the device's answer as the device side of the
// codec builds it, a refusal among them: every answer is placed as the
// acknowledge of its command, with its status, and nothing is malformed.
TEST(GvcpTshark, DissectorReadsTheDevicesAcknowledges) {
  if (system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "SKIPPED: tshark is not installed";
  const std::vector<std::string> lines = dissected(
      [](std::vector<std::byte> &buf, const auto &frame) {
        frame(gvcp::build_discovery(buf, 1), false);
        std::vector<std::byte> payload(gvcp::discovery_ack_size);
        gvcp::DeviceInfo info;
        info.version_major = 2;
        info.model = "strobix";
        gvcp::build_discovery_payload(payload, info);
        frame(gvcp::build_ack(buf, 0, gvcp::ack_discovery, 1, payload), true);
        const std::uint32_t regs[] = {gvcp::reg_ccp, gvcp::reg_scps(0)};
        frame(gvcp::build_readreg(buf, 2, regs), false);
        const std::uint32_t values[] = {gvcp::ccp_control, 1500};
        frame(gvcp::build_readreg_ack(buf, 0, 2, values), true);
        const gvcp::RegWrite writes[] = {{gvcp::reg_ccp, gvcp::ccp_control}};
        frame(gvcp::build_writereg(buf, 3, writes), false);
        frame(gvcp::build_write_ack(buf, gvcp::ack_writereg, gvcp::status_access_denied, 3, 0),
              true);
        frame(gvcp::build_readmem(buf, 4, 0x200, 16), false);
        const std::vector<std::byte> url(16, std::byte{0x4C});
        frame(gvcp::build_readmem_ack(buf, 0, 4, 0x200, url), true);
        frame(gvcp::build_writemem(buf, 5, 0xE8, url), false);
        frame(gvcp::build_pending_ack(buf, 5, 250), true);
        frame(gvcp::build_write_ack(buf, gvcp::ack_writemem, 0, 5, 16), true);
      },
      "-Y 'udp.srcport==3956' -T fields -E separator='|' -e gvcp.ack -e gvcp.cmd.status "
      "-e _ws.malformed -e _ws.expert.severity -e gvcp.bootstrap.scpsx.packetsize "
      "-e gvcp.cmd.readmem.address -e gvcp.ack.pendingack.timetocompletion");
  const char *want[] = {"0x0003|0x0000|||||",       "0x0081|0x0000|||1500||",
                        "0x0083|0x8006|||||",       "0x0085|0x0000||||0x00000200|",
                        "0x0089|0x0000|||||0x00fa", "0x0087|0x0000|||||"};
  ASSERT_EQ(lines.size(), std::size(want)) << testing::PrintToString(lines);
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], want[i]) << i;
}

}  // namespace
