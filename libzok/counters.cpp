#include "counters_internal.h"

namespace zok {

namespace {
std::uint64_t get(const std::atomic<std::uint64_t> &c) {
  return c.load(std::memory_order_relaxed);
}
}  // namespace

void Counters::snapshot(zok_stats_record &out) const noexcept {
  out.blocks_dropped = get(blocks_dropped);
  out.blocked_blocks_dropped = get(blocked_blocks_dropped);
  out.blocks_complete = get(blocks_complete);
  out.blocks_incomplete = get(blocks_incomplete);
  out.blocks_not_available = get(blocks_not_available);
  out.resend_requests = get(resend_requests);
  out.resend_requests_ok = get(resend_requests_ok);
  out.resend_requests_failed = get(resend_requests_failed);
  out.block_timeouts = get(block_timeouts);
  out.resend_timeouts = get(resend_timeouts);
  out.max_resend_retries = get(max_resend_retries);
  out.buffers_allocated = get(buffers_allocated);
  out.buffers_freed = get(buffers_freed);
  out.buffers_enqueued = get(buffers_enqueued);
  out.stream_stopped = get(stream_stopped);
  out.stream_started = get(stream_started);
  out.stream_blocked = get(stream_blocked);
  out.stream_unblocked = get(stream_unblocked);
  out.callbacks_invoked = get(callbacks_invoked);
  out.kernel_drops = get(kernel_drops);
}

void Counters::snapshot(zok_info_record &out) const noexcept {
  out.datagrams_refused = get(datagrams_refused);
  // Every block the sender sent and the program did not get: dropped, no
  // buffer for it, or never seen at all.
  out.blocks_dropped = get(blocks_dropped) + get(blocks_not_available) + get(blocks_unseen);
  out.blocks_received = get(blocks_received);
}

void Counters::snapshot(zok_io_errors &out) const noexcept {
  out.receive_errors = get(receive_errors);
  out.send_errors = get(send_errors);
  out.resends_unsent = get(resends_unsent);
  out.socket_option_errors = get(socket_option_errors);
}

void Counters::snapshot(zok_engine_stats &out) const noexcept {
  out.blocks_unseen = get(blocks_unseen);
  out.spurious_resends = get(spurious_resends);
  out.reorder_window_ns = get(reorder_window_ns);
  out.reorder_window_peak_ns = get(reorder_window_peak_ns);
}

void Counters::clear() noexcept {
  for (std::atomic<std::uint64_t> *c :
       {&blocks_dropped,     &blocked_blocks_dropped, &blocks_complete,
        &blocks_incomplete,  &blocks_not_available,   &resend_requests,
        &resend_requests_ok, &resend_requests_failed, &block_timeouts,
        &resend_timeouts,    &max_resend_retries,     &buffers_allocated,
        &buffers_freed,      &buffers_enqueued,       &stream_stopped,
        &stream_started,     &stream_blocked,         &stream_unblocked,
        &callbacks_invoked,  &kernel_drops,           &datagrams_refused,
        &blocks_received,    &receive_errors,         &send_errors,
        &resends_unsent,     &socket_option_errors,   &blocks_unseen,
        &spurious_resends}) {
    c->store(0, std::memory_order_relaxed);
  }
  reorder_window_peak_ns.store(get(reorder_window_ns), std::memory_order_relaxed);
}

}  // namespace zok
