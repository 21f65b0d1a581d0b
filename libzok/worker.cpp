// The receive worker: the receive loop on the library's own thread, handing
// finished blocks to poll through the ready queue.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "stream_internal.h"

namespace zok {

namespace {

// Where the process could run when the library was loaded, before the
// program pinned its own thread (the receivers' -c pins the thread that
// starts the worker). The worker runs there: it shares the program's CPU
// only when the whole process was confined to it.
cpu_set_t load_affinity;
bool load_affinity_known = false;

__attribute__((constructor)) void capture_load_affinity() {
  load_affinity_known = sched_getaffinity(0, sizeof load_affinity, &load_affinity) == 0;
}

}  // namespace

int Stream::create_worker(std::uint32_t setting, zok_req_id_fn callback) noexcept {
  if (worker_created_) return EEXIST;
  if ((setting & ~worker_settings_known) != 0) return EINVAL;
  worker_created_ = true;
  worker_setting_ = setting;
  callback_ = callback;
  return 0;
}

int Stream::start_worker() noexcept {
  if (!worker_created_) return EINVAL;
  if (worker_running_.load(std::memory_order_acquire)) return EALREADY;
  stop_.store(false, std::memory_order_release);
  try {
    worker_ = std::thread([this] { worker_main(); });
  } catch (const std::system_error &e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  }
  worker_running_.store(true, std::memory_order_release);
  bump(counters_.stream_started);
  return 0;
}

int Stream::stop_worker() noexcept {
  if (!worker_running_.load(std::memory_order_acquire)) return worker_created_ ? 0 : EINVAL;
  stop_.store(true, std::memory_order_release);
  // A held worker must get out of its wait, which only a change of the
  // hold flag ends.
  hold_.store(false, std::memory_order_release);
  hold_.notify_all();
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t w = write(wake_fd_, &one, sizeof one);
  worker_.join();
  worker_running_.store(false, std::memory_order_release);
  bump(counters_.stream_stopped);
  return 0;
}

int Stream::block_worker() noexcept {
  if (!worker_created_) return EINVAL;
  if (hold_.exchange(true, std::memory_order_acq_rel)) return 0;
  bump(counters_.stream_blocked);
  return 0;
}

int Stream::unblock_worker() noexcept {
  if (!worker_created_) return EINVAL;
  if (!hold_.exchange(false, std::memory_order_acq_rel)) return 0;
  hold_.notify_all();
  bump(counters_.stream_unblocked);
  return 0;
}

int Stream::worker_status(zok_worker_status &status) const noexcept {
  status = zok_worker_status{};
  WorkerState state = WorkerState::none;
  if (worker_created_) {
    state = WorkerState::idle;
    if (worker_running_.load(std::memory_order_acquire)) {
      state = hold_.load(std::memory_order_acquire) ? WorkerState::held : WorkerState::running;
    }
  }
  status.thread_state = static_cast<std::uint32_t>(state);
  status.thread_mode = static_cast<std::uint32_t>(
      (worker_setting_ & worker_busy_poll) != 0 ? WorkerMode::busy_poll : WorkerMode::kernel_wait);
  // 1: finished blocks reach poll through the worker's hand-over queue;
  // 0: poll assembles them itself.
  status.block_processing_mode = state == WorkerState::running || state == WorkerState::held;
  return 0;
}

// Sleeps in the kernel until a datagram, the next timer or a stop.
void Stream::wait_for_packets() noexcept {
  const Nanos deadline = core_.next_deadline();
  int timeout_ms = -1;
  if (deadline != never) {
    const Nanos left = deadline - core_clock_now();
    timeout_ms = left <= 0 ? 0 : static_cast<int>(std::min<Nanos>(left / 1'000'000 + 1, 1000));
  }
  const int ready = ::poll(wait_fds_.data(), wait_fds_.size(), timeout_ms);
  if (ready < 0 && errno != EINTR) bump(counters_.receive_errors);
  if (ready > 0 && (wait_fds_[0].revents & POLLIN) != 0) drain_wake();
}

void Stream::drain_wake() noexcept {
  std::uint64_t drained = 0;
  [[maybe_unused]] const ssize_t r = read(wake_fd_, &drained, sizeof drained);
}

// Sleeps for a nap, without watching the stream: a datagram that comes
// meanwhile waits for the next read instead of waking the worker, which
// would cost the sender's CPU the wake-up. The next deadline or a stop ends
// it sooner.
void Stream::nap() noexcept {
  Nanos length = nap_;
  if (const Nanos deadline = core_.next_deadline(); deadline != never) {
    length = std::min(length, deadline - core_clock_now());
    if (length <= 0) return;
  }
  const timespec ts{0, static_cast<long>(length)};
  pollfd wake{wake_fd_, POLLIN, 0};
  const int ready = ::ppoll(&wake, 1, &ts, nullptr);
  if (ready < 0 && errno != EINTR) bump(counters_.receive_errors);
  if (ready > 0) drain_wake();
}

void Stream::worker_main() noexcept {
  // Advice: a worker left on the creating thread's CPUs still works.
  if (load_affinity_known) sched_setaffinity(0, sizeof load_affinity, &load_affinity);
  // Named, so that tools listing the process's threads tell it apart.
  pthread_setname_np(pthread_self(), worker_thread_name);
  if (callback_ != nullptr) {
    use_callback_ = true;
    refill_request_ids();
  }
  const bool busy = (worker_setting_ & worker_busy_poll) != 0;
  // Empty polls in a row since the last datagram. While a stream flows, the
  // next datagram is microseconds away: polling again after a nap or two
  // before sleeping on the socket spares the sender the wake-up it would pay
  // for on every datagram (on loopback, its own CPU delivers them).
  unsigned empty_polls = 0;
  bool napped = false;
  while (!stop_.load(std::memory_order_acquire)) {
    if (hold_.load(std::memory_order_acquire)) {
      // Held at a batch boundary: packets wait in the socket buffer.
      while (hold_.load(std::memory_order_acquire) && !stop_.load(std::memory_order_acquire)) {
        hold_.wait(true, std::memory_order_acquire);
      }
      core_.note_hold_released();
      continue;
    }
    const std::size_t taken = receive();
    if (napped && taken != 0) {
      if (taken < batch_size / 2) {
        nap_ = std::min(nap_ * 2, nap_ceiling_);
      } else if (taken == batch_size) {
        nap_ = std::max(nap_ / 2, shortest_nap);
      }
    }
    napped = false;
    if (taken != 0) {
      empty_polls = 0;
      if (!busy && taken < thin_batch) {
        // Also lets the program's thread run, as the yield below does.
        nap();
        napped = true;
      } else if (ready_.size() != 0) {
        // Finished blocks wait for the program's thread, which also
        // requeues the buffers this loop needs next; under a fixed
        // real-time priority on a shared CPU it runs only when this thread
        // lets it, and a socket that never empties would otherwise keep it
        // out until the buffers ran out.
        sched_yield();
      }
      continue;
    }
    if (busy) {
      // Spinning, but never past a thread that shares this CPU: the
      // program's own thread, which requeues the buffers this loop fills,
      // may be waiting for it at the same real-time priority.
      sched_yield();
    } else if (empty_polls++ < naps_before_sleeping) {
      nap();
      napped = true;
    } else {
      // The stream paused: whatever comes first after it may come at any
      // pace.
      nap_ = shortest_nap;
      wait_for_packets();
    }
  }
}

}  // namespace zok
