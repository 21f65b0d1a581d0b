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

void read_command_line(int argc, char **argv, receiver_settings *settings) {
  int code;
  while ((code = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
    option_failure failure;
    switch (apply_common_option(code, optarg, settings, &failure)) {
      case option_result::accepted:
        break;
      case option_result::failed:
        fail_usage(failure);
      case option_result::not_common:
        if (code == 'p') {
          settings->params.flags &= ~ZOK_FLAG_PACKET_RESEND;
        } else if (code == 'z') {
          clear_stats_flag = true;
        } else {
          fail_usage(exit_failure);
        }
        break;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  start_receiver(argc, argv, &plaingrab_family);
  receiver_settings settings;
  read_command_line(argc, argv, &settings);
  const char *endpoint = check_command_line(argc, argv, settings);

  calibrate_receiver(&settings.delay, plaingrab_family.calibrate_always);
  sockaddr_in local;
  parse_local_endpoint(endpoint, &local);
  pin_thread(settings);
  open_receiver_stream(settings, local);
  print_receive_banner(settings, local);

  zok_buffer_t buffers[max_buffers];
  unsigned allocated = allocate_buffers(settings, buffers);
  queue_buffers(buffers, allocated);
  arm_exit_paths(settings.run_seconds, plaingrab_family.after_report);
  start_gap_log();

  receive_blocks(&settings, nullptr, nullptr);

  report_at_normal_end();
  close_receiver_stream();
  return exit_normal;
}
