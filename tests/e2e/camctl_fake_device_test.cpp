// camctl against a scripted device on loopback: a register and memory map
// that answers the control protocol, and can be told to answer wrongly (other
// ids, other hosts, garbage, short answers), late, or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "gvcp/gvcp.h"
#include "lib/camctl_descriptions.h"
#include "lib/gvsp_packets.h"
#include "lib/net.h"
#include "lib/png_read.h"
#include "lib/strobix_runs.h"

namespace {

using namespace std::chrono_literals;
using Outcome = testlib::Exit;
using testlib::Process;

using testlib::port_of;

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

// Where the device keeps its description: above every register the tests'
// descriptions use.
constexpr std::uint32_t description_address = 0x100000;

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
  // Each READREG's and READMEM's command code and first address.
  std::vector<std::pair<std::uint16_t, std::uint32_t>> reads;
  std::function<bool(fake_device &, const gvcp::Command &, const sockaddr_in &)> script;
  unsigned path_mtu = 0;  // test packets larger than this are lost; 0: none fired
  std::atomic<bool> stop{false};
  std::atomic<bool> silent{false};
  std::thread thread;

  explicit fake_device(const std::string &description = description_xml) {
    fd = testlib::bound_udp("127.0.0.1", 0);
    other_host_fd = testlib::bound_udp("127.0.0.2", port_of(fd));
    other_port_fd = testlib::bound_udp("127.0.0.1", 0);
    put32(gvcp::reg_heartbeat_timeout, 600);
    put32(gvcp::reg_stream_channel_count, 1);
    put32(gvcp::reg_scps(0), 1400);
    serve(description);
    thread = std::thread([this] { run(); });
  }
  void serve(const std::string &description) {
    std::lock_guard<std::mutex> g(lock);
    put_url(0x200, "Local:fake.xml;100000;" + hex(description.size()));
    for (std::size_t i = 0; i < description.size(); ++i)
      memory[description_address + static_cast<std::uint32_t>(i)] = std::byte(description[i]);
  }
  // One of the two 512-byte URL registers.
  void put_url(std::uint32_t reg, const std::string &url) {
    for (std::size_t i = 0; i < 512; ++i)
      memory[reg + static_cast<std::uint32_t>(i)] =
          i < url.size() ? std::byte(url[i]) : std::byte{0};
  }
  void forget_commands() {
    std::lock_guard<std::mutex> g(lock);
    seen.clear();
    reads.clear();
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
      if ((c.value.command == gvcp::cmd_readreg || c.value.command == gvcp::cmd_readmem) &&
          c.value.payload.size() >= 4)
        reads.emplace_back(c.value.command, be32(c.value.payload, 0));
      if (silent) continue;
      if (script && script(*this, c.value, from)) continue;
      send(fd, from, answer(c.value));
    }
  }
};

// Descriptions camctl keeps go to a directory of the test's own.
struct description_cache {
  testlib::TemporaryDirectory dir{"camctl_cache"};
  description_cache() { setenv("XDG_CACHE_HOME", dir.path.c_str(), 1); }
} cache;

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
  fake_device dev;
  const std::string local =
      "Local:fake.xml;100000;" + fake_device::hex(std::strlen(description_xml));
  dev.put_url(0x200, "Local:fake.xml;100000;FFFFFFFF");
  const Outcome huge = camctl({"get", dev.endpoint(), "Width"});
  EXPECT_EQ(huge.status, 1);
  EXPECT_NE(huge.err.find("neither in the camera's memory nor a file here"), std::string::npos)
      << huge.err;

  // The first URL names what camctl cannot fetch; the second holds it.
  dev.put_url(0x200, "http://example.invalid/fake.xml");
  dev.put_url(0x400, local);
  dev.put32(0x20000, 640);
  const Outcome second = camctl({"get", dev.endpoint(), "Width"});
  EXPECT_EQ(second.out, "Width=640\n") << second.err;

  char path[] = "/tmp/camctl_fake_XXXXXX.xml";
  const int fd = mkstemps(path, 4);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, description_xml, std::strlen(description_xml)),
            static_cast<ssize_t>(std::strlen(description_xml)));
  close(fd);
  dev.put_url(0x200, std::string("File://") + path);
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

// While the device acquires, it streams 40x30 Mono8 (or other) blocks to
// where it is pointed, one every 20 ms, holding the tests' shared pattern;
// odd blocks (or all) lose their second payload packet (bytes 500-999) for
// good, since the device ignores resend requests.
struct fake_stream {
  fake_device &dev;
  std::uint32_t format;
  bool all_lossy;
  std::atomic<bool> stop{false};
  std::thread thread;

  fake_stream(fake_device &d, std::uint32_t pixel_format, bool lose_in_all = false)
      : dev(d), format(pixel_format), all_lossy(lose_in_all) {
    thread = std::thread([this] { run(); });
  }
  ~fake_stream() {
    stop = true;
    thread.join();
  }
  void run() {
    const testlib::UdpSocket out;
    for (std::uint64_t id = 1; !stop; poll(nullptr, 0, 20)) {
      if (dev.reg(0x20004) == 0 || dev.reg(0x20008) != 0) continue;
      // Pointed at this host: camctl's address toward a loopback camera.
      const auto port = static_cast<std::uint16_t>(dev.reg(gvcp::reg_scp(0)) & 0xFFFF);
      gvsp::Leader l;
      l.payload_type = gvsp::payload_type_image;
      l.pixel_format = format;
      l.size_x = 40;
      l.size_y = 30;
      out.send_to(port, testlib::make_leader(id, l));
      for (std::uint32_t k = 1; k <= 3; ++k) {
        if ((all_lossy || id % 2 == 1) && k == 2) continue;
        out.send_to(port,
                    testlib::make_payload(testlib::header(id, k),
                                          testlib::pattern(id, (k - 1) * 500, k < 3 ? 500 : 200)));
      }
      testlib::Bytes trailer(64);
      trailer.resize(gvsp::build_trailer(trailer, testlib::header(id, 4),
                                         {gvsp::payload_type_image, 30, 0, 0}));
      out.send_to(port, trailer);
      ++id;
    }
  }
};

struct snap_line {
  char file[256], size[32], format[32], status[32];
  unsigned long long block;
};

// camctl snap's line per file: FILE WxH FORMAT block ID STATUS...
std::vector<snap_line> snap_lines(const std::string &out) {
  std::vector<snap_line> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    snap_line l{};
    if (std::sscanf(line.c_str(), "%255s %31s %31s block %llu %31s", l.file, l.size, l.format,
                    &l.block, l.status) == 5)
      lines.push_back(l);
  }
  return lines;
}

// Pixels of a snapped file other than block `id` sent them, the 500 from
// byte `lost` on aside: an incomplete block promises nothing there.
std::size_t wrong_pixels(const std::string &file, std::uint64_t id, std::uint32_t lost = 1200) {
  const testlib::png_pixels png = testlib::read_png(file);
  if (!png.ok || png.width != 40 || png.height != 30 || png.channels != 1) return 1200;
  std::size_t wrong = 0;
  for (std::uint32_t i = 0; i < 1200; ++i)
    wrong += (i < lost || i >= lost + 500) && png.samples[i] != testlib::pattern_byte(id, i);
  return wrong;
}

TEST(CamctlFakeDevice, SnapWritesWholeImagesAndNeverAnIncompleteOneAsWhole) {
  char dir_template[] = "/tmp/camctl_snap.XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  {
    fake_device dev;
    fake_stream stream(dev, gvsp::pixel_format_mono8);
    const Outcome o = camctl({"snap", dev.endpoint(), "--count", "3", "-o", dir + "/s.png"});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<snap_line> lines = snap_lines(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const snap_line &l = lines[i];
      EXPECT_EQ(l.file, dir + "/s-" + std::to_string(i + 1) + ".png");
      EXPECT_EQ(std::string(l.size) + " " + l.format + " " + l.status, "40x30 Mono8 complete");
      EXPECT_EQ(l.block % 2, 0u) << "an incomplete block written as whole";
      EXPECT_EQ(wrong_pixels(l.file, l.block), 0u) << l.file;
    }
    // Acquisition stopped, destination cleared, control released.
    EXPECT_EQ(dev.reg(0x20008), 1u);
    EXPECT_EQ(dev.reg(gvcp::reg_scda(0)), 0u);
    EXPECT_EQ(dev.reg(gvcp::reg_ccp), 0u);
  }
  {
    // Nothing but incomplete blocks: each skipped and counted, none written.
    fake_device dev;
    fake_stream stream(dev, gvsp::pixel_format_mono8, true);
    const Outcome o = camctl({"snap", dev.endpoint(), "-T", "1", "-o", dir + "/n.png"});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(snap_lines(o.out).empty()) << o.out;
    EXPECT_NE(o.out.find("Skipped "), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("0 of 1 whole images within 1.0 s"), std::string::npos) << o.err;
    EXPECT_NE(access((dir + "/n.png").c_str(), F_OK), 0);
    EXPECT_EQ(dev.reg(gvcp::reg_ccp), 0u);
  }
  {
    // Asked for, one is written and marked, what did arrive in place.
    fake_device dev;
    fake_stream stream(dev, gvsp::pixel_format_mono8, true);
    const Outcome o = camctl({"snap", dev.endpoint(), "--incomplete", "-o", dir + "/i.png"});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<snap_line> lines = snap_lines(o.out);
    ASSERT_EQ(lines.size(), 1u) << o.out;
    EXPECT_STREQ(lines[0].status, "INCOMPLETE") << o.out;
    EXPECT_NE(testlib::read_png(dir + "/i.png").comment.find("INCOMPLETE"), std::string::npos);
    EXPECT_EQ(wrong_pixels(dir + "/i.png", lines[0].block, 500), 0u);
  }
  {
    // YCbCr422_8: named, refused, nothing written, the camera let go.
    fake_device dev;
    fake_stream stream(dev, 0x0210003B);
    const Outcome o = camctl({"snap", dev.endpoint(), "-o", dir + "/u.png"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("pixel format 0x0210003B is not one snap converts"), std::string::npos)
        << o.err;
    EXPECT_NE(access((dir + "/u.png").c_str(), F_OK), 0);
    EXPECT_EQ(dev.reg(gvcp::reg_ccp), 0u);
  }
  std::system(("rm -rf " + dir).c_str());
}

bool has_line(const std::string &out, const std::string &start, const std::string &end) {
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);)
    if (l.rfind(start, 0) == 0 && l.size() >= end.size() && l.ends_with(end)) return true;
  return false;
}

TEST(CamctlFakeDevice, ListsARichDescriptionAndNeverReadsChunkData) {
  fake_device dev(camctl_test::description_file("rich.xml"));
  for (const auto &[address, value] : camctl_test::rich_registers()) dev.put32(address, value);
  // A register the camera will not read is that feature's failure alone.
  dev.script = [](fake_device &d, const gvcp::Command &c, const sockaddr_in &from) {
    const bool refused = (c.command == gvcp::cmd_readreg || c.command == gvcp::cmd_readmem) &&
                         fake_device::be32(c.payload, 0) <= 0x30048 &&
                         fake_device::be32(c.payload, 0) + 12 > 0x30048;
    if (refused)
      d.send(d.fd, from,
             d.ack(gvcp::status_invalid_address, gvcp::ack_for(c.command), c.req_id, {}));
    return refused;
  };
  const Outcome list = camctl({"features", dev.endpoint()});
  EXPECT_EQ(list.status, 0) << list.err;
  for (const auto &[start, end] : std::vector<std::pair<std::string, std::string>>{
           {"Width ", "RW  640"},
           {"Binning ", "RW  4  Selector: BinningSelector"},
           {"ChunkExposureTime ", "RO  (only in a block's chunk data)"},
           {"EventExposureEndTimestamp ", "RO  (only in an event)"},
           {"FirmwareUpdate ", "(no node of this name in the description)"},
           {"ReadOutTime ", "refused the command: invalid address (0x8003))"}})
    EXPECT_TRUE(has_line(list.out, start, end)) << start << "... " << end << " in\n" << list.out;
  EXPECT_EQ(list.out.find("BinningSensorReg"), std::string::npos) << list.out;

  // Beyond the 32-bit space: refused, never read at its low 32 bits.
  const Outcome high = camctl({"get", dev.endpoint(), "HighRegister"});
  EXPECT_EQ(high.status, 1);
  EXPECT_NE(high.err.find("beyond the camera's 32-bit space"), std::string::npos) << high.err;

  dev.forget_commands();
  const Outcome chunk = camctl({"get", dev.endpoint(), "ChunkExposureTime"});
  EXPECT_EQ(chunk.status, 1);
  EXPECT_NE(chunk.err.find("ChunkExposureTime: only in a block's chunk data"), std::string::npos)
      << chunk.err;
  // The URL, the camera's identity and the description's ends: nothing else.
  for (const auto &[command, address] : dev.reads)
    EXPECT_TRUE(address == gvcp::reg_first_url || address == gvcp::reg_manufacturer_name ||
                address >= description_address)
        << std::hex << command << " at 0x" << address;

  // 5000 bytes in ten reads of at most 536.
  dev.forget_commands();
  const Outcome lut = camctl({"get", dev.endpoint(), "LUTValueAll"});
  EXPECT_EQ(lut.out.size(), std::string("LUTValueAll=0x\n").size() + 10000) << lut.err;
  EXPECT_EQ(std::count_if(dev.reads.begin(), dev.reads.end(),
                          [](const auto &r) { return r.second >= 0x31000 && r.second < 0x32388; }),
            10);
}

TEST(CamctlFakeDevice, KeepsTheDescriptionAndSendsAFewCommandsPerCommand) {
  // 2,900 nodes: nine hundred features, all behind a formula graph that
  // costs 4^6 reads to evaluate without remembering.
  const auto version = [](int v) {
    std::string x = camctl_test::fanout_description(900, 4, 6);
    x.replace(x.find("TO * 2"), 6, "TO * " + std::to_string(v));
    return x.replace(x.find("ModelName"), 0, "MinorVersion=\"" + std::to_string(v) + "\" ");
  };
  fake_device dev(version(2));
  dev.put32(0x40000, 1);
  dev.put32(0x50000, 5);
  const Outcome cold = camctl({"features", dev.endpoint()});
  EXPECT_EQ(cold.status, 0) << cold.err;
  EXPECT_TRUE(has_line(cold.out, "F0 ", "RW  10")) << cold.out;
  EXPECT_TRUE(has_line(cold.out, "Ready ", "RO  1024")) << cold.out;
  EXPECT_GT(dev.seen.size(), 600u);  // the description's download

  const auto commands = [&](const std::vector<std::string> &args, const std::string &out) {
    dev.forget_commands();
    const Outcome o = camctl(args);
    EXPECT_EQ(o.out, out) << o.err;
    return dev.seen.size();
  };
  EXPECT_LE(commands({"features", dev.endpoint()}, cold.out), 20u);
  EXPECT_LE(commands({"get", dev.endpoint(), "F0"}, "F0=10\n"), 8u);
  EXPECT_GT(commands({"--no-cache", "get", dev.endpoint(), "F0"}, "F0=10\n"), 600u);
  // Another version of the file, its length unchanged, is no kept copy.
  dev.serve(version(3));
  EXPECT_GT(commands({"get", dev.endpoint(), "F0"}, "F0=15\n"), 600u);
  EXPECT_LE(commands({"get", dev.endpoint(), "F0"}, "F0=15\n"), 8u);
}

}  // namespace
