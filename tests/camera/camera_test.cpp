// strobix --camera on loopback, driven over GVCP by a test host: the stream
// starts, stops and comes back as the registers and the heartbeat say.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device_internal.h"
#include "gvcp/gvcp.h"
#include "lib/gvcp_host.h"
#include "lib/net.h"
#include "lib/strobix_runs.h"
#include "pattern_internal.h"

namespace {

using strobix_test::Datagram;
using strobix_test::Receiver;
using strobix_test::Strobix;

// A GVCP host on its own socket: each command retried like a real client's,
// its acknowledge matched to its request, PENDING_ACKs counted.
struct Host : GvcpHost {
  testlib::UdpSocket socket;
  int pending = 0;

  explicit Host(std::uint16_t port) {
    exchange = [this, port](std::span<const std::byte> cmd, std::uint16_t id, std::int64_t) {
      std::vector<std::byte> buf(gvcp::max_datagram);
      for (int attempt = 0; attempt < 5; ++attempt) {
        socket.send_to(port, cmd);
        // Each read waits a second at most.
        for (ssize_t n; (n = recv(socket.fd, buf.data(), buf.size(), 0)) > 0;) {
          const auto a = gvcp::parse_ack(std::span(buf).first(static_cast<std::size_t>(n)));
          if (!a || a.value.ack_id != id) continue;
          if (a.value.ack == gvcp::ack_pending) {
            ++pending;
            continue;
          }
          buf.resize(static_cast<std::size_t>(n));
          return buf;
        }
      }
      return std::vector<std::byte>{};
    };
  }

  // The stream to `to`, with the settings given, started.
  void stream_to(const Receiver &to, std::initializer_list<gvcp::RegWrite> settings) {
    ASSERT_EQ(write(gvcp::reg_ccp, gvcp::ccp_control), gvcp::status_success);
    for (const gvcp::RegWrite &s : settings)
      ASSERT_EQ(write(s.address, s.value), gvcp::status_success) << std::hex << s.address;
    ASSERT_EQ(write(gvcp::reg_scda(0), INADDR_LOOPBACK), gvcp::status_success);
    ASSERT_EQ(write(gvcp::reg_scp(0), to.port()), gvcp::status_success);
    ASSERT_EQ(write(reg::acquisition_start, 1), gvcp::status_success);
  }
};

struct Camera {
  std::uint16_t port = testlib::free_port();
  Strobix process;
  explicit Camera(std::vector<std::string> extra = {})
      : process([&] {
          std::vector<std::string> a{"--camera", "-v", "-l", "127.0.0.1:" + std::to_string(port)};
          a.insert(a.end(), extra.begin(), extra.end());
          return a;
        }()) {}
  bool up() { return process.wait_for_out("Camera on", std::chrono::seconds(10)); }
};

// The packets' data are views into the datagrams, which must outlive them.
std::vector<gvsp::Packet> packets_of(std::vector<Datagram> &&) = delete;
std::vector<gvsp::Packet> packets_of(const std::vector<Datagram> &ds) {
  std::vector<gvsp::Packet> out;
  for (const Datagram &d : ds) out.push_back(strobix_test::parse(d));
  return out;
}

TEST(CameraStream, ImagesCarryTheTestPatternAndStopWhenTheControllerFallsSilent) {
  Camera cam;
  ASSERT_TRUE(cam.up());
  Receiver rx;
  Host host(cam.port), observer(cam.port);
  host.stream_to(rx, {{gvcp::reg_heartbeat_timeout, 500},
                      {reg::width, 64},
                      {reg::height, 16},
                      {reg::offset_x, 8},
                      {reg::pixel_format, 0x02180015},
                      {reg::frame_rate_mhz, 50000}});
  ASSERT_TRUE(rx.wait_first(10000));
  // The first block from its leader on, its data laid out by packet id.
  const std::vector<Datagram> got = rx.take(300, 3000);
  const std::vector<gvsp::Packet> packets = packets_of(got);  // views into got
  const auto leader = std::find_if(packets.begin(), packets.end(), [](const gvsp::Packet &p) {
    return p.header.format == static_cast<std::uint8_t>(gvsp::Format::leader);
  });
  ASSERT_NE(leader, packets.end());
  EXPECT_EQ(leader->leader.pixel_format, 0x02180015u);
  EXPECT_EQ(leader->leader.size_x, 64u);
  EXPECT_EQ(leader->leader.offset_x, 8u);
  std::vector<std::byte> want(64 * 16 * 3), image(want.size());
  fill_test_image(want, {0x02180015, 64, 16, 8, 0}, 0, 16);
  for (auto p = leader + 1; p != packets.end() && p->header.block_id == leader->header.block_id &&
                            p->header.format == static_cast<std::uint8_t>(gvsp::Format::payload);
       ++p) {
    const std::size_t at = (p->header.packet_id - 1) * (1500 - 20 - 8 - 8);
    ASSERT_LE(at + p->data.size(), image.size());
    std::copy(p->data.begin(), p->data.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  }
  EXPECT_EQ(image, want);

  // The controller goes silent: control lapses, the stream ends with at most
  // the block being sent, and nothing follows.
  const std::int64_t deadline = strobix_test::now_ms() + 15000;
  while (observer.read(gvcp::reg_ccp) != 0 && strobix_test::now_ms() < deadline) {
  }
  EXPECT_EQ(observer.read(gvcp::reg_ccp), 0u);
  EXPECT_EQ(observer.read(gvcp::reg_scda(0)), 0u) << "the destination is forgotten";
  rx.take(300, 5000);
  EXPECT_TRUE(rx.take(500, 500).empty());
  cam.process.signal(SIGINT);
  const testlib::Exit o = cam.process.finish();
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("lapsed"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("Sent "), std::string::npos) << o.out;
}

TEST(CameraStream, DroppedPacketsComeBackWhenAskedInEitherHeaderKind) {
  for (const bool extended : {false, true}) {
    Camera cam({"--drop", "7:2", "-I", "7"});
    ASSERT_TRUE(cam.up());
    Receiver rx;
    Host host(cam.port);
    host.stream_to(rx, {{reg::width, 640},
                        {reg::height, 8},
                        {reg::gvsp_config, extended ? gvsp_config_64bit_ids : 0u},
                        {reg::acquisition_mode, 1}});
    ASSERT_TRUE(rx.wait_first(10000));
    const auto sent = rx.take(300, 3000);
    const auto first = packets_of(sent);
    const auto kind = extended ? gvsp::HeaderKind::extended : gvsp::HeaderKind::standard;
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0].header.kind, kind);
    EXPECT_EQ(first[0].header.block_id, 7u);
    for (const auto &p : first) EXPECT_NE(p.header.packet_id, 2u) << "packet 2 was to be dropped";
    EXPECT_EQ(host.read(gvcp::reg_ccp), gvcp::ccp_control)
        << "SingleFrame: one block, control kept";

    rx.send_to(sockaddr_in{AF_INET, htons(cam.port), {htonl(INADDR_LOOPBACK)}, {}},
               strobix_test::resend_command(kind, 7, 2, 2));
    const auto resent = rx.take(300, 3000);
    const auto again = packets_of(resent);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].header.packet_id, 2u);
    EXPECT_TRUE(gvsp::is_resent(again[0].header));
  }
}

TEST(CameraStream, TriggersTestPacketsAndASlowStartAnswerAsAsked) {
  Camera cam;
  ASSERT_TRUE(cam.up());
  Receiver rx;
  Host host(cam.port);
  // A test packet of the packet size, and nothing else, while idle.
  ASSERT_EQ(host.write(gvcp::reg_ccp, gvcp::ccp_control), gvcp::status_success);
  ASSERT_EQ(host.write(gvcp::reg_scda(0), INADDR_LOOPBACK), gvcp::status_success);
  ASSERT_EQ(host.write(gvcp::reg_scp(0), rx.port()), gvcp::status_success);
  ASSERT_EQ(host.write(gvcp::reg_scps(0), gvcp::scps_fire_test_packet | 4000),
            gvcp::status_success);
  const auto test = rx.take(300, 3000);
  ASSERT_EQ(test.size(), 1u);
  EXPECT_EQ(test[0].bytes.size(), 4000u - 28);
  EXPECT_EQ(host.read(gvcp::reg_scps(0)), 4000u) << "the fire bit is not kept";

  // Software triggers: one block each, none without.
  ASSERT_EQ(host.write(reg::trigger_frame_start, trigger_mode_on), gvcp::status_success);
  ASSERT_EQ(host.write(reg::width, 64), gvcp::status_success);
  ASSERT_EQ(host.write(reg::height, 4), gvcp::status_success);
  ASSERT_EQ(host.write(reg::acquisition_start, 1), gvcp::status_success);
  EXPECT_TRUE(rx.take(300, 300).empty());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(host.write(reg::trigger_software_frame_start, 1), 0);
  int leaders = 0;
  const auto triggered = rx.take(500, 5000);
  for (const auto &p : packets_of(triggered))
    leaders += p.header.format == static_cast<std::uint8_t>(gvsp::Format::leader);
  EXPECT_EQ(leaders, 3);
  ASSERT_EQ(host.write(reg::acquisition_stop, 1), gvcp::status_success);

  // A start that makes a large new image: a PENDING_ACK comes first when the
  // host enabled them, and not otherwise.
  for (const bool enabled : {false, true}) {
    ASSERT_EQ(host.write(reg::gvcp_config, enabled ? gvcp_config_pending_ack : 0u), 0);
    ASSERT_EQ(host.write(reg::width, enabled ? 4096u : 4092u), gvcp::status_success);
    ASSERT_EQ(host.write(reg::height, 3072), gvcp::status_success);
    ASSERT_EQ(host.write(reg::pixel_format, 0x02180014), gvcp::status_success);
    host.pending = 0;
    ASSERT_EQ(host.write(reg::acquisition_start, 1), gvcp::status_success);
    EXPECT_EQ(host.pending > 0, enabled);
    ASSERT_EQ(host.write(reg::acquisition_stop, 1), gvcp::status_success);
  }
}

}  // namespace
