// workergrab's own part: its options, its usage text, the control of the
// library's receive worker thread and the request-id callback.
#pragma once

#include <support/receiver.h>
#include <zok/zok.h>

#include <cstdint>
#include <cstdio>

// workergrab's long options beyond the common ones.
enum worker_option_code {
  opt_worker_req_id = opt_program_own,
  opt_max_worker_reqs,
  opt_block_worker,
};

struct worker_settings {
  uint32_t worker_setting = 0;  // -w, passed to the library unchanged
  bool block_worker = false;    // any --block-worker, even with 0 ns
  uint32_t block_worker_nsecs = 0;
  int64_t block_worker_iters = 0;
};

// Read by zok_req_id on the library's thread; written only while the
// command line is read, before the worker exists, and never again.
extern uint16_t starting_request_id;
extern int32_t max_worker_requests;

void print_worker_usage(FILE *out, const char *program);

// One getopt_long result that apply_common_option did not take. Every code
// it does not know (in practice -p, which takes an argument but means
// nothing here) fails with the usage alone.
option_result apply_worker_option(int code, const char *arg, worker_settings *worker,
                                  option_failure *failure);

// Calibrates always, then converts the -D delay and the block-worker time;
// setup_done or the status of a failed calibration.
int calibrate_worker(delay_state *delay, worker_settings *worker);

extern "C" void zok_req_id(void *context, uint16_t *start_request_id, uint16_t *max_requests);

// Each returns setup_done, or exit_failure once it has said that the
// library refused.
int create_worker(zok_stream_t stream, uint32_t worker_setting);
int start_worker(zok_stream_t stream);
int show_worker_status(zok_stream_t stream);
int stop_worker(zok_stream_t stream);

// After each block (context: the worker_settings). The results of the block
// and unblock calls are not looked at: the hold is best effort.
void hold_worker(void *context);
