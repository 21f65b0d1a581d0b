// How long a block that lost packets takes to complete, and how much the
// resend path asks for, measured on the engine itself (no receiver program
// in between). Fed by strobix, whose leader timestamp is the real time it
// began sending the block: a block's time here is from then to the kernel's
// receive time of the packet that completed it. The same strobix seed loses
// the same packets, so two engines run against it can be compared.
//
//   resend_latency --local IP:PORT --resend IP:PORT --blocks N [--size BYTES]
//
// Prints "ready" once its buffers are queued, then one line of figures when
// N blocks came or the stream went quiet for two seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <support/endpoint.h>
#include <zok/zok.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char **argv) {
  sockaddr_in local{}, resend{};
  long blocks = 0;
  std::size_t size = 1 << 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    bool ok = true;
    if (a == "--local") {
      ok = parse_endpoint(argv[i + 1], &local) == 0;
    } else if (a == "--resend") {
      ok = parse_endpoint(argv[i + 1], &resend) == 0;
    } else if (a == "--blocks") {
      blocks = std::atol(argv[i + 1]);
    } else if (a == "--size") {
      size = static_cast<std::size_t>(std::atol(argv[i + 1]));
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "bad argument %s\n", argv[i]);
      return 2;
    }
  }
  if (local.sin_port == 0 || resend.sin_port == 0 || blocks <= 0) {
    std::fprintf(stderr, "usage: resend_latency --local IP:PORT --resend IP:PORT --blocks N\n");
    return 2;
  }
  if (zok_init(ZOK_INTERFACE_VERSION) != 0) return 1;
  zok_open_params p{};
  p.flags = ZOK_FLAG_DEFAULT_ON | ZOK_FLAG_PACKET_RESEND;
  p.booo = ZOK_BOOO_ALWAYS_RETURN;
  p.num_retries = 3;
  p.resend_addr = resend.sin_addr.s_addr;
  p.resend_port = ntohs(resend.sin_port);
  zok_stream_t stream = nullptr;
  if (zok_open_stream_pr(&local.sin_addr.s_addr, ntohs(local.sin_port), &stream, &p, nullptr) != 0)
    return 1;
  for (int i = 0; i < 64; ++i) {
    zok_buffer_t b = nullptr;
    if (zok_alloc(stream, size, &b) != 0 || zok_queue_buffer(b) != 0) return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  using Clock = std::chrono::steady_clock;
  std::vector<double> lossy_us, clean_us;
  long received = 0, complete = 0;
  auto last = Clock::now();
  while (received < blocks && Clock::now() - last < std::chrono::seconds(2)) {
    zok_block_desc d{};
    zok_block_status s{};
    if (zok_poll_recv_pr(stream, &d, 1, &s) != 0) continue;
    last = Clock::now();
    ++received;
    if (d.status == ZOK_BLOCK_STATUS_OK) {
      ++complete;
      const std::uint64_t sent =
          (std::uint64_t{d.timestamp_high} << 32) | static_cast<std::uint64_t>(d.timestamp);
      const double us = (static_cast<double>(d.epoch_time_ns) - static_cast<double>(sent)) / 1e3;
      (s.resend_request != 0 ? lossy_us : clean_us).push_back(us);
    }
    zok_queue_buffer(d.buffer);
  }
  zok_stats_record st{};
  zok_get_stats(stream, &st);
  std::printf(
      "blocks %ld complete %ld | lossy %zu: median %.0f us p90 %.0f us | clean %zu: median %.0f "
      "us | requests %llu ok %llu failed %llu kernel drops %llu\n",
      received, complete, lossy_us.size(), percentile(lossy_us, 0.5), percentile(lossy_us, 0.9),
      clean_us.size(), percentile(clean_us, 0.5),
      static_cast<unsigned long long>(st.resend_requests),
      static_cast<unsigned long long>(st.resend_requests_ok),
      static_cast<unsigned long long>(st.resend_requests_failed),
      static_cast<unsigned long long>(st.kernel_drops));
  zok_close_stream(stream);
  return 0;
}
