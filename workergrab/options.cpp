#include <support/texts.h>

#include "worker_internal.h"

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
