// camctl against a scripted device on loopback: a register and memory map
// that answers the control protocol, and can be told to answer wrongly (other
// ids, other hosts, garbage, short answers), late, or not at all.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "gvcp/gvcp.h"
#include "strobix_harness.h"

namespace {

using namespace std::chrono_literals;
using Outcome = testlib::Exit;
using testlib::Process;

int udp_on(const char *address, std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

const char *description_xml = R"(<?xml version="1.0"?>
<RegisterDescription ModelName="Fake" VendorName="Test">
  <Category Name="Root"><pFeature>Width</pFeature><pFeature>AcquisitionStart</pFeature></Category>
  <Integer Name="Width"><pValue>WidthReg</pValue><Min>8</Min><Max>4096</Max></Integer>
  <IntReg Name="WidthReg"><Address>0x20000</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <Endianess>BigEndian</Endianess></IntReg>
  <Command Name="AcquisitionStart"><pValue>StartReg</pValue><CommandValue>1</CommandValue></Command>
  <Command Name="AcquisitionStop"><pValue>StopReg</pValue><CommandValue>1</CommandValue></Command>
  <IntReg Name="StartReg"><Address>0x20004</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="StopReg"><Address>0x20008</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <Endianess>BigEndian</Endianess></IntReg>
</RegisterDescription>
)";

// What the device does with one command: answer it normally, or run the
// test's own reply (which may send anything, or nothing).
struct fake_device {
  int fd = -1;
  int other_host_fd = -1;  // same port on 127.0.0.2: "another host"
  int other_port_fd = -1;
  std::map<std::uint32_t, std::byte> memory;
  std::mutex lock;
  std::vector<gvcp::Command> seen;  // payloads not kept
  std::vector<std::uint16_t> ids;
  std::function<bool(fake_device &, const gvcp::Command &, const sockaddr_in &)> script;
  unsigned path_mtu = 0;  // test packets larger than this are lost; 0: none fired
  std::atomic<bool> stop{false};
  std::atomic<bool> silent{false};
  std::thread thread;

  fake_device() {
    fd = udp_on("127.0.0.1", 0);
    other_host_fd = udp_on("127.0.0.2", port_of(fd));
    other_port_fd = udp_on("127.0.0.1", 0);
    put32(gvcp::reg_heartbeat_timeout, 600);
    put32(gvcp::reg_stream_channel_count, 1);
    put32(gvcp::reg_scps(0), 1400);
    const std::string url = "Local:fake.xml;10000;" + hex(std::strlen(description_xml));
    for (std::size_t i = 0; i < url.size(); ++i) memory[0x200 + i] = std::byte(url[i]);
    for (std::size_t i = 0; i < std::strlen(description_xml); ++i)
      memory[0x10000 + static_cast<std::uint32_t>(i)] = std::byte(description_xml[i]);
    thread = std::thread([this] { run(); });
  }
  ~fake_device() {
    stop = true;
    thread.join();
    for (int f : {fd, other_host_fd, other_port_fd})
      if (f >= 0) close(f);
  }
  static std::string hex(std::size_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%zX", v);
    return b;
  }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_of(fd)); }
  void put32(std::uint32_t a, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      memory[a + static_cast<std::uint32_t>(i)] = std::byte(v >> (24 - 8 * i));
  }
  std::uint32_t get32(std::uint32_t a) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v = (v << 8) | std::to_integer<std::uint32_t>(memory[a + static_cast<std::uint32_t>(i)]);
    return v;
  }
  std::uint32_t reg(std::uint32_t a) {
    std::lock_guard<std::mutex> g(lock);
    return get32(a);
  }
  void send(int from, const sockaddr_in &to, const std::vector<std::byte> &d) {
    sendto(from, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }
  std::vector<std::byte> ack(std::uint16_t status, std::uint16_t code, std::uint16_t id,
                             const std::vector<std::byte> &payload) {
    std::vector<std::byte> out(8 + payload.size());
    out.resize(gvcp::build_ack(out, status, code, id, payload));
    return out;
  }
  static std::uint32_t be32(gvcp::bytes b, std::size_t off) {
    return (std::to_integer<std::uint32_t>(b[off]) << 24) |
           (std::to_integer<std::uint32_t>(b[off + 1]) << 16) |
           (std::to_integer<std::uint32_t>(b[off + 2]) << 8) |
           std::to_integer<std::uint32_t>(b[off + 3]);
  }
  // The answer a sound device gives.
  std::vector<std::byte> answer(const gvcp::Command &c) {
    std::vector<std::byte> p;
    const auto word = [&](std::uint32_t v) {
      for (int i = 0; i < 4; ++i) p.push_back(std::byte(v >> (24 - 8 * i)));
    };
    switch (c.command) {
      case gvcp::cmd_readreg:
        for (std::size_t i = 0; i + 4 <= c.payload.size(); i += 4) word(get32(be32(c.payload, i)));
        return ack(0, gvcp::ack_readreg, c.req_id, p);
      case gvcp::cmd_writereg:
        for (std::size_t i = 0; i + 8 <= c.payload.size(); i += 8) {
          const std::uint32_t a = be32(c.payload, i), v = be32(c.payload, i + 4);
          put32(a, v);
          if (a == gvcp::reg_scps(0) && (v & gvcp::scps_fire_test_packet) != 0) fire_test_packet(v);
        }
        word(c.payload.size() / 8);
        return ack(0, gvcp::ack_writereg, c.req_id, p);
      case gvcp::cmd_readmem: {
        const std::uint32_t a = be32(c.payload, 0);
        const std::size_t n = (std::to_integer<std::size_t>(c.payload[6]) << 8) |
                              std::to_integer<std::size_t>(c.payload[7]);
        word(a);
        for (std::size_t i = 0; i < n; ++i) p.push_back(memory[a + static_cast<std::uint32_t>(i)]);
        return ack(0, gvcp::ack_readmem, c.req_id, p);
      }
      default:
        return ack(gvcp::status_not_implemented, gvcp::ack_for(c.command), c.req_id, p);
    }
  }
  void fire_test_packet(std::uint32_t scps) {
    const unsigned size = scps & 0xFFFF;
    if (path_mtu == 0 || size > path_mtu) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(get32(gvcp::reg_scda(0)));
    to.sin_port = htons(static_cast<std::uint16_t>(get32(gvcp::reg_scp(0)) & 0xFFFF));
    send(fd, to, std::vector<std::byte>(size - 28));
  }
  void run() {
    std::vector<std::byte> buf(2048);
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n =
          recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
      if (n <= 0) continue;
      const auto c = gvcp::parse_command(gvcp::bytes(buf).first(static_cast<std::size_t>(n)));
      if (!c) continue;
      std::lock_guard<std::mutex> g(lock);
      seen.push_back(c.value);
      ids.push_back(c.value.req_id);
      if (silent) continue;
      if (script && script(*this, c.value, from)) continue;
      send(fd, from, answer(c.value));
    }
  }
};

Outcome camctl(const std::vector<std::string> &args) {
  std::vector<std::string> all{"--timeout", "150", "--retries", "2"};
  all.insert(all.end(), args.begin(), args.end());
  Process p(CAMCTL_PATH, all);
  return p.finish(30s);
}

TEST(CamctlFakeDevice, TakesOnlyTheAnswerOfItsOwnIdFromTheDevice) {
  fake_device dev;
  dev.put32(0x0D04, 0x1234);
  dev.script = [](fake_device &d, const gvcp::Command &c, const sockaddr_in &from) {
    if (c.command != gvcp::cmd_readreg || d.ids.size() != 1) return false;
    const std::vector<std::byte> bad_value{std::byte{0xBA}, std::byte{0xD0}, std::byte{0},
                                           std::byte{0}};
    const auto wrong_id = static_cast<std::uint16_t>(c.req_id + 1);
    d.send(d.fd, from, d.ack(0, gvcp::ack_readreg, wrong_id, bad_value));
    d.send(d.other_host_fd, from, d.ack(0, gvcp::ack_readreg, c.req_id, bad_value));
    d.send(d.other_port_fd, from, d.ack(0, gvcp::ack_readreg, c.req_id, bad_value));
    d.send(d.fd, from, d.ack(0, gvcp::ack_readmem, c.req_id, bad_value));
    d.send(d.fd, from, std::vector<std::byte>(3, std::byte{0xFF}));
    // An EVENT command, as a device sends them, with the same id.
    std::vector<std::byte> event(8 + 24);
    event[0] = std::byte{0x42};
    event[3] = std::byte{0xC0};
    event[5] = std::byte{24};
    event[6] = std::byte(c.req_id >> 8);
    event[7] = std::byte(c.req_id & 0xFF);
    d.send(d.fd, from, event);
    // Busy for up to 3 s: the real answer follows well after camctl's own
    // timeout, well within the time named.
    d.send(d.fd, from,
           d.ack(0, gvcp::ack_pending, c.req_id,
                 {std::byte{0}, std::byte{0}, std::byte{0x0B}, std::byte{0xB8}}));
    usleep(1200000);
    d.send(d.fd, from, d.answer(c));
    return true;
  };
  const Outcome o = camctl({"--timeout", "400", "reg", dev.endpoint(), "0x0D04"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "0x00000D04=0x00001234\n");
  // The pending answer held the wait open: one send, no retry.
  EXPECT_EQ(dev.ids.size(), 1u);
}

TEST(CamctlFakeDevice, RetriesWithTheSameIdThenGivesUpClearly) {
  fake_device dev;
  dev.script = [](fake_device &d, const gvcp::Command &, const sockaddr_in &) {
    return d.ids.size() < 3;  // silent twice, answers the third
  };
  // Retries to spare: a slow answer to the third send may cost another.
  const Outcome late = camctl({"--retries", "6", "reg", dev.endpoint(), "0x0A00"});
  EXPECT_EQ(late.status, 0) << late.err;
  ASSERT_GE(dev.ids.size(), 3u);
  for (std::uint16_t id : dev.ids) EXPECT_EQ(id, dev.ids[0]);

  fake_device mute;
  mute.silent = true;
  const Outcome never = camctl({"get", mute.endpoint(), "Width"});
  EXPECT_EQ(never.status, 4);
  EXPECT_NE(never.err.find("no answer from the camera"), std::string::npos) << never.err;
  EXPECT_EQ(mute.ids.size(), 3u);  // the first send and two retries
}

TEST(CamctlFakeDevice, ShortOrRefusingAnswersFailWithAReason) {
  fake_device dev;
  dev.script = [](fake_device &d, const gvcp::Command &c, const sockaddr_in &from) {
    if (c.command == gvcp::cmd_readreg) {
      // Half a register.
      d.send(d.fd, from, d.ack(0, gvcp::ack_readreg, c.req_id, std::vector<std::byte>(2)));
      return true;
    }
    if (c.command == gvcp::cmd_readmem) {
      // The length field claims more than the datagram holds.
      auto a = d.ack(0, gvcp::ack_readmem, c.req_id, std::vector<std::byte>(12));
      a[5] = std::byte{200};
      d.send(d.fd, from, a);
      return true;
    }
    if (c.command == gvcp::cmd_writereg) {
      d.send(d.fd, from,
             d.ack(gvcp::status_access_denied, gvcp::ack_writereg, c.req_id,
                   std::vector<std::byte>(4)));
      return true;
    }
    return false;
  };
  const Outcome short_regs = camctl({"reg", dev.endpoint(), "0x0A00"});
  EXPECT_EQ(short_regs.status, 1);
  EXPECT_NE(short_regs.err.find("malformed answer"), std::string::npos) << short_regs.err;

  const Outcome cut = camctl({"xml", dev.endpoint()});
  EXPECT_EQ(cut.status, 4) << cut.err;  // every answer unusable: as good as none

  const Outcome denied = camctl({"reg", dev.endpoint(), "0x0D18=0x0A000001"});
  EXPECT_EQ(denied.status, 3);
  EXPECT_NE(denied.err.find("another application controls this camera"), std::string::npos)
      << denied.err;
}

TEST(CamctlFakeDevice, FindsTheDescriptionByEitherUrlOrRefusesItByName) {
  const auto put_url = [](fake_device &d, std::uint32_t reg, const std::string &url) {
    for (std::size_t i = 0; i < 512; ++i)
      d.memory[reg + static_cast<std::uint32_t>(i)] =
          i < url.size() ? std::byte(url[i]) : std::byte{0};
  };
  fake_device dev;
  const std::string local =
      "Local:fake.xml;10000;" + fake_device::hex(std::strlen(description_xml));
  put_url(dev, 0x200, "Local:fake.xml;10000;FFFFFFFF");
  const Outcome huge = camctl({"get", dev.endpoint(), "Width"});
  EXPECT_EQ(huge.status, 1);
  EXPECT_NE(huge.err.find("neither in the camera's memory nor a file here"), std::string::npos)
      << huge.err;

  // The first URL names what camctl cannot fetch; the second holds it.
  put_url(dev, 0x200, "http://example.invalid/fake.xml");
  put_url(dev, 0x400, local);
  dev.put32(0x20000, 640);
  const Outcome second = camctl({"get", dev.endpoint(), "Width"});
  EXPECT_EQ(second.out, "Width=640\n") << second.err;

  char path[] = "/tmp/camctl_fake_XXXXXX.xml";
  const int fd = mkstemps(path, 4);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, description_xml, std::strlen(description_xml)),
            static_cast<ssize_t>(std::strlen(description_xml)));
  close(fd);
  put_url(dev, 0x200, std::string("File://") + path);
  const Outcome file = camctl({"get", dev.endpoint(), "Width"});
  unlink(path);
  EXPECT_EQ(file.out, "Width=640\n") << file.err;

  fake_device unknown;
  const Outcome missing = camctl({"get", unknown.endpoint(), "Width", "Gain"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("Width=0"), std::string::npos) << missing.out;
  EXPECT_NE(missing.err.find("no feature or node named Gain"), std::string::npos) << missing.err;
}

TEST(CamctlFakeDevice, StreamsUndoesItsSettingsAndReportsAVanishedCamera) {
  fake_device dev;
  dev.path_mtu = 1000;
  Process run(CAMCTL_PATH, {"stream", dev.endpoint(), "--to", "127.0.0.1:40000"});
  ASSERT_TRUE(run.wait_for_out("Streaming", 20s));
  EXPECT_EQ(dev.reg(gvcp::reg_scda(0)), 0x7F000001u);
  EXPECT_EQ(dev.reg(gvcp::reg_scp(0)) & 0xFFFF, 40000u);
  // The path carries 1000 bytes: the camera's 1400 was lowered to fit.
  EXPECT_EQ(dev.reg(gvcp::reg_scps(0)) & 0xFFFF, 1000u);
  EXPECT_EQ(dev.reg(0x20004), 1u);
  EXPECT_EQ(dev.reg(gvcp::reg_ccp), gvcp::ccp_exclusive);
  run.signal(SIGINT);
  const Outcome stopped = run.finish(10s);
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  EXPECT_NE(stopped.out.find("streaming with 1000"), std::string::npos) << stopped.out;
  EXPECT_EQ(dev.reg(0x20008), 1u);
  EXPECT_EQ(dev.reg(gvcp::reg_scda(0)), 0u);
  EXPECT_EQ(dev.reg(gvcp::reg_ccp), 0u);

  const Outcome too_big = camctl({"stream", dev.endpoint(), "--to", "127.0.0.1:40000",
                                  "--packet-size", "1400", "--timeout", "1000"});
  EXPECT_EQ(too_big.status, 1);
  EXPECT_NE(too_big.err.find("largest that does is 1000"), std::string::npos) << too_big.err;

  // A camera without exclusive access that ignores the request for it.
  fake_device shared;
  shared.script = [](fake_device &d, const gvcp::Command &c, const sockaddr_in &) {
    return c.command == gvcp::cmd_writereg && fake_device::be32(c.payload, 0) == gvcp::reg_ccp &&
           fake_device::be32(c.payload, 4) == gvcp::ccp_exclusive && d.get32(gvcp::reg_ccp) == 0;
  };
  const Outcome plain = camctl({"stream", shared.endpoint(), "--to", "127.0.0.1:40000", "-T", "1"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.out.find("Streaming"), std::string::npos) << plain.out;

  Process lost(CAMCTL_PATH, {"stream", dev.endpoint(), "--to", "127.0.0.1:40000", "--timeout",
                             "100", "--retries", "1"});
  ASSERT_TRUE(lost.wait_for_out("Streaming", 20s));
  dev.silent = true;
  const Outcome vanished = lost.finish(10s);
  EXPECT_EQ(vanished.status, 4);
  EXPECT_NE(vanished.err.find("stopped answering while streaming"), std::string::npos)
      << vanished.err;
}

}  // namespace
