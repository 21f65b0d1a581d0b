// workergrab: receives GVSP blocks while the library's receive worker
// thread takes the packets in; main collects, checks and hands back the
// blocks, and can hold the worker blocked after each one.
#include <getopt.h>
#include <support/receiver.h>

#include "worker_internal.h"

namespace {

const char short_options[] = "tvT:b:i:rn:p:D:s:Vc:P:R:d:E:C:w:2";

const option long_options[] = {
    {"drop-incomplete", no_argument, nullptr, opt_drop_incomplete},
    {"worker-req-id", required_argument, nullptr, opt_worker_req_id},
    {"max-worker-reqs", required_argument, nullptr, opt_max_worker_reqs},
    {"block-worker", required_argument, nullptr, opt_block_worker},
    {"drop-blk", required_argument, nullptr, opt_drop_blk},
    {"drop-pkt", required_argument, nullptr, opt_drop_pkt},
    {"verify-payload", no_argument, nullptr, opt_verify_payload},
    {nullptr, 0, nullptr, 0},
};

const receiver_family workergrab = {
    print_worker_usage,
    report_layout::workergrab,
    false,    // -E and -b take the common ">=0" message
    false,    // verify_payload writes no size detail line
    true,     // the block-worker time needs the calibration even without -D
    nullptr,  // no clear-stats sequence
};

}  // namespace

// A setup step that fails has said why; main ends with the status it gives.
int main(int argc, char **argv) {
  int status = start_receiver(argc, argv, &workergrab);
  if (status != setup_done) return status;

  receiver_settings settings;
  worker_settings worker;
  int code;
  while ((code = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
    option_failure failure;
    option_result result = apply_common_option(code, optarg, &settings, &failure);
    if (result == option_result::not_common) {
      result = apply_worker_option(code, optarg, &worker, &failure);
    }
    if (result == option_result::failed) return usage_failure(failure);
  }
  const char *endpoint = check_command_line(argc, argv, settings);
  if (endpoint == nullptr) return usage_failure(exit_failure);

  status = calibrate_worker(&settings.delay, &worker);
  if (status != setup_done) return status;
  status = set_up_stream(settings, endpoint);
  if (status != setup_done) return status;
  status = create_worker(stream_handle, worker.worker_setting);
  if (status != setup_done) return status;
  zok_buffer_t buffers[max_buffers];
  status = set_up_buffers(settings, buffers);
  if (status != setup_done) return status;
  status = arm_exit_paths(settings.run_seconds, nullptr);
  if (status != setup_done) return status;
  start_gap_log();
  status = start_worker(stream_handle);
  if (status != setup_done) return status;
  status = show_worker_status(stream_handle);
  if (status != setup_done) return status;

  receive_blocks(&settings, worker.block_worker ? hold_worker : nullptr, &worker);

  status = stop_worker(stream_handle);
  if (status != setup_done) return status;
  status = show_worker_status(stream_handle);
  if (status != setup_done) return status;
  report_at_normal_end();
  return close_receiver_stream();
}
