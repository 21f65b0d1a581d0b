// What the AF_XDP path's frame check costs per frame, beside the copy into
// the block buffer that every datagram gets anyway: frames at 1500 and 9000
// bytes with no UDP sum (the headers only), a partial one (the pseudo-header
// too) and a complete one (a pass over the payload), in one run.
//
//   frame_check [--seconds S]   (default 1 per row)
#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "xdp_frame_internal.h"

namespace {

// The thread's own CPU time: the machine may be shared while this runs.
struct CpuClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<CpuClock>;
  static time_point now() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec));
  }
};

enum class Sum { none, partial, complete };

// Ethernet, IPv4 and UDP headers around `payload` bytes, the sums a sender
// writes for `sum`.
std::vector<std::uint8_t> make_frame(std::size_t payload, Sum sum) {
  std::vector<std::uint8_t> f(14 + 20 + 8 + payload);
  for (std::size_t i = 0; i < payload; ++i) f[42 + i] = static_cast<std::uint8_t>(i * 31 + 7);
  f[12] = 0x08;
  std::uint8_t *ip = f.data() + 14;
  ip[0] = 0x45;
  const std::size_t total = 20 + 8 + payload;
  ip[2] = static_cast<std::uint8_t>(total >> 8);
  ip[3] = static_cast<std::uint8_t>(total);
  ip[6] = 0x40;
  ip[8] = 64;
  ip[9] = IPPROTO_UDP;
  const in_addr_t src = inet_addr("10.213.143.2"), dst = inet_addr("10.213.143.1");
  std::memcpy(ip + 12, &src, 4);
  std::memcpy(ip + 16, &dst, 4);
  auto ip_sum = static_cast<std::uint16_t>(~zok::ones_fold(zok::ones_sum(ip, 20)));
  std::memcpy(ip + 10, &ip_sum, 2);
  std::uint8_t *u = ip + 20;
  u[4] = static_cast<std::uint8_t>((8 + payload) >> 8);
  u[5] = static_cast<std::uint8_t>(8 + payload);
  const std::uint8_t pseudo[12] = {ip[12], ip[13], ip[14], ip[15], ip[16], ip[17],
                                   ip[18], ip[19], 0,      ip[9],  u[4],   u[5]};
  const std::uint64_t pseudo_sum = zok::ones_sum(pseudo, sizeof pseudo);
  std::uint16_t udp_sum = 0;
  if (sum == Sum::partial) udp_sum = zok::ones_fold(pseudo_sum);
  if (sum == Sum::complete) {
    udp_sum =
        static_cast<std::uint16_t>(~zok::ones_fold(zok::ones_sum(u, 8 + payload, pseudo_sum)));
    if (udp_sum == 0) udp_sum = 0xFFFF;
  }
  std::memcpy(u + 6, &udp_sum, 2);
  return f;
}

// CPU nanoseconds per call of `work` over `seconds` of CPU time.
template <typename Work>
double time_per_call(double seconds, Work &&work) {
  std::uint64_t calls = 0;
  const auto start = CpuClock::now();
  const auto until = start + std::chrono::duration<double>(seconds);
  CpuClock::time_point now;
  do {
    for (int i = 0; i < 4096; ++i) work();
    calls += 4096;
    now = CpuClock::now();
  } while (now < until);
  return std::chrono::duration<double, std::nano>(now - start).count() / static_cast<double>(calls);
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 1;
  if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::atof(argv[2]);
  // Many frames, so the payload comes from the caches as from a busy ring.
  constexpr std::size_t ring = 256;
  std::printf("%-6s %-9s %10s %10s %12s\n", "frame", "UDP sum", "check ns", "copy ns",
              "check GB/s");
  for (const std::size_t mtu : {1500u, 9000u}) {
    const std::size_t payload = mtu - 28;
    std::vector<std::uint8_t> block(payload * ring);
    for (const Sum sum : {Sum::none, Sum::partial, Sum::complete}) {
      std::vector<std::vector<std::uint8_t>> frames(ring, make_frame(payload, sum));
      std::size_t at = 0, checked = 0, good = 0;
      const double check = time_per_call(seconds, [&] {
        zok::FrameDatagram d;
        const auto &f = frames[checked++ % ring];
        good += zok::parse_frame(
            gvsp::bytes(reinterpret_cast<const std::byte *>(f.data()), f.size()), d);
      });
      const double copy = time_per_call(seconds, [&] {
        const std::size_t i = at++ % ring;
        std::memcpy(block.data() + i * payload, frames[i].data() + 42, payload);
      });
      if (good != checked) {
        std::fprintf(stderr, "frame_check: a well-formed frame was refused\n");
        return 1;
      }
      // The copies are read, so none is left out.
      volatile std::uint8_t sink = block[at % block.size()];
      (void)sink;
      std::printf("%-6zu %-9s %10.1f %10.1f %12.2f\n", mtu + 14,
                  sum == Sum::none      ? "none"
                  : sum == Sum::partial ? "partial"
                                        : "complete",
                  check, copy, static_cast<double>(payload) / check);
    }
  }
  return 0;
}
