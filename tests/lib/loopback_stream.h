// A stream of the real library on a loopback port, for the tests that call
// its C interface themselves.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <zok/zok.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "lib/net.h"

namespace testlib {

inline const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

// The library initialised before every test, since ctest runs each alone.
class ZokInitialised : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0); }
};
inline const auto *const zok_initialised = ::testing::AddGlobalTestEnvironment(new ZokInitialised);

struct LoopbackStream {
  explicit LoopbackStream(zok_open_params p, std::uint16_t port = free_port()) : port(port) {
    EXPECT_EQ(zok_open_stream_pr(&loopback, port, &stream, &p, nullptr), 0);
  }
  ~LoopbackStream() {
    if (stream != nullptr) zok_close_stream(stream);
  }
  LoopbackStream(const LoopbackStream &) = delete;
  LoopbackStream &operator=(const LoopbackStream &) = delete;
  void add_buffers(int n, std::size_t size = 64 * 1024) {
    for (int i = 0; i < n && stream != nullptr; ++i) {
      zok_buffer_t b = nullptr;
      ASSERT_EQ(zok_alloc(stream, size, &b), 0);
      ASSERT_EQ(zok_queue_buffer(b), 0);
    }
  }
  // Polls until a block comes or limit passes (a loaded machine may hold a
  // worker back that long); the last poll's code.
  int wait_block(zok_block_desc &d, zok_block_status &s,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
    const auto until = std::chrono::steady_clock::now() + limit;
    int rc = EAGAIN;
    while ((rc = zok_poll_recv_pr(stream, &d, 1, &s)) == EAGAIN &&
           std::chrono::steady_clock::now() < until) {
    }
    return rc;
  }
  // As wait_block, with the block's buffer queued again; true when one came.
  bool next(zok_block_desc &d, zok_block_status &s, std::chrono::milliseconds limit) const {
    if (wait_block(d, s, limit) != 0) return false;
    zok_queue_buffer(d.buffer);
    return true;
  }
  zok_stats_record stats() const {
    zok_stats_record r{};
    zok_get_stats(stream, &r);
    return r;
  }
  std::uint16_t port;
  zok_stream_t stream = nullptr;
};

}  // namespace testlib
