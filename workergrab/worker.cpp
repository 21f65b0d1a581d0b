#include "worker_internal.h"
#include "worker_texts_internal.h"

// Unlike the -D delay, the hold is not drawn again per block: its count is
// fixed here, from the one calibration that both conversions share.
int calibrate_worker(delay_state *delay, worker_settings *worker) {
  int status = calibrate_receiver(delay, true);
  if (status != setup_done || worker->block_worker_nsecs == 0) return status;
  worker->block_worker_iters = iterations_for(worker->block_worker_nsecs, delay->calibration_count,
                                              delay->calibration_duration);
  print_calibration_line(worker->block_worker_iters, worker->block_worker_nsecs);
  return setup_done;
}

int create_worker(zok_stream_t stream, uint32_t worker_setting) {
  int rc = zok_create_recv_worker(stream, worker_setting, zok_req_id);
  return rc != 0 ? library_failure(worker_text::create_failed, rc) : setup_done;
}

int start_worker(zok_stream_t stream) {
  int rc = zok_start_recv_worker(stream);
  return rc != 0 ? library_failure(worker_text::start_failed, rc) : setup_done;
}

int show_worker_status(zok_stream_t stream) {
  zok_worker_status status = {};
  int rc = zok_get_status_recv_worker(stream, &status);
  if (rc != 0) return library_failure(worker_text::status_failed, rc);
  if (verbosity == 0) return setup_done;
  print_verbose(stderr, "main", worker_text::thread_state, status.thread_state);
  print_verbose(stderr, "main", worker_text::thread_mode, status.thread_mode);
  print_verbose(stderr, "main", worker_text::block_processing_mode, status.block_processing_mode);
  return setup_done;
}

void hold_worker(void *context) {
  const auto *worker = static_cast<const worker_settings *>(context);
  zok_block_recv_worker(stream_handle);
  busy_work(worker->block_worker_iters);
  zok_unblock_recv_worker(stream_handle);
}

int stop_worker(zok_stream_t stream) {
  int rc = zok_stop_recv_worker(stream);
  return rc != 0 ? library_failure(worker_text::stop_failed, rc) : setup_done;
}
