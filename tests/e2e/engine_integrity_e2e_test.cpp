// The engine's integrity where the socket and the worker matter: senders
// that restart, datagrams from another host, request ids of real commands
// and the CPUs the worker runs on.
#include <sched.h>

#include "lib/receiver_pair.h"

namespace {

using namespace engine_e2e;

TEST(EngineIntegrityEndToEnd, SenderRestartedTwentyTimesLosesNoBlock) {
  constexpr int restarts = 20;
  constexpr int per_run = 5;
  for (const std::string &program : receivers) {
    SCOPED_TRACE(name_of(program));
    Ports ports;
    Process receiver(
        line_buffered({program, "-i", std::to_string(restarts * per_run), "-n", "128",
                       "--verify-payload", "-P", ports.control_endpoint(), ports.data_endpoint()}));
    ASSERT_TRUE(wait_until_ready(receiver));
    // Every run starts its ids at 1 again, as a camera restarting its
    // acquisition does. Its control port is any free one: the default one
    // may be another test's.
    for (int run = 0; run < restarts; ++run) {
      Process sender({strobix, "-c", "-n", std::to_string(per_run), "-s", "16384", "-W", "0", "-l",
                      "127.0.0.1:0", ports.data_endpoint()});
      EXPECT_EQ(sender.finish(20s).status, 0);
    }
    const Exit o = receiver.finish(20s);
    EXPECT_FALSE(o.hung) << o.out;
    expect_all_good(o, restarts * per_run, per_run);
  }
}

TEST(EngineIntegrityEndToEnd, DatagramsFromAnotherHostAreNotPlaced) {
  Ports ports;
  Process receiver(line_buffered({plaingrab, "-i", "3", "-n", "4", "--verify-payload", "-P",
                                  ports.control_endpoint(), ports.data_endpoint()}));
  ASSERT_TRUE(wait_until_ready(receiver));
  const Sender camera(ports.data, "127.0.0.1");
  const Sender other(ports.data, "127.0.0.2");
  camera.block(1);
  camera.send(Sender::leader(2));
  for (std::uint32_t k = 1; k <= 3; ++k) camera.send(Sender::payload(2, k));
  // The next packet of the block being assembled, but not the sender's data.
  Bytes foreign = Sender::payload(3, 4);
  gvsp::Header h = header(2, 4);
  foreign.resize(gvsp::build_payload(foreign, h, Bytes(Sender::data_per_packet, std::byte{0xEE})));
  other.send(foreign);
  other.send(Sender::leader(3));
  for (std::uint32_t k = 4; k <= Sender::packets; ++k) camera.send(Sender::payload(2, k));
  camera.send(Sender::trailer(2));
  camera.block(3);
  const Exit o = receiver.finish(10s);
  EXPECT_FALSE(o.hung) << o.out;
  expect_all_good(o, 3, 3);
}

std::string allowed_cpus(const std::string &status_path) {
  const std::string text = testlib::read_file(status_path);
  const std::string label = "Cpus_allowed_list:";
  const std::size_t at = text.find(label);
  if (at == std::string::npos) return "";
  const std::size_t from = text.find_first_not_of(" \t", at + label.size());
  return text.substr(from, text.find('\n', from) - from);
}

TEST(EngineIntegrityEndToEnd, WorkerDoesNotInheritTheProgramsPin) {
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "needs two CPUs";
  cpu_set_t mine;
  if (sched_getaffinity(0, sizeof mine, &mine) != 0 || CPU_COUNT(&mine) < 2) {
    GTEST_SKIP() << "this test runs confined to one CPU";
  }
  const std::string own = allowed_cpus("/proc/self/status");
  Ports ports;
  Process receiver(line_buffered({workergrab, "-c", "0", "-i", "-1", "-T", "20", "-n", "4", "-P",
                                  ports.control_endpoint(), ports.data_endpoint()}));
  ASSERT_TRUE(wait_until_ready(receiver));
  const std::string tasks = "/proc/" + std::to_string(receiver.pid()) + "/task/";
  const std::string main_thread = allowed_cpus(tasks + std::to_string(receiver.pid()) + "/status");
  // The worker starts a moment after the socket is bound.
  pid_t worker = -1;
  EXPECT_TRUE(testlib::eventually(
      [&] { return (worker = testlib::thread_named(receiver.pid(), "zok-worker")) > 0; }, 60s));
  const std::string worker_cpus = allowed_cpus(tasks + std::to_string(worker) + "/status");
  receiver.signal(SIGINT);
  receiver.finish(10s);
  EXPECT_EQ(main_thread, "0");
  EXPECT_EQ(worker_cpus, own);
}

}  // namespace
