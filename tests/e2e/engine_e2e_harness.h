// The receivers run end to end over loopback: spawning them, the pair with
// strobix, a small sender of the tests' own and reading the report.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gvsp/gvsp.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "strobix_harness.h"  // free ports, environ

namespace engine_e2e {

using namespace std::chrono_literals;
using Bytes = std::vector<std::byte>;
using Args = std::vector<std::string>;

inline const std::string plaingrab = PLAINGRAB_PATH;
inline const std::string workergrab = WORKERGRAB_PATH;
inline const std::string strobix = STROBIX_PATH;

inline std::string temp_dir() {
  static const std::string dir = [] {
    char name[] = "/tmp/engine_e2e.XXXXXX";
    return std::string(mkdtemp(name));
  }();
  return dir;
}

inline std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Output {
  int status = -1;  // exit status, or 128 + signal
  bool hung = false;
  std::string out;
  std::string err;
};

// A program with its standard output and error in files (a pipe could fill
// up and stall it).
class Child {
 public:
  explicit Child(const Args &args) {
    static int counter = 0;
    const std::string base = temp_dir() + "/" + std::to_string(++counter);
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void signal(int sig) const { kill(pid_, sig); }
  // True once standard output holds text (the program must write it
  // unbuffered or line-buffered); false if limit passes first.
  bool wait_for_out(const std::string &text, std::chrono::milliseconds limit) const {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (slurp(out_path_).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  pid_t pid() const { return pid_; }
  Output wait(std::chrono::milliseconds limit) {
    Output o;
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (pid_ > 0) {
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        break;
      }
      if (std::chrono::steady_clock::now() > until) {
        o.hung = true;
        // An interrupt first: a receiver that is merely waiting for blocks
        // that never came prints its report, which says why.
        kill(pid_, SIGINT);
        bool gone = false;
        for (int i = 0; i < 600 && !gone; ++i) {
          std::this_thread::sleep_for(5ms);
          gone = waitpid(pid_, &status, WNOHANG) == pid_;
        }
        if (!gone) {
          kill(pid_, SIGKILL);
          waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
    o.out = slurp(out_path_);
    o.err = slurp(err_path_);
    return o;
  }

 private:
  pid_t pid_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// Ports free a moment ago, each distinct from the last few handed out (the
// kernel may offer a port again as soon as its probe socket closes).
inline std::uint16_t free_port() {
  static std::vector<std::uint16_t> recent;
  for (;;) {
    const std::uint16_t port = strobix_test::free_port();
    if (std::find(recent.begin(), recent.end(), port) != recent.end()) continue;
    recent.push_back(port);
    if (recent.size() > 16) recent.erase(recent.begin());
    return port;
  }
}

// The receiver is ready once its stream socket holds the port; its buffers
// are queued a moment later.
inline bool wait_until_bound(std::uint16_t port) {
  for (int i = 0; i < 600; ++i) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool taken = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0;
    close(fd);
    if (taken) {
      // Its buffers are queued a moment later: on a loaded machine, a long one.
      std::this_thread::sleep_for(1s);
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
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

// The information record's count of blocks handed to the program (the
// program's own count leaves out blocks with a bad status).
inline long long handed_over(const std::string &text) {
  return counter(text, "Blocks received", 2);
}

inline bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
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
  Output receiver;
  Output sender;
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
  Child receiver(r);
  PairRun run;
  if (!wait_until_bound(ports.data)) {
    run.receiver = receiver.wait(1ms);
    ADD_FAILURE() << "receiver never bound its port: " << run.receiver.err;
    return run;
  }
  Args s{strobix};
  s.insert(s.end(), sender_args.begin(), sender_args.end());
  // strobix outruns a receiver (all the more one built with sanitizers):
  // it keeps answering resend requests for a while after its last block.
  s.insert(s.end(), {"-W", "3000", "-l", ports.control_endpoint(), ports.data_endpoint()});
  Child sender(s);
  run.sender = sender.wait(limit);
  run.receiver = receiver.wait(limit);
  EXPECT_FALSE(run.receiver.hung) << run.receiver.out;
  EXPECT_FALSE(run.sender.hung);
  return run;
}

inline const std::vector<std::string> receivers = {plaingrab, workergrab};

inline std::string name_of(const std::string &program) {
  return program.substr(program.rfind('/') + 1);
}

inline void expect_all_good(const Output &o, long long blocks, long long last_id) {
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
  // `from`: the local address to send from (loopback has all of 127/8).
  explicit Sender(std::uint16_t to, const char *from = nullptr) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (from != nullptr) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      inet_pton(AF_INET, from, &local.sin_addr);
      bind(fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    }
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_.sin_port = htons(to);
  }
  ~Sender() { close(fd_); }
  void send(const Bytes &d) const {
    sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to_), sizeof to_);
    // Loopback delivers at once; a short pause keeps a small socket buffer
    // from overflowing under a loaded machine.
    std::this_thread::sleep_for(20us);
  }
  static gvsp::Header header(std::uint64_t block, std::uint32_t packet) {
    gvsp::Header h;
    h.block_id = block;
    h.packet_id = packet;
    return h;
  }
  static constexpr std::size_t data_per_packet = 1000;
  static constexpr std::uint32_t packets = 8;
  static Bytes leader(std::uint64_t id) {
    gvsp::Leader l;
    l.payload_type = gvsp::payload_type_raw;
    l.payload_data_size = data_per_packet * packets;
    Bytes out(9000);
    out.resize(gvsp::build_leader(out, header(id, 0), l));
    return out;
  }
  // Payload packet k in strobix's pattern.
  static Bytes payload(std::uint64_t id, std::uint32_t k) {
    Bytes data(data_per_packet);
    for (std::size_t w = 0; w < data_per_packet / 4; ++w) {
      const std::size_t index = (k - 1) * data_per_packet / 4 + w;
      data[4 * w] = std::byte((id >> 8) & 0xFF);
      data[4 * w + 1] = std::byte(id & 0xFF);
      data[4 * w + 2] = std::byte((index >> 8) & 0xFF);
      data[4 * w + 3] = std::byte(index & 0xFF);
    }
    Bytes out(2000);
    out.resize(gvsp::build_payload(out, header(id, k), data));
    return out;
  }
  static Bytes trailer(std::uint64_t id) {
    gvsp::Trailer t;
    t.payload_type = gvsp::payload_type_raw;
    Bytes out(64);
    out.resize(gvsp::build_trailer(out, header(id, packets + 1), t));
    return out;
  }
  // Leader and the first `upto` payload packets, then the trailer if whole.
  void block(std::uint64_t id, std::uint32_t upto = packets) const {
    send(leader(id));
    for (std::uint32_t k = 1; k <= upto; ++k) send(payload(id, k));
    if (upto == packets) send(trailer(id));
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

}  // namespace engine_e2e
