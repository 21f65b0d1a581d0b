// camctl: finds GigE Vision cameras, reads and sets their features, and
// holds one streaming to a receiver for as long as it runs.
#include <csignal>
#include <cstdio>
#include <string>

#include "camctl_error_internal.h"
#include "commands_internal.h"
#include "options_internal.h"
#include "stream_internal.h"
#include "texts_internal.h"

namespace {

void on_stop_signal(int) {
  stop_requested = 1;
}

// No SA_RESTART: a signal must cut the heartbeat's wait short.
void arm_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int run_command(const camctl_options &opts) {
  const std::string &c = opts.command;
  if (c == "discover") return run_discover(opts);
  if (c == "forceip") return run_forceip(opts);
  if (c == "get") return run_get(opts);
  if (c == "set") return run_set(opts);
  if (c == "features") return run_features(opts);
  if (c == "xml") return run_xml(opts);
  if (c == "reg") return run_reg(opts);
  if (c == "snap") return run_snap(opts);
  return run_stream(opts);
}

}  // namespace

int main(int argc, char **argv) {
  // Before anything else, so that a stop asked early still ends a stream cleanly.
  arm_stop_signals();
  camctl_options opts;
  const int status = parse_options(argc, argv, opts);
  if (status != exit_ok || opts.command == "help") return status;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return run_command(opts);
  } catch (const camctl_error &e) {
    std::fflush(stdout);
    std::fprintf(stderr, text_error, e.what());
    return e.status;
  } catch (const std::exception &e) {
    // A description error outside a feature's own handling, or memory.
    std::fflush(stdout);
    std::fprintf(stderr, text_error, e.what());
    return exit_failure;
  }
}
