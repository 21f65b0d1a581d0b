// The exit paths end the process, so each case runs in a death-test child
// whose stdout is joined to stderr for matching.
#include <gtest/gtest.h>
#include <support/receiver.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

#include "lib/fake_zok.h"
#include "lib/process.h"

namespace {

using namespace std::chrono_literals;

void no_usage(FILE *, const char *) {}

void note_after_report() {
  std::fputs("after report\n", stdout);
}

// A second interrupt arriving while the first is still being handled: it
// must end the process, however long a busy machine takes to deliver it.
void interrupt_again() {
  kill(getpid(), SIGINT);
  for (int i = 0; i < 600; ++i) usleep(100'000);
}

// Whether the signal thread rests where it goes once it has acted on a
// signal it does not end the process for (waiting for the next one, or for
// the path that took the report), and no other thread runs: a sanitizer's
// own thread may sleep elsewhere.
#ifndef SYS_pause
#define SYS_pause SYS_ppoll  // where the C library's pause() waits without one
#endif
bool others_at_rest() {
  bool signal_thread_waits = false;
  for (const auto &[tid, name] : testlib::threads_of(getpid())) {
    if (tid == gettid()) continue;
    const long call = testlib::sleeping_in(getpid(), tid);
    if (call < 0) return false;
    signal_thread_waits |= call == SYS_rt_sigtimedwait || call == SYS_pause;
  }
  return signal_thread_waits;
}

// Sends an exit signal and returns once the signal thread has acted on it:
// taken it, then come to rest again. A thread that never rests fails the
// case by its status.
void signal_and_let_it_act(int signal_number) {
  kill(getpid(), signal_number);
  sigset_t pending;
  const auto taken = [&] {
    sigpending(&pending);
    return !sigismember(&pending, signal_number);
  };
  if (!testlib::eventually(taken, 60s) || !testlib::eventually(others_at_rest, 60s)) _exit(99);
}

// An interrupt that arrives while main is inside the final report.
void interrupt_once_during_report() {
  fake.during_info = nullptr;
  signal_and_let_it_act(SIGINT);
}

const receiver_family family = {no_usage, report_layout::plaingrab, true, true, false, nullptr};

void start_child() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  use_receiver_family(&family, "plaingrab");
  prepare_exit_signals();
}

[[noreturn]] void spin_printing() {
  // Main keeps printing and looping as a receive loop would.
  for (;;) {
    std::fputs("", stdout);
    bump(app_stats.poll_retries);
  }
}

// A signal or the timer ends an armed run with the report and its status;
// a second signal while the first is handled ends it at once; an unarmed
// signal takes its default action; a library that fails the report turns
// the signal into status -1.
TEST(ExitPathsDeathTest, EachEndSaysWhyAndEndsWithItsStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    bool arm;
    int seconds;
    void (*after_report)();
    int signal_number;  // 0: none
    std::function<bool(int)> ended;
    const char *output;
    int info_rc = 0;
  };
  const std::string report = "\n--- APP stats ---\n(.*\n)+after report\n$";
  const Case cases[] = {
      {true, 0, note_after_report, SIGINT, testing::ExitedWithCode(1),
       "^Application received a signal"},
      {true, 0, note_after_report, SIGTERM, testing::ExitedWithCode(1),
       "^Application received a signal"},
      {true, 1, note_after_report, 0, testing::ExitedWithCode(0), "^Application timeout expired"},
      {true, 0, interrupt_again, SIGINT, testing::KilledBySignal(SIGINT),
       "Application received a signal"},
      {false, 0, nullptr, SIGTERM, testing::KilledBySignal(SIGTERM), "^$"},
      {true, 0, note_after_report, SIGINT, testing::ExitedWithCode(255),
       "^Application received a signal\nCould not get info : Input/output error \\(errno=5\\)\n$",
       5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.output);
    // The report's lines follow where the run reports and goes on to its hook.
    const bool reports = c.after_report == note_after_report && c.info_rc == 0;
    EXPECT_EXIT(
        {
          fake.info_rc = c.info_rc;
          start_child();
          if (c.arm) arm_exit_paths(c.seconds, c.after_report);
          if (c.signal_number != 0) kill(getpid(), c.signal_number);
          spin_printing();
        },
        c.ended, reports ? c.output + report : std::string(c.output));
  }
}

TEST(ExitPathsDeathTest, AnInheritedIgnoreHoldsUntilTheSignalsAreCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGINT, SIG_IGN);  // as a shell leaves background jobs
        start_child();
        signal_and_let_it_act(SIGINT);
        std::fputs("still running\n", stdout);
        arm_exit_paths(0, nullptr);
        kill(getpid(), SIGINT);
        spin_printing();
      },
      testing::ExitedWithCode(1), "^still running\nApplication received a signal\n");
}

TEST(ExitPathsDeathTest, MainsFinalReportIsTheRunsOnlyOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A signal while main reports, and one after main has closed the stream:
  // neither adds a report, and the run ends as main ends it.
  EXPECT_EXIT(
      {
        start_child();
        arm_exit_paths(0, note_after_report);
        fake.during_info = interrupt_once_during_report;
        report_at_normal_end();
        close_receiver_stream();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^--- APP stats ---\n(.*\n)+after report\n$");
  EXPECT_EXIT(
      {
        start_child();
        arm_exit_paths(0, note_after_report);
        report_at_normal_end();
        close_receiver_stream();
        signal_and_let_it_act(SIGTERM);
        std::fputs("closed\n", stdout);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^--- APP stats ---\n(.*\n)+after report\nclosed\n$");
}

}  // namespace
