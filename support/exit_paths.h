// The exits that do not come from main: SIGINT/SIGTERM and the -T timer.
//
// Signals are blocked in every thread from the start of main (so no
// library thread can take them), and one dedicated thread takes them with
// sigwait. Before the paths are armed it does what the inherited
// disposition would have done: end the process as an uncaught signal does,
// or, if the process was started with the signal ignored, nothing. Once
// armed, it unblocks both signals in itself before running handle_signal: a
// second signal is then delivered to it with the default action and ends
// the process at once, which keeps the one-shot rule of an installed-once
// handler.
#pragma once

// At the very start of main, before any thread exists.
void prepare_exit_signals();

// After the buffers are queued. seconds >= 1 starts the timer thread;
// after_report runs after each handler's report (plaingrab's -z), may be
// null. setup_done, or exit_signal (nothing printed) if the signals cannot
// be caught.
int arm_exit_paths(int seconds, void (*after_report)());

// The report at the end of the receive loop, then after_report. Of the
// three paths (signal, timer, this) the first to get here reports; a later
// one waits, without a word, for that one to end the process. main closes
// the stream only after this returns, so no handler reaches a closed one.
void report_at_normal_end();

[[noreturn]] void handle_signal(int signal_number);
[[noreturn]] void handle_timeout(void *unused);

struct timer_request {
  int seconds;
  void (*handler)(void *);
};

unsigned timer_thread(timer_request *request);

// Flushes both standard streams and ends the process without running
// exit handlers, so it is safe while other threads still run.
[[noreturn]] void end_process(int status);
