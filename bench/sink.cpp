// sink: counts UDP datagrams and bytes with recvmmsg and nothing else, so that
// what it reaches is the most a receiver on this host can hope for.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "endpoint.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

struct sink_options {
  unsigned batch = 64;
  size_t slot_size = 65536;
  int idle_ms = 300;         // end this long after the last datagram
  double wait_seconds = 30;  // give up when nothing comes at all
  long long count = -1;      // end after this many datagrams
  int rcvbuf = 256 << 20;
  bool busy = false;  // spin on the socket instead of sleeping in the kernel
  sockaddr_in local{};
};

struct sink_counts {
  unsigned long long datagrams = 0;
  unsigned long long bytes = 0;
  unsigned long long truncated = 0;
  double first = 0;  // monotonic seconds of the first and last batch
  double last = 0;
};

volatile sig_atomic_t stop_requested = 0;

void handle_stop(int) {
  stop_requested = 1;
}

void print_usage(FILE *out, const char *name) {
  std::fprintf(out,
               "Usage: %s [-p] [-b batch] [-q idle ms] [-w seconds] [-n datagrams] [-r bytes] "
               "<local IP>:<port>\n"
               "  -p             busy polling: never sleep in the kernel waiting for datagrams\n"
               "  -b <batch>     datagrams per recvmmsg call (default 64, at most 1024)\n"
               "  -q <ms>        end when nothing arrived for this long (default 300)\n"
               "  -w <seconds>   end when the first datagram has not come by then (default 30)\n"
               "  -n <count>     end after this many datagrams\n"
               "  -r <bytes>     receive buffer to ask for (default 256 MiB)\n",
               name);
}

int parse_sink_options(int argc, char **argv, sink_options *opt) {
  int c;
  while ((c = getopt(argc, argv, "pb:q:w:n:r:h")) != -1) {
    char *end = nullptr;
    long long v = 0;
    if (c != 'w' && c != 'p' && c != 'h' && c != '?') {
      v = std::strtoll(optarg, &end, 0);
      if (*end != '\0' || v <= 0) return exit_usage;
    }
    switch (c) {
      case 'p':
        opt->busy = true;
        break;
      case 'b':
        if (v > 1024) return exit_usage;
        opt->batch = static_cast<unsigned>(v);
        break;
      case 'q':
        opt->idle_ms = static_cast<int>(v);
        break;
      case 'w':
        opt->wait_seconds = std::strtod(optarg, &end);
        if (*end != '\0' || !(opt->wait_seconds > 0)) return exit_usage;
        break;
      case 'n':
        opt->count = v;
        break;
      case 'r':
        if (v > (1 << 30)) return exit_usage;
        opt->rcvbuf = static_cast<int>(v);
        break;
      default:
        return exit_usage;
    }
  }
  if (optind != argc - 1) return exit_usage;
  if (parse_bench_endpoint(argv[optind], &opt->local) != 0) return exit_usage;
  return 0;
}

// Returns the receive buffer the kernel really granted (it reports double the
// accounting size). SO_RCVBUFFORCE needs CAP_NET_ADMIN; without it the request
// is capped at net.core.rmem_max, which the report line makes visible.
int grant_receive_buffer(int fd, int want) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
  int got = 0;
  socklen_t len = sizeof got;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &len);
  return got / 2;
}

}  // namespace

int main(int argc, char **argv) {
  sink_options opt;
  if (int rc = parse_sink_options(argc, argv, &opt); rc != 0) {
    print_usage(stderr, argv[0]);
    return rc;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("socket");
    return exit_failure;
  }
  const int granted = grant_receive_buffer(fd, opt.rcvbuf);
  if (bind(fd, reinterpret_cast<sockaddr *>(&opt.local), sizeof opt.local) != 0) {
    std::perror("bind");
    return exit_failure;
  }
  // The idle timeout doubles as the tick that notices a stop request.
  timeval tick{opt.idle_ms / 1000, (opt.idle_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);

  struct sigaction sa {};
  sa.sa_handler = handle_stop;  // no SA_RESTART: a signal ends the wait at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::vector<unsigned char> slots(static_cast<size_t>(opt.batch) * opt.slot_size);
  std::vector<iovec> iovs(opt.batch);
  std::vector<mmsghdr> msgs(opt.batch);
  for (unsigned i = 0; i < opt.batch; ++i) {
    iovs[i] = {slots.data() + i * opt.slot_size, opt.slot_size};
    msgs[i].msg_hdr.msg_iov = &iovs[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }

  std::printf("Listening, receive buffer %d bytes\n", granted);
  std::fflush(stdout);

  sink_counts counts;
  const double give_up = now_seconds() + opt.wait_seconds;
  const unsigned long long limit =
      opt.count > 0 ? static_cast<unsigned long long>(opt.count) : ~0ULL;
  // A sleeping receiver makes the sender pay for waking it on every
  // datagram (on loopback the sender's CPU delivers them); the receivers
  // under test poll without sleeping, so a fair limit does too.
  const int flags = opt.busy ? MSG_DONTWAIT : MSG_WAITFORONE;
  const double idle_seconds = opt.idle_ms / 1000.0;
  while (!stop_requested && counts.datagrams < limit) {
    int n = recvmmsg(fd, msgs.data(), opt.batch, flags, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        std::perror("recvmmsg");
        return exit_failure;
      }
      if (opt.busy) {
        const double now = now_seconds();
        if (counts.datagrams > 0 ? now - counts.last > idle_seconds : now > give_up) break;
        continue;
      }
      if (counts.datagrams > 0 || now_seconds() > give_up) break;
      continue;
    }
    const double now = now_seconds();
    if (counts.datagrams == 0) counts.first = now;
    counts.last = now;
    counts.datagrams += static_cast<unsigned>(n);
    for (int i = 0; i < n; ++i) {
      counts.bytes += msgs[i].msg_len;
      if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) ++counts.truncated;
    }
  }

  const double span = counts.last - counts.first;
  std::printf("Received %llu datagrams, %llu bytes in %.6f s (%.3f Mpps, %.3f Gbit/s)\n",
              counts.datagrams, counts.bytes, span,
              span > 0 ? static_cast<double>(counts.datagrams) / span / 1e6 : 0.0,
              span > 0 ? static_cast<double>(counts.bytes) * 8 / span / 1e9 : 0.0);
  std::printf("Truncated %llu, receive buffer %d bytes, CPU %.3f s\n", counts.truncated, granted,
              cpu_seconds());
  close(fd);
  return exit_ok;
}
