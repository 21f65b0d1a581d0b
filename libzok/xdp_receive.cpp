// The AF_XDP loop: whole Ethernet frames from the rings, their headers
// checked and stripped here, the datagrams handed to the same core as the
// socket loop's. The kernel stamps no arrival on this path: each frame of a
// batch arrives at the batch's clock reading.
#include "stream_internal.h"
#include "xdp_frame_internal.h"

namespace zok {

namespace {
// Batches between reads of the sockets' drop counters, each a system call.
constexpr unsigned batches_per_drop_check = 64;
}  // namespace

std::size_t Stream::receive_xdp_batch() noexcept {
  if (!xdp_engaged_) {
    xdp_engaged_ = true;
    // The stream goes on through the socket if the rings cannot be had.
    if (xdp_->engage() != 0) bump(counters_.receive_errors);
    socket_first_ = true;
  }
  // What waited in the socket is older than anything in the rings.
  if (socket_first_) {
    const std::size_t n = receive_batch();
    if (n < batch_size) socket_first_ = false;
    return n;
  }
  const std::size_t n = xdp_->take(frames_.data(), batch_size);
  if (n == 0 || ++batches_since_drop_check_ >= batches_per_drop_check) {
    batches_since_drop_check_ = 0;
    const std::uint64_t drops = xdp_->kernel_drops();
    bump(counters_.kernel_drops, drops - last_xdp_drops_);
    last_xdp_drops_ = drops;
  }
  // Nothing in the rings: whatever the program left to the kernel (IP
  // fragments) waits in the socket, whose batch also runs the timers.
  if (n == 0) return receive_batch();

  const ClockReading clocks = read_clocks();
  clock_.start_batch(clocks);
  const auto epoch = static_cast<std::uint64_t>(clocks.real);
  Nanos latest = clock_.now();
  FrameDatagram d;
  for (std::size_t i = 0; i < n; ++i) {
    if (!parse_frame(frames_[i], d)) {
      core_.refuse();
      continue;
    }
    const Arrival at{clock_.arrival(epoch), epoch, d.source};
    latest = at.now;
    core_.on_packet(d.payload, at);
  }
  // The frames go back to the kernel only once the core has copied them.
  xdp_->release();
  core_.on_tick(latest);
  core_.end_batch();
  return n;
}

}  // namespace zok
