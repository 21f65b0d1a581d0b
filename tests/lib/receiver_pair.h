// The receivers run end to end over loopback: spawning them, the pair with
// strobix, a small sender of the tests' own and reading the report.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gvsp/gvsp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lib/gvsp_packets.h"
#include "lib/net.h"
#include "lib/process.h"

namespace engine_e2e {

using namespace std::chrono_literals;
using testlib::Bytes;
using testlib::Exit;
using testlib::free_port;
using testlib::header;
using testlib::Process;
using Args = std::vector<std::string>;

inline const std::string plaingrab = PLAINGRAB_PATH;
inline const std::string workergrab = WORKERGRAB_PATH;
inline const std::string strobix = STROBIX_PATH;

// A command line's words, as a shell splits one without quotes.
inline Args words(const std::string &line) {
  std::istringstream in(line);
  Args argv;
  for (std::string word; in >> word;) argv.push_back(word);
  return argv;
}

// A receiver run line-buffered (stdbuf -oL), so that its setup lines show
// while it runs.
inline Args line_buffered(Args argv) {
  argv.insert(argv.begin(), {"stdbuf", "-oL"});
  return argv;
}

// Ready once it says its buffers are queued: blocks sent before then would
// find none (and be counted not available), which is not what these tests
// are about.
inline bool wait_until_ready(Process &receiver) {
  return receiver.wait_for_out("Queued ", 60s);
}

// The number after the label (and a colon, where the report has one) on
// the nth line that starts with it.
inline long long counter(const std::string &text, const std::string &label, int nth = 1) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(label, 0) != 0) continue;
    std::size_t at = label.size();
    if (at < line.size() && line[at] == ':') ++at;
    if (at >= line.size() || line[at] != ' ') continue;
    if (--nth == 0) return std::stoll(line.substr(at));
  }
  return -1;
}

inline bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

// The report's counts against "label=value, label>=value, ...".
inline void expect_counts(const std::string &text, const std::string &counts) {
  std::istringstream items(counts);
  for (std::string item; std::getline(items, item, ',');) {
    item.erase(0, item.find_first_not_of(' '));
    const std::size_t at = item.find('=');
    ASSERT_NE(at, std::string::npos) << "no value in \"" << item << "\"";
    const bool least = at > 0 && item[at - 1] == '>';
    const std::string label = item.substr(0, least ? at - 1 : at);
    const long long value = std::stoll(item.substr(at + 1));
    if (least) {
      EXPECT_GE(counter(text, label), value) << label << " in\n" << text;
    } else {
      EXPECT_EQ(counter(text, label), value) << label << " in\n" << text;
    }
  }
}

// Each of the lines (one a line of `lines`) ends a line of the status
// record -v prints for block `id`.
inline void expect_record(const std::string &err, long long id, const std::string &lines) {
  const std::size_t at = err.find("Block ID:          " + std::to_string(id) + "\n");
  ASSERT_NE(at, std::string::npos) << "no record of block " << id << " in\n" << err;
  const std::string record = err.substr(at, 200);
  std::istringstream each(lines);
  for (std::string line; std::getline(each, line);) {
    EXPECT_TRUE(contains(record, line + "\n")) << line << " in\n" << record;
  }
}

// Requests for packets that then came on their own, as the engine says at
// close under ZOK_VERBOSE=1 (-1 when it did not say). A loaded host's
// loopback reorders (each CPU's backlog is its own), so a count of requests
// holds only with these taken out.
inline long long spurious_resends(const std::string &err) {
  const std::string said = "spurious resends ";
  const std::size_t at = err.rfind(said);
  return at == std::string::npos ? -1 : std::stoll(err.substr(at + said.size()));
}

// The information record's count of blocks handed to the program (the
// program's own count leaves out blocks with a bad status).
inline long long handed_over(const std::string &text) {
  return counter(text, "Blocks received", 2);
}

inline std::size_t occurrences(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Ports {
  std::uint16_t data = free_port();
  std::uint16_t control = free_port();
  std::string data_endpoint() const { return "127.0.0.1:" + std::to_string(data); }
  std::string control_endpoint() const { return "127.0.0.1:" + std::to_string(control); }
};

struct PairRun {
  Exit receiver;
  Exit sender;
  // Datagrams (resend requests) the kernel dropped at strobix's socket: a
  // loaded machine may keep strobix from reading them while it sends.
  long long sender_drops = 0;
};

// The receiver with `receiver_args`, its resend address pointing at
// strobix unless the args name one; strobix with `sender_args`.
inline PairRun run_pair(const std::string &program, const Args &receiver_args,
                        const Args &sender_args, std::chrono::milliseconds limit = 30s,
                        const Args &launcher = {}) {
  Ports ports;
  Args r = launcher;
  r.push_back(program);
  r.insert(r.end(), receiver_args.begin(), receiver_args.end());
  if (std::find(r.begin(), r.end(), "-P") == r.end()) {
    r.insert(r.end(), {"-P", ports.control_endpoint()});
  }
  r.push_back(ports.data_endpoint());
  Process receiver(line_buffered(r));
  PairRun run;
  if (!wait_until_ready(receiver)) {
    run.receiver = receiver.finish(1ms);
    ADD_FAILURE() << "receiver never bound its port: " << run.receiver.err;
    return run;
  }
  Args s{strobix};
  s.insert(s.end(), sender_args.begin(), sender_args.end());
  // strobix outruns a receiver (all the more one built with sanitizers):
  // it keeps answering resend requests for a while after its last block.
  s.insert(s.end(), {"-W", "3000", "-l", ports.control_endpoint(), ports.data_endpoint()});
  Process sender(s);
  for (auto until = std::chrono::steady_clock::now() + limit;
       !sender.ended_within(5ms) && std::chrono::steady_clock::now() < until;) {
    run.sender_drops = std::max(run.sender_drops, testlib::udp_drops(ports.control));
  }
  run.sender = sender.finish(limit);
  run.receiver = receiver.finish(limit);
  EXPECT_FALSE(run.receiver.hung) << run.receiver.out;
  EXPECT_FALSE(run.sender.hung);
  return run;
}

inline const std::vector<std::string> receivers = {plaingrab, workergrab};

inline std::string name_of(const std::string &program) {
  return program.substr(program.rfind('/') + 1);
}

inline void expect_all_good(const Exit &o, long long blocks, long long last_id) {
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(counter(o.out, "Blocks received"), blocks) << o.out;
  EXPECT_EQ(counter(o.out, "Blocks non-zero status"), 0) << o.out;
  // A block completed by a resend may come after later ones.
  if (last_id >= 0) {
    EXPECT_EQ(counter(o.out, "Last Block ID"), last_id) << o.out;
  }
  EXPECT_EQ(counter(o.out, "Blocks Complete"), blocks) << o.out;
  EXPECT_EQ(counter(o.out, "Blocks Incomplete"), 0) << o.out;
  EXPECT_FALSE(contains(o.out, "Failed to verify")) << o.out;
  EXPECT_FALSE(contains(o.out, "bad status")) << o.out;
}

// A sender of the test's own: strobix's pattern, and whatever else a case needs.
class Sender {
 public:
  // `from`: the local address to send from.
  explicit Sender(std::uint16_t to, const char *from = "127.0.0.1") : socket_(from), to_(to) {}
  void send(const Bytes &d) const {
    socket_.send_to(to_, d);
    // Loopback delivers at once; a short pause keeps a small socket buffer
    // from overflowing under a loaded machine.
    std::this_thread::sleep_for(20us);
  }
  static constexpr std::size_t data_per_packet = 1000;
  static constexpr std::uint32_t packets = 8;
  static Bytes leader(std::uint64_t id) {
    return testlib::make_leader(id, gvsp::HeaderKind::standard, data_per_packet * packets);
  }
  static Bytes payload(std::uint64_t id, std::uint32_t k) {
    return testlib::make_payload(id, k, data_per_packet);
  }
  static Bytes trailer(std::uint64_t id) { return testlib::make_trailer(id, packets + 1); }
  // Leader and the first `upto` payload packets, then the trailer if whole.
  void block(std::uint64_t id, std::uint32_t upto = packets) const {
    send(leader(id));
    for (std::uint32_t k = 1; k <= upto; ++k) send(payload(id, k));
    if (upto == packets) send(trailer(id));
  }

 private:
  testlib::UdpSocket socket_;
  std::uint16_t to_;
};

}  // namespace engine_e2e
