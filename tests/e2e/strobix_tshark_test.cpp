// An outside opinion on the bytes: tshark's GVSP and GVCP dissectors read a
// capture of what strobix sends (every payload type, both header kinds,
// all-in, resent and unavailable answers) and of the resend commands this
// test sends, and must find every frame well-formed. A deliberately
// truncated leader shows that the dissector does flag what is broken.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "lib/strobix_runs.h"

namespace {

using namespace std::chrono_literals;
using Outcome = testlib::Exit;
using strobix_test::Receiver;
using strobix_test::Strobix;
using testlib::Process;

struct Frame {
  std::string protocols, malformed, severity, command;
};

// The test's own markers: datagrams a socket sends to itself, which tell
// how far the capture has got and are no part of what is checked.
struct Markers {
  testlib::UdpSocket start, end;
  std::string filter() const {
    return "udp port " + std::to_string(start.port) + " or udp port " + std::to_string(end.port);
  }
  std::string excluded() const {
    return "!(udp.port==" + std::to_string(start.port) +
           " || udp.port==" + std::to_string(end.port) + ")";
  }
};

// Sends a marker now and then until the capture file holds one: the capture
// is then running, and holds everything sent before it. A busy machine
// takes its time to start tshark and to write its file, never this long.
bool captured(const std::string &file, const testlib::UdpSocket &marker) {
  const auto until = std::chrono::steady_clock::now() + 60s;
  const std::byte mark[4] = {};
  while (std::chrono::steady_clock::now() < until) {
    marker.send_to(marker.port, mark);
    Process reader("tshark", {"-r", file, "-Y", "udp.port==" + std::to_string(marker.port), "-T",
                              "fields", "-e", "frame.number"});
    if (!reader.finish(60s).out.empty()) return true;
  }
  return false;
}

std::vector<Frame> read_capture(const std::string &file, const Markers &markers,
                                std::uint16_t stream_port, std::uint16_t control_port) {
  Process reader("tshark", {"-r", file,
                            "-Y", markers.excluded(),
                            "-d", "udp.port==" + std::to_string(stream_port) + ",gvsp",
                            "-d", "udp.port==" + std::to_string(control_port) + ",gvcp",
                            "-T", "fields",
                            "-E", "separator=|",
                            "-e", "frame.protocols",
                            "-e", "_ws.malformed",
                            "-e", "_ws.expert.severity",
                            "-e", "gvcp.cmd.command"});
  const Outcome o = reader.finish(60s);
  std::vector<Frame> frames;
  std::stringstream lines(o.out);
  std::string line;
  while (std::getline(lines, line)) {
    Frame f;
    std::stringstream fields(line);
    std::getline(fields, f.protocols, '|');
    std::getline(fields, f.malformed, '|');
    std::getline(fields, f.severity, '|');
    std::getline(fields, f.command, '|');
    frames.push_back(f);
  }
  return frames;
}

TEST(StrobixTshark, DissectorsFindEveryFrameWellFormed) {
  if (testlib::find_program("tshark") == "tshark")
    GTEST_SKIP() << "SKIPPED: tshark is not installed";
  // A dissector chosen by port is tried on the lower port of a datagram
  // first: stream port < strobix's port < the command sender's port makes
  // each datagram land on the dissector it is for.
  const std::vector<std::uint16_t> ports = testlib::free_ports(3);
  Receiver rx(ports[0]);
  const std::uint16_t control = ports[1];
  Receiver commander(ports[2]);
  ASSERT_EQ(rx.port(), ports[0]);
  ASSERT_EQ(commander.port(), ports[2]);
  const testlib::TemporaryDirectory dir("strobix_tshark");
  ASSERT_FALSE(dir.path.empty());
  const std::string file = dir.path / "capture.pcapng";

  const Markers markers;
  Process capture("tshark", {"-i", "lo", "-f",
                             "udp port " + std::to_string(rx.port()) + " or udp port " +
                                 std::to_string(control) + " or " + markers.filter(),
                             "-w", file, "-a", "duration:600"});
  if (!capture.wait_for_err("Capturing on", 60s)) {
    const Outcome o = capture.finish(5s);
    GTEST_SKIP() << "SKIPPED: tshark cannot capture on lo: " << o.err;
  }
  ASSERT_TRUE(captured(file, markers.start)) << "the capture never started";

  const std::string local = "127.0.0.1:" + std::to_string(control);
  const std::vector<std::vector<std::string>> runs = {
      {"-n", "2", "-s", "3000", "-c"},
      {"-2", "-I", "70000", "-s", "3000"},
      {"-a", "-s", "100"},
      {"-a", "-2", "-y", "image", "-g", "8x8"},
      {"-y", "image", "-g", "64x10"},
      {"-y", "file", "-s", "100"},
      {"-y", "chunk", "-s", "100"},
      {"-y", "extchunk", "-g", "16x4"},
      {"-O", "-U", "-s", "5000"},
  };
  std::size_t sent = 0;
  for (auto args : runs) {
    args.insert(args.end(), {"-W", "0", "-l", local, rx.endpoint()});
    Strobix s(args);
    ASSERT_EQ(s.finish().status, 0);
  }
  sent += rx.take(300).size();

  std::size_t commands = 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(control);
  for (auto kind : {gvsp::HeaderKind::standard, gvsp::HeaderKind::extended}) {
    const bool ext = kind == gvsp::HeaderKind::extended;
    const std::uint64_t first = ext ? 5000000000ull : 1;
    std::vector<std::string> args{
        "-n", "3",     "-H", "1",   "-s",         "3000", "-I", std::to_string(first),
        "-W", "20000", "-l", local, rx.endpoint()};
    if (ext) args.push_back("-2");
    Strobix s(args);
    rx.wait_first(10000);
    sent += rx.take(300).size();
    // Resent packets of the block still held, unavailable ones of an older one.
    commander.send_to(to, strobix_test::resend_command(kind, first + 2, 0, 4, 1));
    commander.send_to(to, strobix_test::resend_command(kind, first, 1, 2, 2));
    commands += 2;
    sent += rx.take(1000).size();
    s.signal(SIGTERM);
    EXPECT_EQ(s.finish().status, 0);
  }
  // The control: a leader cut short inside its payload type field.
  sockaddr_in stream{};
  stream.sin_family = AF_INET;
  stream.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  stream.sin_port = htons(rx.port());
  rx.send_to(stream, {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}, std::byte{1},
                      std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}});
  sent += rx.take(300).size();

  EXPECT_TRUE(captured(file, markers.end)) << "the capture did not catch up";
  capture.signal(SIGINT);
  capture.finish(30s);
  const std::vector<Frame> frames = read_capture(file, markers, rx.port(), control);

  ASSERT_EQ(frames.size(), sent + commands);
  std::size_t gvsp = 0, gvcp = 0, malformed = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame &f = frames[i];
    const bool last = i + 1 == frames.size();
    if (f.protocols.ends_with(":gvsp")) ++gvsp;
    if (f.protocols.ends_with(":gvcp")) {
      ++gvcp;
      EXPECT_EQ(f.command, "0x0040") << "frame " << i + 1;
    }
    if (!f.malformed.empty()) ++malformed;
    if (!last) {
      EXPECT_EQ(f.malformed, "") << "frame " << i + 1 << ": " << f.protocols;
      EXPECT_EQ(f.severity, "") << "frame " << i + 1 << ": " << f.protocols;
    }
  }
  EXPECT_EQ(gvcp, commands);
  EXPECT_EQ(gvsp, sent);
  EXPECT_EQ(malformed, 1u) << "the truncated control leader must be flagged";
  EXPECT_FALSE(frames.back().malformed.empty());
}

}  // namespace
