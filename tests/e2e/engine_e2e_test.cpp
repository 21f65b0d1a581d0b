// plaingrab and workergrab on the real library, fed over loopback; every
// case reads the counters of the receiver's report.
#include <span>

#include "lib/receiver_pair.h"

namespace {

using namespace engine_e2e;

// Runs that end with every block whole, and what each says besides: ids
// across wraps, packets reordered or duplicated, a forced drop that takes
// one resend, and the request ids a worker's callback gives (a range of
// five; of one id, when the callback is asked again after each command; of
// none, when ids run on from the start id).
TEST(EngineEndToEnd, WholeRunsSayWhatHappened) {
  struct Case {
    const char *receiver;  // and the sender's arguments, space-separated
    const char *sender;
    long long blocks;
    long long last_id;        // -1: a block completed by a resend may come last
    const char *counts = "";  // as expect_counts reads them
    const char *sent = "";    // lines strobix -v prints, each on its own
    long long record = 0;     // the block whose record (-v) holds `lines`
    const char *lines = "";
  };
  // A buffer for every block: with the worker, a block that finds no queued
  // buffer is lost by design, and a sanitizer build's slow verification
  // would otherwise decide the outcome. Resend waits longer than a loaded
  // or sanitized run stalls: requests are counted, so a late answer must
  // not be asked again.
  const Case both[] = {
      {"-i 40 -n 48 --verify-payload", "-c -n 40", 40, 40},
      {"-i 40 -n 48 --verify-payload -2", "-c -n 40 -2 -I 65530", 40, 65569},
      {"-i 40 -n 48 --verify-payload", "-c -n 40 -I 65530", 40, 34},  // 16-bit ids wrap to 1
      {"-i 30 -n 32 --verify-payload -R 3 -b 1000", "-c -n 30 -O", 30, 30},
      {"-i 30 -n 32 --verify-payload -R 3 -b 1000", "-c -n 30 -U", 30, 30},
      {"-i 10 -n 16 -v -b 2000 -E 1000 --drop-blk 5 --drop-pkt 3", "-c -n 10", 10, -1,
       "Resend Requests=1, Resend Requests OK=1", "", 5,
       "Dropped Packet ID: 3\nResend Request:    1\n"},
      // The stream's last trailer lost, nothing after it, a resend wait as
      // long as the block timeout: the idle tail is still asked in time.
      {"-i 5 -n 8 -v -E 500 -b 500", "-c -n 5 -s 65536 --drop 5:46", 5, -1,
       "Resend Requests=1, Resend Requests OK=1, Block Timeouts=0", "", 5,
       "Dropped Packet ID: 46\n"},
  };
  const Case worker_only[] = {
      {"-i 10 -n 16 -v --worker-req-id 1000 --max-worker-reqs 5 --drop-blk 2 --drop-pkt 3 "
       "--block-worker 1000000 -E 300",
       "-c -n 10 -v", 10, -1,
       "Stream Blocked=10, Stream Unblocked=10, Stream Started=1, Stream Stopped=1, "
       "Callbacks Invoked>=1",
       "Resend request 1000 for block 2 ", 2, "Next Request ID:   1001\n"},
      {"-i 6 -n 8 -v -E 200 -R 3 --worker-req-id 500 --max-worker-reqs 1",
       "-c -v -n 6 -s 65536 --drop 2:3 --drop 4:3", 6, -1, "",
       "Resend request 500 for block 2 \nResend request 500 for block 4 ", 4,
       "Next Request ID:   500\n"},
      {"-i 6 -n 8 -v -E 200 -R 3 --worker-req-id 500 --max-worker-reqs 0",
       "-c -v -n 6 -s 65536 --drop 2:3 --drop 4:3", 6, -1, "Callbacks Invoked=1",
       "Resend request 500 for block 2 \nResend request 501 for block 4 ", 4,
       "Next Request ID:   502\n"},
  };
  for (const auto &[programs, cases] :
       {std::pair{receivers, std::span<const Case>(both)},
        std::pair{std::vector{workergrab}, std::span<const Case>(worker_only)}}) {
    for (const Case &c : cases) {
      for (const std::string &program : programs) {
        SCOPED_TRACE(name_of(program) + " " + c.receiver + " / strobix " + c.sender);
        const PairRun run = run_pair(program, words(c.receiver), words(c.sender));
        const Exit &o = run.receiver;
        expect_all_good(o, c.blocks, c.last_id);
        expect_counts(o.out, c.counts);
        std::istringstream sent(c.sent);
        for (std::string line; std::getline(sent, line);) {
          EXPECT_TRUE(contains(run.sender.out, line)) << line << " in\n" << run.sender.out;
        }
        if (c.record != 0) expect_record(o.err, c.record, c.lines);
      }
    }
  }
}

TEST(EngineEndToEnd, LeaderDumpShowsWhatEveryPayloadTypeSent) {
  struct Case {
    std::string sender;
    std::vector<std::string> lines{};
  };
  const Case cases[] = {
      {"-y image -g 64x32 -s 2048",
       {"pixel type: 0x01080001", "size_x: 64", "size y: 32", "trailer size y: 32"}},
      {"-y raw -s 3000", {"payload data size: 3000"}},
      {"-y file -s 3000", {"payload data size: 3000", "filename: strobix.bin"}},
      {"-y chunk -s 3000", {"data payload len: 3000"}},
      {"-y extchunk -g 50x20 -s 1000",
       {"size_x: 50", "size y: 20", "trailer size y: 20", "data payload len: 1000",
        "chunk layout id: 0"}},
      {"-a -y raw -s 1000", {"payload data size: 1000"}},
      {"-a -y image -g 20x10 -s 200", {"size_x: 20", "trailer size y: 10"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sender);
    const PairRun run = run_pair(plaingrab, words("-i 3 -n 8 -vv"), words("-n 3 " + c.sender));
    EXPECT_EQ(run.receiver.status, 0);
    EXPECT_EQ(counter(run.receiver.out, "Blocks Complete"), 3) << run.receiver.out;
    for (const std::string &line : c.lines) {
      EXPECT_GE(occurrences(run.receiver.err, line + "\n"), 3u) << line << "\n" << run.receiver.err;
    }
  }
}

TEST(EngineEndToEnd, LossIsRecoveredByResends) {
  for (const std::string &program : receivers) {
    SCOPED_TRACE(name_of(program));
    // Generous resend waits and buffers: on a loaded machine strobix answers
    // late, and every block waiting for a resend holds a buffer. A block ends
    // a block timeout after its last command, so only a block timeout longer
    // than the resend wait leaves room to ask again for what a request lost
    // at strobix's socket (sending flat out, it reads late) did not bring.
    const PairRun run = run_pair(program, words("-i 40 -n 64 --verify-payload -R 5 -E 300 -b 1000"),
                                 words("-c -n 40 -L 5"));
    expect_all_good(run.receiver, 40, -1);
    const long long asked = counter(run.receiver.out, "Resend Requests");
    EXPECT_GT(asked, 0);
    EXPECT_GT(counter(run.receiver.out, "Resend Requests OK"), 0);
    EXPECT_EQ(counter(run.receiver.out, "Resend Requests Failed"), 0);
    EXPECT_EQ(counter(run.sender.out, "Resend requests") + run.sender_drops, asked)
        << run.sender.out;
  }
}

TEST(EngineEndToEnd, LossWithoutResendIsCountedOrDropped) {
  const PairRun returned =
      run_pair(plaingrab, {"-i", "40", "-n", "16", "-p", "-T", "5"}, {"-c", "-n", "40", "-L", "5"});
  const long long incomplete = counter(returned.receiver.out, "Blocks Incomplete");
  EXPECT_GT(incomplete, 0) << returned.receiver.out;
  EXPECT_EQ(counter(returned.receiver.out, "Blocks non-zero status"), incomplete);
  EXPECT_EQ(occurrences(returned.receiver.out, "bad status"), static_cast<std::size_t>(incomplete));
  EXPECT_EQ(counter(returned.receiver.out, "Resend Requests"), 0);
  EXPECT_EQ(counter(returned.sender.out, "Resend requests"), 0);

  const PairRun dropped =
      run_pair(plaingrab, words("-i 40 -n 16 -p --drop-incomplete -T 3"), words("-c -n 40 -L 5"));
  const Exit &o = dropped.receiver;
  const long long lost = counter(o.out, "Blocks Incomplete");
  EXPECT_GT(lost, 0) << o.out;
  expect_counts(o.out, "Blocks non-zero status=0, Blocks Dropped=" + std::to_string(lost) +
                           ", Blocks received=" + std::to_string(40 - lost));
  EXPECT_EQ(counter(o.out, "Blocks dropped"), lost);  // the information record
}

TEST(EngineEndToEnd, SenderStoppingMidBlockTimesOut) {
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "dropped" : "returned");
    Ports ports;
    Process receiver(line_buffered({plaingrab, drop ? "--drop-incomplete" : "-p", "-b", "100", "-n",
                                    "4", "-T", "2", "-i", "1", "-p", "-P", ports.control_endpoint(),
                                    ports.data_endpoint()}));
    ASSERT_TRUE(wait_until_ready(receiver));
    Sender(ports.data).block(1, 3);
    const Exit o = receiver.finish(10s);
    EXPECT_EQ(o.status, 0);
    expect_counts(o.out, "Block Timeouts=1, Blocks Incomplete=1");
    EXPECT_EQ(handed_over(o.out), drop ? 0 : 1);
    EXPECT_EQ(counter(o.out, "Blocks Dropped"), drop ? 1 : 0);
    if (!drop) {
      EXPECT_TRUE(contains(o.out, "status=0xc001")) << o.out;
    }
  }
}

TEST(EngineEndToEnd, UnansweredResendIsRetriedThenFailed) {
  for (const std::string &program : receivers) {
    SCOPED_TRACE(name_of(program));
    const std::string nobody = "127.0.0.1:" + std::to_string(free_port());
    const PairRun run =
        run_pair(program, {"-i", "5", "-n", "8", "-P", nobody, "-R", "3", "-E", "20"},
                 {"-c", "-n", "5", "--drop", "3:5"}, 30s, {"env", "ZOK_VERBOSE=1"});
    const Exit &o = run.receiver;
    EXPECT_EQ(handed_over(o.out), 5) << o.out;
    const long long spurious = spurious_resends(o.err);
    ASSERT_GE(spurious, 0) << o.err;
    // Nobody answers, so an asked packet that came anyway was the sender's
    // own, held off its CPU mid-block long enough for the engine to ask for
    // the tail it had not sent yet: such asks add to the lost packet's three.
    const long long asked = counter(o.out, "Resend Requests") - spurious;
    if (counter(o.out, "Resend Requests OK") == 0) {
      EXPECT_EQ(asked, 3) << o.out << o.err;
    } else {
      EXPECT_GE(asked, 3) << o.out << o.err;
    }
    expect_counts(o.out,
                  "Blocks Incomplete=1, Resend Timeouts=3, Resend Requests Failed=1, "
                  "Max Resend Retries=3");
  }
}

TEST(EngineEndToEnd, NoBuffersMeansBlocksNotAvailable) {
  const PairRun none = run_pair(plaingrab, {"-n", "0", "-T", "2"}, {"-c", "-n", "20", "-r", "100"});
  expect_counts(none.receiver.out, "Blocks Not Available=20, Blocks received=0, Blocks dropped=20");
  EXPECT_EQ(none.receiver.status, 0);

  // One buffer, held 20 ms by the program per block, blocks every 5 ms.
  const PairRun few =
      run_pair(plaingrab, words("-i -1 -n 1 -T 3 -D 20000000"), words("-c -n 40 -r 200 -s 65536"));
  const long long got = counter(few.receiver.out, "Blocks received");
  const long long missed = counter(few.receiver.out, "Blocks Not Available");
  EXPECT_GT(missed, 0) << few.receiver.out;
  EXPECT_EQ(got + missed, 40) << few.receiver.out;
}

// Block 3 loses a packet whose resends go unanswered, so it ends (incomplete)
// after blocks 4 to 6: 4 comes past a gap ("gt"), 3 then is older ("lt").
TEST(EngineEndToEnd, OutOfOrderBlocksFollowTheAction) {
  struct Case {
    std::string d;
    long long received;
    long long dropped;
  };
  // "" leaves -d out: the default, always return.
  const Case cases[] = {{"0", 4, 2}, {"", 6, 0}, {"-1", 5, 1}, {"1", 5, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE("-d " + c.d);
    const std::string nobody = "127.0.0.1:" + std::to_string(free_port());
    Args r{"-i", "-1", "-n", "8", "-T", "2", "-P", nobody, "-R", "2", "-E", "100"};
    if (!c.d.empty()) r.insert(r.end(), {"-d", c.d});
    const PairRun run = run_pair(plaingrab, r, {"-c", "-n", "6", "-s", "65536", "--drop", "3:5"});
    const Exit &o = run.receiver;
    EXPECT_EQ(handed_over(o.out), c.received) << o.out;
    expect_counts(o.out, "Blocks Complete=5, Blocks Incomplete=1, Blocks Dropped=" +
                             std::to_string(c.dropped));
  }
}

TEST(EngineEndToEnd, HeldWorkerLosesBlocksAndSaysSo) {
  // The worker is held 20 ms after every block while strobix sends faster
  // than that lets through: the socket buffer fills and overflows, and with
  // resends off what overflowed stays lost. The library's forced socket
  // buffer would hold more blocks than the run gets through, so workergrab
  // runs without the privilege to force it (as an ordinary user does): its
  // buffer is then what net.core.rmem_max allows.
  Args launcher;
  const std::string setpriv = "/usr/bin/setpriv";
  if (geteuid() == 0) {
    if (access(setpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "needs setpriv to run without root";
    launcher = {setpriv, "--inh-caps=-net_admin", "--bounding-set=-net_admin"};
  }
  const PairRun run = run_pair(workergrab, words("-i -1 -T 8 -n 16 -R 0 --block-worker 20000000"),
                               words("-c -n -1 -T 6 -s 1048576"), 40s, launcher);
  const Exit &o = run.receiver;
  EXPECT_EQ(o.status, 0) << o.err;
  const long long incomplete = counter(o.out, "Blocks Incomplete");
  EXPECT_GT(incomplete, 0) << o.out;
  EXPECT_GT(counter(o.out, "Blocked Blocks Dropped"), 0) << o.out;
  EXPECT_LE(counter(o.out, "Blocked Blocks Dropped"), incomplete);
}

// Both of workergrab's threads at one real-time priority on one CPU, as a
// user confining it with taskset and -c under chrt gets them: neither may keep the other
// out, or the program never gets its blocks (busy polling) or runs out of
// buffers to requeue.
TEST(EngineEndToEnd, WorkerAndProgramShareOneRealTimeCpu) {
  const std::string chrt = "/usr/bin/chrt";
  const std::string taskset = "/usr/bin/taskset";
  if (access(chrt.c_str(), X_OK) != 0 || access(taskset.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "needs chrt and taskset";
  }
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "needs a second CPU for strobix";
  if (Process({chrt, "-f", "1", "/bin/true"}).finish(5s).status != 0) {
    GTEST_SKIP() << "real-time priority not permitted here";
  }
  for (const std::string mode : {"0", "1"}) {
    SCOPED_TRACE("-w " + mode);
    Ports ports;
    // The whole process on CPU 0, so the worker shares it by choice.
    Args pinned{taskset, "-c", "0",  chrt, "-f", "1",  workergrab,
                "-c",    "0",  "-w", mode, "-i", "100"};
    pinned.insert(pinned.end(), {"-n", "8", "-s", "131072", "--verify-payload", "-P",
                                 ports.control_endpoint(), ports.data_endpoint()});
    Process receiver(line_buffered(pinned));
    ASSERT_TRUE(wait_until_ready(receiver));
    Process sender({taskset, "-c", "1", strobix, "-c", "-n", "100", "-s", "65536", "-r", "500",
                    "-W", "3000", "-l", ports.control_endpoint(), ports.data_endpoint()});
    const Exit o = receiver.finish(20s);
    sender.signal(SIGINT);  // done with its lingering for resend requests
    sender.finish(10s);
    EXPECT_FALSE(o.hung) << o.out;
    expect_all_good(o, 100, 100);
    EXPECT_EQ(counter(o.out, "Blocks Not Available"), 0) << o.out;
  }
}

TEST(EngineEndToEnd, HostileDatagramsBetweenGoodBlocks) {
  Ports ports;
  Process receiver(
      line_buffered({plaingrab, "-v", "-i", "10", "-n", "4", "-s", "16384", "--verify-payload",
                     "-P", ports.control_endpoint(), ports.data_endpoint()}));
  ASSERT_TRUE(wait_until_ready(receiver));
  Sender sender(ports.data);
  for (std::uint64_t id = 1; id <= 10; ++id) {
    // One block at a time, so that its four buffers are never all held by
    // good blocks that a loaded machine has not handed over yet.
    if (id > 1) {
      ASSERT_TRUE(receiver.wait_for_err("Received data block " + std::to_string(id - 1) + ",", 60s))
          << "block " << id - 1 << " never handed over";
    }
    sender.block(id);
    sender.send(Bytes(3, std::byte{0x42}));  // truncated
    Bytes out(70000);
    const Bytes big(60000, std::byte{0x55});
    out.resize(gvsp::build_payload(out, header(id + 1, 1), big));  // huge
    sender.send(out);
    const Bytes small(1000, std::byte{0x66});
    out.assign(2000, std::byte{0});
    out.resize(gvsp::build_payload(out, header(id + 1, 90000), small));  // past any buffer
    sender.send(out);
    out.assign(2000, std::byte{0});
    out.resize(gvsp::build_payload(out, header(id + 3000, 2), small));  // foreign block
    sender.send(out);
    out.assign(2000, std::byte{0});
    out.resize(gvsp::build_payload(out, header(id, 2), small));
    out[4] = std::byte{0x0B};  // unknown format, naming the finished block
    sender.send(out);
  }
  const Exit o = receiver.finish(10s);
  expect_all_good(o, 10, 10);
}

bool stopped(pid_t pid) {
  const std::string stat = testlib::read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t at = stat.rfind(')');
  return at != std::string::npos && at + 2 < stat.size() && stat[at + 2] == 'T';
}

// plaingrab stopped (SIGSTOP) while what it waits for arrives, and continued
// after its wait ran out: the answer to its resend request, or the rest of
// its block, came in time and must be taken so, five blocks in a row.
TEST(EngineEndToEnd, ReceiverStoppedWhileItsPacketsArriveLosesNothing) {
  constexpr std::uint32_t lost = 3;
  struct Case {
    const char *name;
    bool resend;
    const char *block_timeout;
    std::chrono::milliseconds away;
  };
  for (const Case &c : {Case{"the answer to a resend request", true, "1000", 30ms},
                        Case{"the rest of the block", false, "100", 300ms}}) {
    SCOPED_TRACE(c.name);
    Ports ports;
    testlib::UdpSocket control;  // the sender's: takes the resend requests
    Process receiver(line_buffered(
        {plaingrab, "-i", "6", "-n", "8", "-v", "--verify-payload", "-b", c.block_timeout, "-P",
         "127.0.0.1:" + std::to_string(control.port), ports.data_endpoint()}));
    ASSERT_TRUE(wait_until_ready(receiver));
    Sender sender(ports.data);
    sender.block(1);
    ASSERT_TRUE(receiver.wait_for_err("Verify block ok", 30s));
    // The packets that come while it is stopped: the lost one, or the
    // second half and the trailer.
    const auto late = [&](std::uint32_t k) {
      return c.resend ? k == lost : k > Sender::packets / 2;
    };
    for (std::uint64_t id = 2; id <= 6; ++id) {
      sender.send(Sender::leader(id));
      for (std::uint32_t k = 1; k <= Sender::packets; ++k) {
        if (!late(k)) sender.send(Sender::payload(id, k));
      }
      if (c.resend) {
        sender.send(Sender::trailer(id));
        std::byte request[64];
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (recv(control.fd, request, sizeof request, 0) <= 0) {
          ASSERT_LT(std::chrono::steady_clock::now(), until) << "no resend request";
        }
      }
      receiver.signal(SIGSTOP);
      ASSERT_TRUE(testlib::eventually([&] { return stopped(receiver.pid()); }, 30s));
      for (std::uint32_t k = 1; k <= Sender::packets; ++k) {
        if (late(k)) sender.send(Sender::payload(id, k));
      }
      if (!c.resend) sender.send(Sender::trailer(id));
      // How long it is away is the case itself: past its resend wait (10 ms)
      // or its block timeout.
      std::this_thread::sleep_for(c.away);
      receiver.signal(SIGCONT);
    }
    const Exit o = receiver.finish(30s);
    expect_all_good(o, 6, 6);
    if (c.resend) {
      EXPECT_EQ(counter(o.out, "Resend Requests OK"), 5) << o.out;
    }
  }
}

TEST(EngineEndToEnd, InterruptEndsWithReport) {
  for (const std::string &program : receivers) {
    SCOPED_TRACE(name_of(program));
    Ports ports;
    Process receiver(line_buffered(
        {program, "-i", "-1", "-n", "16", "-P", ports.control_endpoint(), ports.data_endpoint()}));
    ASSERT_TRUE(wait_until_ready(receiver));
    // -v: strobix names each block as it is sent, line by line.
    Process sender({strobix, "-v", "-c", "-n", "-1", "-r", "200", "-l", ports.control_endpoint(),
                    ports.data_endpoint()});
    ASSERT_TRUE(sender.wait_for_out("Block 10:", 10s));
    receiver.signal(SIGINT);
    const Exit o = receiver.finish(10s);
    sender.signal(SIGINT);
    sender.finish(5s);
    EXPECT_FALSE(o.hung);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_GT(counter(o.out, "Blocks Complete"), 0) << o.out;
  }
}

}  // namespace
