// One open stream: its socket, buffers, hand-over queues and worker, around
// the reassembly core.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <zok/zok.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "buffer_internal.h"
#include "clock_internal.h"
#include "counters_internal.h"
#include "handles_internal.h"
#include "reassembly_internal.h"
#include "receive_path_internal.h"
#include "ring_internal.h"

namespace zok {

// Buffers a stream may have queued at once; zok_queue_buffer answers EAGAIN
// beyond.
inline constexpr std::size_t queue_capacity = 512;
// Per-stream caps on zok_alloc; ENOMEM beyond either.
inline constexpr std::size_t max_buffers = 1024;
inline constexpr std::uint64_t max_buffer_bytes = std::uint64_t{4} << 30;
// Finished blocks waiting for poll: each holds a buffer, so this never fills.
inline constexpr std::size_t ready_capacity = 1024;
static_assert(ready_capacity >= max_buffers);

// Batches one poll takes at most before it returns, so a flooded socket
// cannot keep the caller inside poll.
inline constexpr int batches_per_poll = 16;
// Kernel receive buffer asked for.
inline constexpr int wanted_receive_buffer = 256 << 20;

// The receive worker's thread name (at most 15 characters).
inline constexpr char worker_thread_name[] = "zok-worker";

// Worker setting bits (zok_create_recv_worker).
inline constexpr std::uint32_t worker_busy_poll = 0x1;
inline constexpr std::uint32_t worker_settings_known = worker_busy_poll;
// Kernel-wait mode: a batch that brought fewer datagrams than this finds the
// worker ahead of the stream, and it naps before the next read instead of
// reading again at once. Read one at a time, a paced stream costs a system
// call and a pass through the loop per datagram; after a nap one read takes
// what came meanwhile.
inline constexpr std::size_t thin_batch = batch_size / 4;
// How long a nap lasts (the timer's slack comes on top). It starts short
// enough that a default-sized socket buffer holds what comes meanwhile, and
// doubles while a nap still brings less than half a batch, since each
// wake-up costs a context switch whatever it brings (at 50 microseconds, a
// quarter of the packet ring worker's time at a paced 1500-byte stream on
// loopback, a seventh of the socket worker's). It never grows past what the
// socket buffer holds of a stream that suddenly comes at 10 Gbit/s.
inline constexpr Nanos shortest_nap = 50'000;
inline constexpr Nanos longest_nap = 200'000;
// Kernel-side bytes a 10 Gbit/s stream of 1500-byte datagrams fills per
// nanosecond (1.25 on the wire, half as much again for each datagram's
// buffer overhead), and doubled: a nap leaves half the buffer (as
// SO_RCVBUF reads back, the kernel's own accounting) free.
inline constexpr Nanos nap_fill_bytes_per_ns = 4;
constexpr Nanos nap_ceiling(int socket_buffer_bytes) noexcept {
  return std::clamp<Nanos>(socket_buffer_bytes / nap_fill_bytes_per_ns, shortest_nap, longest_nap);
}
// Kernel-wait mode: empty polls in a row, each followed by a nap, before the
// worker sleeps in the kernel until a datagram comes.
inline constexpr unsigned naps_before_sleeping = 2;

// Worker status values.
enum class WorkerState : std::uint32_t { none = 0, idle = 1, running = 2, held = 3 };
enum class WorkerMode : std::uint32_t { kernel_wait = 0, busy_poll = 1 };

struct OpenRequest {
  in_addr_t local_addr = 0;  // network byte order
  std::uint16_t local_port = 0;
  zok_open_params params{};
};

class Stream final : public CoreShell {
 public:
  static int open(const OpenRequest &request, StreamId id, std::unique_ptr<Stream> &out);
  ~Stream();
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;

  int link_state(std::uint32_t &state) const;
  void arm_drop(std::uint32_t block, std::uint32_t packet) noexcept {
    core_.arm_drop(block, packet);
  }
  int alloc(std::size_t size, zok_buffer_t &out);
  int queue(Buffer &buffer) noexcept;
  int poll(zok_block_desc &block, zok_block_status &status) noexcept;
  Buffer *buffer(std::uint32_t index) noexcept;
  // Stops the worker and drops the blocks poll has not taken; buffers are
  // freed with the stream.
  void shut_down() noexcept;

  int create_worker(std::uint32_t setting, zok_req_id_fn callback) noexcept;
  int start_worker() noexcept;
  int stop_worker() noexcept;
  int block_worker() noexcept;
  int unblock_worker() noexcept;
  int worker_status(zok_worker_status &status) const noexcept;

  PathKind receive_path() const noexcept { return path_->kind(); }

  // CoreShell
  Buffer *take_buffer() noexcept override;
  void recycle(Buffer *buffer) noexcept override;
  void hand_over(const FinishedBlock &block) noexcept override;
  Nanos send_resend(std::uint64_t block_id, std::uint32_t first,
                    std::uint32_t last) noexcept override;
  std::uint16_t next_request_id() const noexcept override;
  void sender_locked(std::uint32_t host, std::uint16_t port) noexcept override {
    if (path_) path_->sender_locked(host, port);
  }

 private:
  Stream(const OpenRequest &request, StreamId id, Counters &counters);

  std::size_t receive() noexcept { return loop_->batch(); }
  int choose_receive_path();
  void worker_main() noexcept;
  void wait_for_packets() noexcept;
  void nap() noexcept;
  // Takes the stop or hold signal off the wake fd once it was seen.
  void drain_wake() noexcept;
  std::uint16_t take_request_id() noexcept;
  void refill_request_ids() noexcept;
  int join_group();

  StreamId id_;
  OpenRequest request_;
  Counters &counters_;
  // The interface address the link state answers for: the bound address,
  // or for a multicast group the address of the interface it was joined on.
  in_addr_t link_addr_;
  ip_mreqn membership_{};
  bool joined_ = false;
  CoreConfig config_;
  Reassembly core_;
  int fd_ = -1;
  int wake_fd_ = -1;

  std::vector<std::unique_ptr<Buffer>> buffers_;
  std::uint64_t buffer_bytes_ = 0;
  SpscRing<Buffer *, queue_capacity> free_;
  std::vector<Buffer *> spare_;  // dropped blocks' buffers, engine side only
  SpscRing<FinishedBlock, ready_capacity> ready_;

  // The receive path the stream took, and the loop that drives it.
  std::unique_ptr<ReceivePath> path_;
  SystemClock clock_;
  std::optional<ReceiveLoop> loop_;
  // What the worker sleeps on: the wake event, then the path's descriptors.
  std::vector<pollfd> wait_fds_;

  // Request ids of resend commands.
  std::uint16_t next_request_id_ = 1;
  std::uint32_t request_ids_left_ = 0;
  bool use_callback_ = false;
  bool ids_run_on_ = false;  // the program granted a range of 0 ids

  // Worker.
  bool worker_created_ = false;
  std::uint32_t worker_setting_ = 0;
  zok_req_id_fn callback_ = nullptr;
  std::thread worker_;
  std::atomic<bool> worker_running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> hold_{false};
  // The worker's nap now, and how long it may grow (from the socket buffer
  // the kernel granted).
  Nanos nap_ = shortest_nap;
  Nanos nap_ceiling_ = shortest_nap;
};

}  // namespace zok
