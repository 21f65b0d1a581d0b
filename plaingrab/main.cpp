// plaingrab: receives GVSP blocks through the zok library, polling from its
// own loop, and reports what it saw.
#include <getopt.h>
#include <support/receiver.h>

#include "usage.h"

namespace {

// -z: after every report, clear the library's counters and report again.
void clear_stats_after_report() {
  if (clear_stats_flag) run_clear_stats_sequence();
}

const receiver_family plaingrab_family = {
    print_usage,
    report_layout::plaingrab,
    true,   // -E and -b have messages of their own
    true,   // verify_payload adds its size line
    false,  // calibrates only for a -D delay
    clear_stats_after_report,
};

const char short_options[] = "pztvT:b:i:rn:D:s:Vc:P:R:d:E:C:2";
const option long_options[] = {
    {"drop-incomplete", no_argument, nullptr, opt_drop_incomplete},
    {"drop-blk", required_argument, nullptr, opt_drop_blk},
    {"drop-pkt", required_argument, nullptr, opt_drop_pkt},
    {"verify-payload", no_argument, nullptr, opt_verify_payload},
    {nullptr, 0, nullptr, 0},
};

// setup_done, or the status to end with once the usage is printed.
int read_command_line(int argc, char **argv, receiver_settings *settings) {
  int code;
  while ((code = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
    option_failure failure;
    switch (apply_common_option(code, optarg, settings, &failure)) {
      case option_result::accepted:
        break;
      case option_result::failed:
        return usage_failure(failure);
      case option_result::not_common:
        if (code == 'p') {
          settings->params.flags &= ~ZOK_FLAG_PACKET_RESEND;
        } else if (code == 'z') {
          clear_stats_flag = true;
        } else {
          return usage_failure(exit_failure);
        }
        break;
    }
  }
  return setup_done;
}

}  // namespace

// A setup step that fails has said why; main ends with the status it gives.
int main(int argc, char **argv) {
  int status = start_receiver(argc, argv, &plaingrab_family);
  if (status != setup_done) return status;
  receiver_settings settings;
  status = read_command_line(argc, argv, &settings);
  if (status != setup_done) return status;
  const char *endpoint = check_command_line(argc, argv, settings);
  if (endpoint == nullptr) return usage_failure(exit_failure);

  status = calibrate_receiver(&settings.delay, plaingrab_family.calibrate_always);
  if (status != setup_done) return status;
  status = set_up_stream(settings, endpoint);
  if (status != setup_done) return status;
  zok_buffer_t buffers[max_buffers];
  status = set_up_buffers(settings, buffers);
  if (status != setup_done) return status;
  status = arm_exit_paths(settings.run_seconds, plaingrab_family.after_report);
  if (status != setup_done) return status;
  start_gap_log();

  receive_blocks(&settings, nullptr, nullptr);

  report_at_normal_end();
  return close_receiver_stream();
}
