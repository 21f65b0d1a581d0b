// multigrab: several cameras' streams into one process, as an application
// that watches several cameras takes them: either one thread polls every
// stream (as plaingrab polls its one), or each stream has the library's
// receive worker and the thread takes the finished blocks of all (as
// workergrab does). Counts blocks whole and not, per stream.
//
//   multigrab [-s bytes] [-n buffers] [-c cpu] [-w setting] RESEND_IP[:PORT]/LOCAL_IP:PORT...
//
// Prints "ready" once every stream has its buffers queued; on SIGINT or
// SIGTERM one line per stream ("stream K whole N other N resend_requests N
// kernel_drops N") and "done".
#include <arpa/inet.h>
#include <getopt.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <zok/zok.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) {
  stop_requested = 1;
}

struct stream_slot {
  zok_stream_t handle = nullptr;
  unsigned long long whole = 0;
  unsigned long long other = 0;
};

int fail(const char *what, int rc) {
  std::fprintf(stderr, "multigrab: %s: %s (%d)\n", what, std::strerror(rc), rc);
  return 1;
}

bool parse_address(const std::string &text, std::uint32_t &addr, std::uint16_t &port,
                   bool port_needed) {
  const auto colon = text.find(':');
  in_addr a{};
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1) return false;
  addr = a.s_addr;
  port = 0;
  if (colon == std::string::npos) return !port_needed;
  char *end = nullptr;
  const long p = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || p <= 0 || p > 65535) return false;
  port = static_cast<std::uint16_t>(p);
  return true;
}

// "RESEND_IP[:PORT]/LOCAL_IP:PORT": where resend requests go (port 0: the
// GVCP port), then where the stream arrives.
bool parse_stream(const char *text, zok_open_params &params, std::uint32_t &addr,
                  std::uint16_t &port) {
  const std::string s(text);
  const auto slash = s.find('/');
  if (slash == std::string::npos) return false;
  return parse_address(s.substr(0, slash), params.resend_addr, params.resend_port, false) &&
         parse_address(s.substr(slash + 1), addr, port, true);
}

}  // namespace

int main(int argc, char **argv) {
  std::size_t size = 2 << 20;
  int buffers = 63;
  int cpu = -1;
  long worker = -1;
  for (int opt; (opt = getopt(argc, argv, "s:n:c:w:")) != -1;) {
    switch (opt) {
      case 's':
        size = std::strtoull(optarg, nullptr, 0);
        break;
      case 'n':
        buffers = std::atoi(optarg);
        break;
      case 'c':
        cpu = std::atoi(optarg);
        break;
      case 'w':
        worker = std::strtol(optarg, nullptr, 0);
        break;
      default:
        return 2;
    }
  }
  if (optind >= argc || size == 0 || buffers <= 0) {
    std::fprintf(stderr,
                 "usage: multigrab [-s bytes] [-n buffers] [-c cpu] [-w setting] "
                 "RESEND_IP[:PORT]/LOCAL_IP:PORT...\n");
    return 2;
  }
  if (cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (int rc = pthread_setaffinity_np(pthread_self(), sizeof set, &set); rc != 0) {
      return fail("pthread_setaffinity_np", rc);
    }
  }
  if (int rc = zok_init(ZOK_INTERFACE_VERSION); rc != 0) return fail("zok_init", rc);

  std::vector<stream_slot> streams(static_cast<std::size_t>(argc - optind));
  for (std::size_t k = 0; k < streams.size(); ++k) {
    // What plaingrab and workergrab open with by default.
    zok_open_params params{};
    params.flags = ZOK_FLAG_PACKET_RESEND | ZOK_FLAG_DEFAULT_ON;
    params.num_retries = 1;
    params.booo = ZOK_BOOO_ALWAYS_RETURN;
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    if (!parse_stream(argv[optind + static_cast<int>(k)], params, addr, port)) {
      std::fprintf(stderr, "multigrab: bad stream %s\n", argv[optind + static_cast<int>(k)]);
      return 2;
    }
    stream_slot &s = streams[k];
    if (int rc = zok_open_stream_pr(&addr, port, &s.handle, &params, nullptr); rc != 0) {
      return fail("zok_open_stream_pr", rc);
    }
    if (worker >= 0) {
      if (int rc = zok_create_recv_worker(s.handle, static_cast<std::uint32_t>(worker), nullptr);
          rc != 0) {
        return fail("zok_create_recv_worker", rc);
      }
    }
    for (int b = 0; b < buffers; ++b) {
      zok_buffer_t buffer = nullptr;
      if (int rc = zok_alloc(s.handle, size, &buffer); rc != 0) return fail("zok_alloc", rc);
      if (int rc = zok_queue_buffer(buffer); rc != 0) return fail("zok_queue_buffer", rc);
    }
    if (worker >= 0) {
      if (int rc = zok_start_recv_worker(s.handle); rc != 0) {
        return fail("zok_start_recv_worker", rc);
      }
    }
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::printf("ready\n");
  std::fflush(stdout);

  while (!stop_requested) {
    for (auto &s : streams) {
      zok_block_desc block{};
      zok_block_status status{};
      const int rc = zok_poll_recv_pr(s.handle, &block, 1, &status);
      if (rc == EAGAIN) continue;
      if (rc != 0) return fail("zok_poll_recv_pr", rc);
      ++(block.status == 0 ? s.whole : s.other);
      if (int q = zok_queue_buffer(block.buffer); q != 0) return fail("zok_queue_buffer", q);
    }
  }
  for (std::size_t k = 0; k < streams.size(); ++k) {
    zok_stats_record stats{};
    zok_get_stats(streams[k].handle, &stats);
    std::printf("stream %zu whole %llu other %llu resend_requests %llu kernel_drops %llu\n", k,
                streams[k].whole, streams[k].other,
                static_cast<unsigned long long>(stats.resend_requests),
                static_cast<unsigned long long>(stats.kernel_drops));
  }
  std::printf("done\n");
  return 0;
}
