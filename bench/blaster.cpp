// blaster: sends fixed-size UDP datagrams as fast as sendmmsg takes them.
// It is the reference every sender and receiver is compared with, so it does
// nothing per datagram: one buffer, one prepared batch, one clock read per
// batch.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "endpoint.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_usage = 2;
constexpr int exit_failure = 1;

struct blaster_options {
  size_t datagram_size = 1472;
  unsigned batch = 64;
  double duration = 3.0;
  long long count = -1;  // -1: until the duration is over
  sockaddr_in destination{};
};

volatile sig_atomic_t stop_requested = 0;

void handle_stop(int) {
  stop_requested = 1;
}

void print_usage(FILE *out, const char *name) {
  std::fprintf(out,
               "Usage: %s [-s bytes] [-b batch] [-d seconds | -n datagrams] <dest IP>:<port>\n"
               "  -s <bytes>     UDP payload bytes per datagram (default 1472)\n"
               "  -b <batch>     datagrams per sendmmsg call (default 64, at most 1024)\n"
               "  -d <seconds>   send for this long (default 3)\n"
               "  -n <count>     send this many datagrams instead\n",
               name);
}

// Returns 0, or the exit status for a bad command line.
int parse_blaster_options(int argc, char **argv, blaster_options *opt) {
  int c;
  while ((c = getopt(argc, argv, "s:b:d:n:h")) != -1) {
    char *end = nullptr;
    switch (c) {
      case 's': {
        unsigned long v = std::strtoul(optarg, &end, 0);
        if (*end != '\0' || v == 0 || v > 65507) return exit_usage;
        opt->datagram_size = v;
        break;
      }
      case 'b': {
        unsigned long v = std::strtoul(optarg, &end, 0);
        if (*end != '\0' || v == 0 || v > 1024) return exit_usage;
        opt->batch = static_cast<unsigned>(v);
        break;
      }
      case 'd':
        opt->duration = std::strtod(optarg, &end);
        if (*end != '\0' || !(opt->duration > 0)) return exit_usage;
        break;
      case 'n':
        opt->count = std::strtoll(optarg, &end, 0);
        if (*end != '\0' || opt->count <= 0) return exit_usage;
        break;
      default:
        return exit_usage;
    }
  }
  if (optind != argc - 1) return exit_usage;
  if (parse_bench_endpoint(argv[optind], &opt->destination) != 0) return exit_usage;
  return 0;
}

// A large send buffer keeps sendmmsg from stalling on the socket's own
// limit; without privilege the ordinary request is capped quietly.
void grow_send_buffer(int fd) {
  int want = 64 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &want, sizeof want) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
}

}  // namespace

int main(int argc, char **argv) {
  blaster_options opt;
  if (int rc = parse_blaster_options(argc, argv, &opt); rc != 0) {
    print_usage(stderr, argv[0]);
    return rc;
  }

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("socket");
    return exit_failure;
  }
  grow_send_buffer(fd);
  // Connected, so the kernel resolves the route once instead of per datagram.
  if (connect(fd, reinterpret_cast<sockaddr *>(&opt.destination), sizeof opt.destination) != 0) {
    std::perror("connect");
    return exit_failure;
  }

  struct sigaction sa {};
  sa.sa_handler = handle_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::vector<unsigned char> payload(opt.datagram_size, 0x5a);
  iovec iov{payload.data(), payload.size()};
  std::vector<mmsghdr> batch(opt.batch);
  for (auto &m : batch) {
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
  }

  unsigned long long sent = 0;
  unsigned long long refused = 0;  // no listener yet: loopback answers with ICMP
  unsigned long long full = 0;     // send buffer momentarily full
  const unsigned long long limit =
      opt.count > 0 ? static_cast<unsigned long long>(opt.count) : ULLONG_MAX;
  const double start = now_seconds();
  const double deadline = opt.count > 0 ? 1e300 : start + opt.duration;
  double now = start;
  while (!stop_requested && sent < limit && now < deadline) {
    unsigned want = opt.batch;
    if (limit - sent < want) want = static_cast<unsigned>(limit - sent);
    int n = sendmmsg(fd, batch.data(), want, 0);
    if (n > 0) {
      sent += static_cast<unsigned>(n);
    } else if (n < 0 && errno == ECONNREFUSED) {
      ++refused;
    } else if (n < 0 && (errno == EAGAIN || errno == ENOBUFS || errno == EINTR)) {
      ++full;
    } else if (n < 0) {
      std::perror("sendmmsg");
      return exit_failure;
    }
    now = now_seconds();
  }
  const double elapsed = now - start;
  const double bytes = static_cast<double>(sent) * static_cast<double>(opt.datagram_size);
  std::printf("Sent %llu datagrams, %.0f bytes in %.6f s (%.3f Mpps, %.3f Gbit/s)\n", sent, bytes,
              elapsed, elapsed > 0 ? static_cast<double>(sent) / elapsed / 1e6 : 0.0,
              elapsed > 0 ? bytes * 8 / elapsed / 1e9 : 0.0);
  std::printf("Refused %llu, send buffer full %llu, CPU %.3f s\n", refused, full, cpu_seconds());
  close(fd);
  return exit_ok;
}
