#include <support/texts.h>

#include "worker_internal.h"
#include "worker_texts.h"

uint16_t starting_request_id = 1;
int32_t max_worker_requests = 1;

option_result apply_worker_option(int code, const char *arg, worker_settings *worker,
                                  option_failure *failure) {
  int value = 0;
  switch (code) {
    case 'w':
      value = parse_int(arg);
      if (value < 0) return fail_option(failure, exit_failure, text::must_be_ge0, 'w');
      worker->worker_setting = static_cast<uint32_t>(value);
      return option_result::accepted;
    case opt_worker_req_id:
      value = parse_int(arg);
      if (value < 0) {
        return fail_option(failure, exit_failure, text::long_must_be_ge0, "worker-req-id");
      }
      starting_request_id = static_cast<uint16_t>(value);
      return option_result::accepted;
    case opt_max_worker_reqs:
      value = parse_int(arg);
      if (value < 0) {
        return fail_option(failure, exit_failure, text::long_must_be_ge0, "max-worker-reqs");
      }
      max_worker_requests = value;
      return option_result::accepted;
    case opt_block_worker:
      worker->block_worker_nsecs = parse_u32_base0(arg, nullptr);
      worker->block_worker = true;
      return option_result::accepted;
    default:
      return fail_option(failure, exit_failure, "%s", "");
  }
}

void calibrate_worker(delay_state *delay, worker_settings *worker) {
  calibrate_receiver(delay, true);
  if (worker->block_worker_nsecs == 0) return;
  worker->block_worker_iters = iterations_for(worker->block_worker_nsecs, delay->calibration_count,
                                              delay->calibration_duration);
  print_calibration_line(worker->block_worker_iters, worker->block_worker_nsecs);
}

// Runs on the library's worker thread, so it keeps no state of its own:
// it reads settings fixed before the worker was created and writes only
// through the pointers it is given.
extern "C" void zok_req_id(void *, uint16_t *start_request_id, uint16_t *max_requests) {
  if (start_request_id == nullptr) {
    if (verbosity != 0) print_verbose(stderr, "zok_req_id", "%s", worker_text::start_id_null);
    return;
  }
  if (max_requests == nullptr) {
    if (verbosity != 0) print_verbose(stderr, "zok_req_id", "%s", worker_text::max_requests_null);
    return;
  }
  *start_request_id = starting_request_id;
  *max_requests = static_cast<uint16_t>(max_worker_requests);
}

void create_worker(zok_stream_t stream, uint32_t worker_setting) {
  int rc = zok_create_recv_worker(stream, worker_setting, zok_req_id);
  if (rc != 0) fail_library(worker_text::create_failed, rc);
}

void start_worker(zok_stream_t stream) {
  int rc = zok_start_recv_worker(stream);
  if (rc != 0) fail_library(worker_text::start_failed, rc);
}

void show_worker_status(zok_stream_t stream) {
  zok_worker_status status = {};
  int rc = zok_get_status_recv_worker(stream, &status);
  if (rc != 0) fail_library(worker_text::status_failed, rc);
  if (verbosity != 0) print_verbose(stderr, "main", worker_text::thread_state, status.thread_state);
  if (verbosity != 0) print_verbose(stderr, "main", worker_text::thread_mode, status.thread_mode);
  if (verbosity != 0) {
    print_verbose(stderr, "main", worker_text::block_processing_mode, status.block_processing_mode);
  }
}

void hold_worker(void *context) {
  const auto *worker = static_cast<const worker_settings *>(context);
  zok_block_recv_worker(stream_handle);
  busy_work(worker->block_worker_iters);
  zok_unblock_recv_worker(stream_handle);
}

void stop_worker(zok_stream_t stream) {
  int rc = zok_stop_recv_worker(stream);
  if (rc != 0) fail_library(worker_text::stop_failed, rc);
}
