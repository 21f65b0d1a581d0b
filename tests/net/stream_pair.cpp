// Several streams in one process, for what only one process with several
// streams can show: their sharing of one interface's XDP program, and the
// engine's own counters (refused datagrams above all), which the receivers
// do not print. Checks every word of every block against strobix -c's
// pattern.
//
//   stream_pair [--size BYTES] [--worker] [[--resend IP:PORT] IP:PORT]...
//
// --resend names the sender of the streams after it; without, a stream
// names none and locks onto the source of its first leader. --worker receives each stream on its
// own worker thread, so that the streams hand frames back to a shared queue at once. Prints "path K
// P" per stream (zok_get_receive_path) and "ready", then receives and takes commands on standard
// input, one a line:
//   stats         "stream K good=.. bad=.. refused=.." for each open stream
//   close K       closes stream K, answers "closed K"
//   quit          closes the rest and ends
// Exit status 0 after quit, 1 on a failed library call, 2 on bad arguments.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <support/endpoint.h>
#include <unistd.h>
#include <zok/zok.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/probe.h"

namespace {

using probe::fail;
using probe::pattern_holds;

struct Local {
  sockaddr_in at{};
  sockaddr_in resend{};
};

struct Stream {
  zok_stream_t handle = nullptr;
  bool open = false;
  std::uint64_t good = 0;
  std::uint64_t bad = 0;
};

void print_stats(std::size_t k, const Stream &s) {
  zok_info_record info{};
  zok_stats_record stats{};
  zok_info(s.handle, &info);
  zok_get_stats(s.handle, &stats);
  std::printf("stream %zu good=%llu bad=%llu refused=%llu kernel_drops=%llu\n", k,
              static_cast<unsigned long long>(s.good), static_cast<unsigned long long>(s.bad),
              static_cast<unsigned long long>(info.datagrams_refused),
              static_cast<unsigned long long>(stats.kernel_drops));
}

}  // namespace

int main(int argc, char **argv) {
  sockaddr_in resend{};
  std::size_t size = 1 << 20;
  std::vector<Local> locals;
  bool worker = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--worker") {
      worker = true;
    } else if (arg == "--resend" && i + 1 < argc) {
      if (parse_endpoint(argv[++i], &resend) != 0 || resend.sin_port == 0) return 2;
    } else if (arg == "--size" && i + 1 < argc) {
      size = std::strtoull(argv[++i], nullptr, 0);
    } else {
      Local local{{}, resend};
      if (parse_endpoint(argv[i], &local.at) != 0 || local.at.sin_port == 0) return 2;
      locals.push_back(local);
    }
  }
  if (locals.empty() || size == 0) {
    std::fprintf(stderr, "usage: %s [--size BYTES] [--worker] [[--resend IP:PORT] IP:PORT]...\n",
                 argv[0]);
    return 2;
  }

  if (int rc = zok_init(ZOK_INTERFACE_VERSION); rc != 0) return fail("zok_init", rc);
  std::vector<Stream> streams(locals.size());
  for (std::size_t k = 0; k < locals.size(); ++k) {
    zok_open_params params{};
    params.flags = ZOK_FLAG_DEFAULT_ON | ZOK_FLAG_PACKET_RESEND;
    params.booo = ZOK_BOOO_ALWAYS_RETURN;
    // What the tests check is sharing, not timing: on a loaded two-CPU
    // machine a sender held off its CPU mid-block, or a resend that comes
    // back late, must not end a block.
    params.block_timeout = 3000;
    params.num_retries = 4;
    params.resend_addr = locals[k].resend.sin_addr.s_addr;
    params.resend_port = ntohs(locals[k].resend.sin_port);
    Stream &s = streams[k];
    if (int rc = zok_open_stream_pr(&locals[k].at.sin_addr.s_addr, ntohs(locals[k].at.sin_port),
                                    &s.handle, &params, nullptr);
        rc != 0) {
      return fail("zok_open_stream_pr", rc);
    }
    s.open = true;
    if (worker) {
      if (int rc = zok_create_recv_worker(s.handle, 0, nullptr); rc != 0) {
        return fail("zok_create_recv_worker", rc);
      }
    }
    for (int b = 0; b < 64; ++b) {
      zok_buffer_t buffer = nullptr;
      if (int rc = zok_alloc(s.handle, size, &buffer); rc != 0) return fail("zok_alloc", rc);
      if (int rc = zok_queue_buffer(buffer); rc != 0) return fail("zok_queue_buffer", rc);
    }
    if (worker) {
      if (int rc = zok_start_recv_worker(s.handle); rc != 0) {
        return fail("zok_start_recv_worker", rc);
      }
    }
    std::uint32_t path = 0;
    if (int rc = zok_get_receive_path(s.handle, &path); rc != 0) {
      return fail("zok_get_receive_path", rc);
    }
    std::printf("path %zu %u\n", k, path);
  }
  std::printf("ready\n");
  std::fflush(stdout);

  fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
  std::string pending;
  for (;;) {
    bool idle = true;
    for (auto &s : streams) {
      if (!s.open) continue;
      zok_block_desc block{};
      zok_block_status status{};
      const int rc = zok_poll_recv_pr(s.handle, &block, 1, &status);
      if (rc == EAGAIN) continue;
      if (rc != 0) return fail("zok_poll_recv_pr", rc);
      idle = false;
      if (block.status == 0 && pattern_holds(block)) {
        ++s.good;
      } else {
        ++s.bad;
        std::fprintf(stderr, "stream %zu: block %llu bad, status 0x%x, %u bytes\n",
                     static_cast<std::size_t>(&s - streams.data()),
                     static_cast<unsigned long long>(block.block_id), block.status,
                     block.payload_length);
      }
      if (int q = zok_queue_buffer(block.buffer); q != 0) return fail("zok_queue_buffer", q);
    }
    if (!idle) continue;
    // Nothing ready: wait a little for a command rather than spin.
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, 1) <= 0) continue;
    char chunk[256];
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) continue;
    pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (line == "stats") {
        for (std::size_t k = 0; k < streams.size(); ++k) {
          if (streams[k].open) print_stats(k, streams[k]);
        }
      } else if (line.rfind("close ", 0) == 0) {
        const std::size_t k = std::strtoul(line.c_str() + 6, nullptr, 0);
        if (k < streams.size() && streams[k].open) {
          streams[k].open = false;
          if (int rc = zok_close_stream(streams[k].handle); rc != 0) {
            return fail("zok_close_stream", rc);
          }
        }
        std::printf("closed %zu\n", k);
      } else if (line == "quit") {
        for (auto &s : streams) {
          if (s.open && zok_close_stream(s.handle) != 0) return 1;
          s.open = false;
        }
        return 0;
      }
      std::fflush(stdout);
    }
  }
  return 0;
}
