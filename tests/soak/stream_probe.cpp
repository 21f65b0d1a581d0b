// Receives a strobix -c stream with libzok directly, so that the engine's own
// counters can be read, the refused-datagram count above all, which neither
// receiver prints. Checks every byte of every good block (the whole pattern,
// where the receivers' --verify-payload checks only the block id half) and,
// with --block-bytes, its length: what proves a block whole.
//
//   stream_probe --local IP:PORT --resend IP:PORT --first-id N --blocks N
//                [--worker] [--buffers N] [--size BYTES] [--drain-ms MS]
//                [--block-timeout MS] [--block-bytes BYTES]
//
// Prints "ready" once its buffers are queued, "first ID" when it takes the
// first block of the good stream, "taken N" for every block it takes (so a
// slow run can be told from a stuck one) and "complete" once every good
// block has come; receives until SIGINT or SIGTERM, then keeps receiving
// for the drain time and prints one line of figures.
// Exit status 0 when the run could be measured, 1 on a failed library call,
// 2 on bad arguments.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <support/endpoint.h>
#include <zok/zok.h>

#include <cerrno>
#include <chrono>
#include <csignal>
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

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
  stop_requested = 1;
}

struct options {
  sockaddr_in local{};
  sockaddr_in resend{};
  std::uint64_t first_id = 1;
  std::uint64_t blocks = 0;
  bool worker = false;
  unsigned buffers = 64;
  std::size_t size = 131072;
  long drain_ms = 500;
  std::uint32_t block_timeout_ms = 0;  // the library's default
  std::size_t block_bytes = 0;         // 0: as the leader says
};

bool parse_args(int argc, char **argv, options &o) {
  bool have_local = false, have_resend = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--worker") {
      o.worker = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char *value = argv[++i];
    if (name == "--local") {
      have_local = parse_endpoint(value, &o.local) == 0 && o.local.sin_port != 0;
    } else if (name == "--resend") {
      have_resend = parse_endpoint(value, &o.resend) == 0 && o.resend.sin_port != 0;
    } else if (name == "--first-id") {
      o.first_id = std::strtoull(value, nullptr, 0);
    } else if (name == "--blocks") {
      o.blocks = std::strtoull(value, nullptr, 0);
    } else if (name == "--buffers") {
      o.buffers = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
    } else if (name == "--size") {
      o.size = std::strtoull(value, nullptr, 0);
    } else if (name == "--drain-ms") {
      o.drain_ms = std::strtol(value, nullptr, 0);
    } else if (name == "--block-timeout") {
      o.block_timeout_ms = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 0));
    } else if (name == "--block-bytes") {
      o.block_bytes = std::strtoull(value, nullptr, 0);
    } else {
      return false;
    }
  }
  return have_local && have_resend && o.blocks > 0 && o.buffers > 0 && o.size > 0;
}

void no_request_ids(void *, std::uint16_t *start, std::uint16_t *max_requests) {
  if (start != nullptr) *start = 1;
  if (max_requests != nullptr) *max_requests = 0xFFFF;
}

}  // namespace

int main(int argc, char **argv) {
  options o;
  if (!parse_args(argc, argv, o)) {
    std::fprintf(
        stderr,
        "usage: %s --local IP:PORT --resend IP:PORT --first-id N --blocks N [--worker] "
        "[--buffers N] [--size BYTES] [--drain-ms MS] [--block-timeout MS] [--block-bytes BYTES]\n",
        argv[0]);
    return 2;
  }
  struct sigaction action = {};
  action.sa_handler = request_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  if (int rc = zok_init(ZOK_INTERFACE_VERSION); rc != 0) return fail("zok_init", rc);
  zok_open_params params{};
  params.flags = ZOK_FLAG_DEFAULT_ON | ZOK_FLAG_PACKET_RESEND;
  params.booo = ZOK_BOOO_ALWAYS_RETURN;
  params.resend_timeout = 30;
  params.block_timeout = o.block_timeout_ms;
  params.num_retries = 4;
  params.resend_addr = o.resend.sin_addr.s_addr;
  params.resend_port = ntohs(o.resend.sin_port);
  zok_stream_t stream = nullptr;
  if (int rc = zok_open_stream_pr(&o.local.sin_addr.s_addr, ntohs(o.local.sin_port), &stream,
                                  &params, nullptr);
      rc != 0)
    return fail("zok_open_stream_pr", rc);
  if (o.worker) {
    if (int rc = zok_create_recv_worker(stream, 0, no_request_ids); rc != 0)
      return fail("zok_create_recv_worker", rc);
  }
  std::vector<zok_buffer_t> buffers(o.buffers);
  for (auto &buffer : buffers) {
    if (int rc = zok_alloc(stream, o.size, &buffer); rc != 0) return fail("zok_alloc", rc);
    if (int rc = zok_queue_buffer(buffer); rc != 0) return fail("zok_queue_buffer", rc);
  }
  if (o.worker) {
    if (int rc = zok_start_recv_worker(stream); rc != 0) return fail("zok_start_recv_worker", rc);
  }
  std::printf("ready\n");
  std::fflush(stdout);

  // Every good id is expected exactly once; anything else is foreign.
  std::vector<std::uint32_t> seen(o.blocks, 0);
  std::uint64_t taken = 0, good_ok = 0, good_bad_status = 0, good_corrupt = 0, foreign = 0;
  std::uint64_t foreign_ok = 0, taken_good = 0, distinct = 0;
  bool draining = false;
  auto drain_end = std::chrono::steady_clock::time_point::max();
  for (;;) {
    if (stop_requested && !draining) {
      draining = true;
      drain_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.drain_ms);
    }
    if (draining && std::chrono::steady_clock::now() >= drain_end) break;
    zok_block_desc block{};
    zok_block_status status{};
    const int rc = zok_poll_recv_pr(stream, &block, 1, &status);
    if (rc == EAGAIN) continue;
    if (rc != 0) return fail("zok_poll_recv_pr", rc);
    std::printf("taken %llu\n", static_cast<unsigned long long>(++taken));
    const std::uint64_t index = block.block_id - o.first_id;
    if (block.block_id >= o.first_id && index < o.blocks) {
      if (taken_good++ == 0)
        std::printf("first %llu\n", static_cast<unsigned long long>(block.block_id));
      if (seen[index]++ == 0 && ++distinct == o.blocks) std::printf("complete\n");
      if (seen[index] > 1) {
        std::fprintf(stderr, "good block %llu handed over again (%u times), status 0x%x\n",
                     static_cast<unsigned long long>(block.block_id), seen[index], block.status);
      }
      if (block.status != 0) {
        ++good_bad_status;
        std::fprintf(stderr, "good block %llu handed over with status 0x%x\n",
                     static_cast<unsigned long long>(block.block_id), block.status);
      } else if (!pattern_holds(block, o.block_bytes)) {
        ++good_corrupt;
        std::fprintf(stderr, "good block %llu: payload does not hold the pattern (%u bytes)\n",
                     static_cast<unsigned long long>(block.block_id), block.payload_length);
      } else {
        ++good_ok;
      }
    } else {
      ++foreign;
      if (block.status == 0) ++foreign_ok;
      std::fprintf(stderr, "block %llu nobody sent handed over, status 0x%x, %u bytes\n",
                   static_cast<unsigned long long>(block.block_id), block.status,
                   block.payload_length);
    }
    std::fflush(stdout);
    if (int q = zok_queue_buffer(block.buffer); q != 0) return fail("zok_queue_buffer", q);
  }
  if (o.worker) {
    if (int rc = zok_stop_recv_worker(stream); rc != 0) return fail("zok_stop_recv_worker", rc);
  }

  zok_info_record info{};
  zok_stats_record stats{};
  if (int rc = zok_info(stream, &info); rc != 0) return fail("zok_info", rc);
  if (int rc = zok_get_stats(stream, &stats); rc != 0) return fail("zok_get_stats", rc);
  std::uint64_t missing = 0, twice = 0;
  for (const auto count : seen) {
    if (count == 0) ++missing;
    if (count > 1) twice += count - 1;
  }
  std::printf(
      "probe taken=%llu good_ok=%llu good_bad_status=%llu good_corrupt=%llu good_missing=%llu "
      "good_twice=%llu foreign=%llu foreign_ok=%llu refused=%llu kernel_drops=%llu "
      "complete=%llu incomplete=%llu dropped=%llu not_available=%llu resend_requests=%llu\n",
      static_cast<unsigned long long>(taken), static_cast<unsigned long long>(good_ok),
      static_cast<unsigned long long>(good_bad_status),
      static_cast<unsigned long long>(good_corrupt), static_cast<unsigned long long>(missing),
      static_cast<unsigned long long>(twice), static_cast<unsigned long long>(foreign),
      static_cast<unsigned long long>(foreign_ok),
      static_cast<unsigned long long>(info.datagrams_refused),
      static_cast<unsigned long long>(stats.kernel_drops),
      static_cast<unsigned long long>(stats.blocks_complete),
      static_cast<unsigned long long>(stats.blocks_incomplete),
      static_cast<unsigned long long>(stats.blocks_dropped),
      static_cast<unsigned long long>(stats.blocks_not_available),
      static_cast<unsigned long long>(stats.resend_requests));
  if (int rc = zok_close_stream(stream); rc != 0) return fail("zok_close_stream", rc);
  return 0;
}
