// The stream's counters. Each is written by one thread (the receive context
// for block and resend counters, the caller of the buffer and worker calls
// for theirs) and read by any, so relaxed atomics are all they need: the
// report tolerates a counter that is one block behind another.
#pragma once

#include <zok/zok.h>

#include <atomic>
#include <cstdint>

namespace zok {

struct Counters {
  std::atomic<std::uint64_t> blocks_dropped{0};
  std::atomic<std::uint64_t> blocked_blocks_dropped{0};
  std::atomic<std::uint64_t> blocks_complete{0};
  std::atomic<std::uint64_t> blocks_incomplete{0};
  std::atomic<std::uint64_t> blocks_not_available{0};
  std::atomic<std::uint64_t> resend_requests{0};
  std::atomic<std::uint64_t> resend_requests_ok{0};
  std::atomic<std::uint64_t> resend_requests_failed{0};
  std::atomic<std::uint64_t> block_timeouts{0};
  std::atomic<std::uint64_t> resend_timeouts{0};
  std::atomic<std::uint64_t> max_resend_retries{0};
  std::atomic<std::uint64_t> buffers_allocated{0};
  std::atomic<std::uint64_t> buffers_freed{0};
  std::atomic<std::uint64_t> buffers_enqueued{0};
  std::atomic<std::uint64_t> stream_stopped{0};
  std::atomic<std::uint64_t> stream_started{0};
  std::atomic<std::uint64_t> stream_blocked{0};
  std::atomic<std::uint64_t> stream_unblocked{0};
  std::atomic<std::uint64_t> callbacks_invoked{0};
  std::atomic<std::uint64_t> kernel_drops{0};
  std::atomic<std::uint64_t> datagrams_refused{0};
  std::atomic<std::uint64_t> blocks_received{0};
  std::atomic<std::uint64_t> receive_errors{0};
  std::atomic<std::uint64_t> send_errors{0};
  std::atomic<std::uint64_t> resends_unsent{0};
  std::atomic<std::uint64_t> socket_option_errors{0};
  // Blocks whose ids the sender went past without the engine seeing any of
  // them (lost whole before it, in the kernel or on the wire).
  std::atomic<std::uint64_t> blocks_unseen{0};
  // Packets asked for that then came on their own: the reorder window was
  // too short for the path.
  std::atomic<std::uint64_t> spurious_resends{0};
  // The reorder window now, and the widest since the counters were cleared.
  // The window is the engine's state, not a count: clearing leaves it.
  std::atomic<std::uint64_t> reorder_window_ns{0};
  std::atomic<std::uint64_t> reorder_window_peak_ns{0};

  // Safe from a signal handler: lock-free loads and stores only.
  void snapshot(zok_stats_record &out) const noexcept;
  void snapshot(zok_info_record &out) const noexcept;
  void snapshot(zok_io_errors &out) const noexcept;
  void snapshot(zok_engine_stats &out) const noexcept;
  void clear() noexcept;
};

inline void bump(std::atomic<std::uint64_t> &counter, std::uint64_t by = 1) noexcept {
  counter.fetch_add(by, std::memory_order_relaxed);
}

inline void raise_to(std::atomic<std::uint64_t> &mark, std::uint64_t value) noexcept {
  std::uint64_t seen = mark.load(std::memory_order_relaxed);
  while (seen < value && !mark.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "counters are read from signal handlers");

}  // namespace zok
