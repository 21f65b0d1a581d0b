// Before zok_init(258) every operation is refused; afterwards it is harmless
// to call again. A process of its own: initialisation cannot be undone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <zok/zok.h>

namespace {

TEST(EngineInit, CallsBeforeInitAreRefused) {
  const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
  zok_stream_t s = nullptr;
  zok_open_params p{};
  p.booo = ZOK_BOOO_ALWAYS_RETURN;
  zok_stats_record r{};
  EXPECT_EQ(zok_open_stream_pr(&loopback, 0, &s, &p, nullptr), EPERM);
  EXPECT_EQ(zok_get_stats(s, &r), EPERM);
  EXPECT_EQ(zok_queue_buffer(nullptr), EPERM);
  EXPECT_EQ(zok_init(257), EPROTONOSUPPORT);
  EXPECT_EQ(zok_open_stream_pr(&loopback, 0, &s, &p, nullptr), EPERM);
  EXPECT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  EXPECT_EQ(zok_init(ZOK_INTERFACE_VERSION), 0);
  ASSERT_EQ(zok_open_stream_pr(&loopback, 0, &s, &p, nullptr), 0);
  EXPECT_EQ(zok_close_stream(s), 0);
}

}  // namespace
