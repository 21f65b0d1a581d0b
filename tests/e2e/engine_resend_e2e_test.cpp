// The resend path of the real library over loopback: against strobix's
// reordering, against datagrams a test sends itself to shape one receive
// batch, and against a resend address no command can reach.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gvsp/gvsp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zok/zok.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "lib/gvsp_packets.h"
#include "lib/host_load.h"
#include "lib/loopback_stream.h"
#include "lib/net.h"
#include "lib/strobix_runs.h"

namespace {

using namespace std::chrono_literals;
using strobix_test::Strobix;
using testlib::free_ports;

using testlib::loopback;

// Opened with `buffers` of `size` bytes queued.
struct Stream : testlib::LoopbackStream {
  Stream(zok_open_params p, std::uint16_t port, int buffers, std::size_t size)
      : LoopbackStream(p, port) {
    add_buffers(buffers, size);
  }
};

zok_open_params resend_params(std::uint16_t resend_port) {
  zok_open_params p{};
  p.flags = ZOK_FLAG_DEFAULT_ON | ZOK_FLAG_PACKET_RESEND;
  p.booo = ZOK_BOOO_ALWAYS_RETURN;
  p.num_retries = 3;
  p.resend_addr = loopback;
  p.resend_port = resend_port;
  return p;
}

// Packet `id` of block 1 with 6 payload packets of 100 bytes; 7 is the trailer.
void send_packet(const testlib::UdpSocket &from, std::uint16_t to, std::uint32_t id) {
  using namespace testlib;
  from.send_to(to, id == 0   ? make_leader(1)
                   : id == 7 ? make_trailer(1, 7)
                             : make_payload(1, id, 100));
}

std::uint64_t realtime_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

// Blocks of 300 kB whose payload packets strobix reorders (a whole-block
// shuffle, and a path that moves each packet at most 16 places), nothing
// lost: every block whole, and resends well under 1% of the packets sent.
TEST(EngineResendEndToEnd, ReorderingAloneCostsAlmostNoResends) {
  for (const std::string how : {"-O", "-O16"}) {
    SCOPED_TRACE(how);
    const testlib::HostLoad host;
    const std::vector<std::uint16_t> ports = free_ports(2);
    Stream s(resend_params(ports[1]), ports[0], 32, 400000);
    Strobix sender({"-n", "20", "-s", "300000", how, "-r", "100", "-W", "300", "-l",
                    "127.0.0.1:" + std::to_string(ports[1]),
                    "127.0.0.1:" + std::to_string(ports[0])});
    int whole = 0;
    zok_block_desc d{};
    zok_block_status st{};
    for (int i = 0; i < 20 && s.next(d, st, 5s); ++i) whole += d.status == ZOK_BLOCK_STATUS_OK;
    const testlib::Exit o = sender.finish();
    EXPECT_EQ(whole, 20);
    const strobix_test::Summary sent = strobix_test::summary_of(o.out);
    ASSERT_TRUE(sent.found) << o.out;
    EXPECT_GT(sent.packets, 4000u);
    // Under 1% of the packets on a quiet host, 3% on one that reorders on
    // its own; a window that does not learn asks for 30-45%.
    EXPECT_LT(sent.resent * 100, (host.busy() ? 3 : 1) * sent.packets) << o.out;
    EXPECT_EQ(s.stats().resend_requests, sent.requests);
  }
}

// One receive batch holding a packet the kernel put straight into the block
// buffer after one it could not predict (a late packet filling an earlier
// gap), the two 5 ms apart: the block's time is that of the later one, so
// the batch was judged in the order it arrived.
TEST(EngineResendEndToEnd, BatchIsJudgedInArrivalOrder) {
  const std::uint16_t port = testlib::free_port();
  zok_open_params p{};
  p.flags = ZOK_FLAG_DEFAULT_ON;
  p.booo = ZOK_BOOO_ALWAYS_RETURN;
  p.block_timeout = 50;
  Stream s(p, port, 2, 4096);
  const testlib::UdpSocket tx;
  zok_block_desc d{};
  zok_block_status st{};
  send_packet(tx, port, 0);
  send_packet(tx, port, 1);
  send_packet(tx, port, 3);
  EXPECT_FALSE(s.next(d, st, 20ms));  // takes them in; predictions now start at 4
  send_packet(tx, port, 2);           // not the predicted 4: copied
  // Loopback stamps a datagram as it is sent: packet 2's time lies before.
  const std::uint64_t before_last = realtime_ns();
  send_packet(tx, port, 5);  // the predicted 5: placed by the kernel
  ASSERT_TRUE(s.next(d, st, 20s));
  EXPECT_EQ(d.status, ZOK_BLOCK_STATUS_BLOCK_TIMEOUT);  // 4, 6 and the trailer never came
  EXPECT_GE(d.epoch_time_ns, before_last);
}

// Resend commands to an address no datagram may go to (broadcast without
// permission): the failed sends are counted, no request is, and the block
// ends at once instead of waiting out the resend timeout.
TEST(EngineResendEndToEnd, FailedResendSendIsCountedNotWaitedOn) {
  const std::uint16_t port = testlib::free_port();
  zok_open_params p = resend_params(9);
  p.resend_addr = htonl(INADDR_BROADCAST);
  // Timeouts far beyond what a loaded machine takes to hand the block over.
  p.resend_timeout = 60000;
  p.block_timeout = 120000;
  Stream s(p, port, 2, 4096);
  const testlib::UdpSocket tx;
  for (const std::uint32_t id : {0u, 1u, 3u, 4u, 5u, 6u, 7u})
    send_packet(tx, port, id);  // packet 2 lost
  zok_block_desc d{};
  zok_block_status st{};
  ASSERT_TRUE(s.next(d, st, 20s)) << "waited on a command that never left";
  EXPECT_EQ(d.status, ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE);
  EXPECT_EQ(st.resend_request, 0u);
  const zok_stats_record r = s.stats();
  EXPECT_EQ(r.resend_requests, 0u);
  EXPECT_EQ(r.resend_requests_failed, 0u);
  zok_io_errors e{};
  ASSERT_EQ(zok_get_io_errors(s.stream, &e), 0);
  EXPECT_EQ(e.send_errors, 1u);
  EXPECT_EQ(e.resends_unsent, 1u);
  EXPECT_EQ(e.receive_errors, 0u);
}

}  // namespace
