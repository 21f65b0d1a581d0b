#include "exit_paths.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "exit_status.h"
#include "report.h"
#include "texts.h"

namespace {

sigset_t exit_signals;
bool signal_thread_running = false;
std::atomic<bool> exit_paths_armed{false};
// What the process was started with for each exit signal. A shell starts a
// background job with SIGINT ignored; until the paths are armed that is the
// default action the signal must keep.
bool inherited_ignore_int = false;
bool inherited_ignore_term = false;
// Taken by the first exit path that reports. The run has one report: a
// second would interleave with it, and once main has reported it closes the
// stream, so a late handler would call the library on a stale handle.
std::atomic<bool> report_taken{false};
// Written before the timer starts and before exit_paths_armed is set.
void (*after_report_hook)() = nullptr;
timer_request request;

// Ends the process as the signal itself would have, had nobody caught it.
[[noreturn]] void end_by_default_action(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

bool inherited_ignore(int signal_number) {
  return signal_number == SIGINT ? inherited_ignore_int : inherited_ignore_term;
}

bool was_ignored(int signal_number) {
  struct sigaction current = {};
  return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void *signal_thread(void *) {
  for (;;) {
    int signal_number;
    if (sigwait(&exit_signals, &signal_number) != 0) continue;
    if (!exit_paths_armed.load(std::memory_order_acquire)) {
      // Blocked signals stay pending even when ignored, so sigwait sees
      // them: dropping one here is what the inherited "ignore" would do.
      if (inherited_ignore(signal_number)) continue;
      end_by_default_action(signal_number);
    }
    // From here on this thread accepts both signals with their default
    // action: a second one, even one already pending, ends the process at
    // once while the first is still being reported.
    pthread_sigmask(SIG_UNBLOCK, &exit_signals, nullptr);
    handle_signal(signal_number);
  }
}

void *timer_entry(void *request) {
  timer_thread(static_cast<timer_request *>(request));
  return nullptr;
}

bool start_detached(void *(*body)(void *), void *argument) {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, body, argument) != 0) return false;
  pthread_detach(thread);
  return true;
}

void run_after_report_hook() {
  if (after_report_hook != nullptr) after_report_hook();
}

// The path that took the report ends the process; the others stay out of
// its way until then. Every thread but the signal thread has the exit
// signals blocked, so pause() never returns there; in the signal thread a
// further signal ends the process with its default action.
[[noreturn]] void wait_for_the_reporting_path() {
  for (;;) pause();
}

void take_report_or_wait() {
  if (report_taken.exchange(true, std::memory_order_acq_rel)) wait_for_the_reporting_path();
}

}  // namespace

void end_process(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

void prepare_exit_signals() {
  sigemptyset(&exit_signals);
  sigaddset(&exit_signals, SIGINT);
  sigaddset(&exit_signals, SIGTERM);
  inherited_ignore_int = was_ignored(SIGINT);
  inherited_ignore_term = was_ignored(SIGTERM);
  pthread_sigmask(SIG_BLOCK, &exit_signals, nullptr);
  signal_thread_running = start_detached(signal_thread, nullptr);
  // Without the thread nobody would ever take them: leave the default.
  if (!signal_thread_running) pthread_sigmask(SIG_UNBLOCK, &exit_signals, nullptr);
}

int arm_exit_paths(int seconds, void (*after_report)()) {
  after_report_hook = after_report;
  if (seconds >= 1) {
    request.seconds = seconds;
    request.handler = handle_timeout;
    start_detached(timer_entry, &request);
  }
  // An inherited "ignore" would discard the signals before sigwait sees
  // them; catching them means making sure they are not ignored.
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  if (!signal_thread_running || sigaction(SIGINT, &action, nullptr) != 0 ||
      sigaction(SIGTERM, &action, nullptr) != 0) {
    return exit_signal;
  }
  exit_paths_armed.store(true, std::memory_order_release);
  return setup_done;
}

void handle_signal(int) {
  take_report_or_wait();
  std::fputs(text::received_signal, stdout);
  report_statistics();
  run_after_report_hook();
  end_process(exit_signal);
}

void handle_timeout(void *) {
  take_report_or_wait();
  std::fputs(text::timeout_expired, stdout);
  report_statistics();
  run_after_report_hook();
  end_process(exit_normal);
}

void report_at_normal_end() {
  take_report_or_wait();
  report_statistics();
  run_after_report_hook();
}

unsigned timer_thread(timer_request *timer) {
  // Whole seconds, so no -T value can overflow a millisecond count.
  timespec left = {static_cast<time_t>(timer->seconds), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  timer->handler(nullptr);
  return 0;
}
