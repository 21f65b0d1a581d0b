#include "worker_internal.h"
#include "worker_texts_internal.h"

uint16_t starting_request_id = 1;
int32_t max_worker_requests = 1;

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
