// strobix: a GVSP sender for testing receivers on one machine, or (--camera)
// a GigE Vision camera that other programs control.
#include <csignal>
#include <cstdio>

#include "camera_internal.h"
#include "exit_status_internal.h"
#include "options_internal.h"
#include "stream_internal.h"

namespace {

void on_stop_signal(int) {
  stop_requested = 1;
}

// No SA_RESTART: a signal must cut a wait short.
void arm_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
  // Before anything else, so that a stop asked early still ends the run cleanly.
  arm_stop_signals();
  strobix_options opts;
  const int status = parse_options(argc, argv, opts);
  if (status != exit_ok) return status;

  // Verbose lines are progress: let whoever reads them see them as they come.
  if (opts.verbosity > 0) std::setvbuf(stdout, nullptr, _IOLBF, 0);

  if (opts.camera) return run_camera(opts);

  stream_state st;
  if (!open_stream(st, opts)) return exit_usage_error;

  run_stream(st);

  print_summary(stdout, st.counters, static_cast<double>(st.end_ns - st.start_ns) / 1e9);
  std::fflush(stdout);
  close_stream(st);
  return st.failed ? exit_usage_error : exit_ok;
}
