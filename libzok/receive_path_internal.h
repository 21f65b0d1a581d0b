// How datagrams reach the core. Each receive path (the UDP socket, AF_XDP)
// is one ReceivePath; the batch loop below drives whichever the stream has,
// and the same way a test's fake path on a fake clock.
//
// The loop's rule: the core judges no deadline until everything the kernel
// held by then has been read and stamped with its arrival. The monotonic
// clock is read before the path reads anything, and a batch that found
// nothing is judged at that reading: a thread that loses its CPU between
// the two cannot judge later than the datagrams that came meanwhile. A
// batch that brought datagrams stamps them against a reading taken after its
// read, and is judged at the arrival up to which the path vouches that
// nothing is left unread; a backlog the path cannot vouch for (no arrival
// stamps, more waiting) is not judged at all until it has been read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "clock_internal.h"
#include "reassembly_internal.h"

namespace zok {

// ZOK_VERBOSE set (and not 0): the library says on standard error which
// receive path each stream took, and why it waits where it does.
inline bool verbose() noexcept {
  const char *v = std::getenv("ZOK_VERBOSE");
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

// zok_get_receive_path's answers.
enum class PathKind : std::uint32_t {
  socket = 0,
  xdp_copy = 1,
  xdp_zero_copy = 2,
  packet_ring = 3
};

// Datagrams one batch hands the core at most, per path.
inline constexpr std::size_t batch_size = 64;

// What a batch vouches for besides a time: nothing, or only what arrived
// before the reading taken ahead of its read (it emptied what it read, but
// its datagrams carry no stamps).
inline constexpr Nanos unjudged = -1;
inline constexpr Nanos caught_up = -2;

struct Batch {
  std::size_t taken = 0;
  // Every datagram that arrived up to this time has been handed to the core
  // (read only when `taken` is not 0).
  Nanos through = unjudged;
};

class ReceivePath {
 public:
  virtual ~ReceivePath() = default;
  // Hands the core what waits, a batch at most; once the read brought
  // datagrams, arrivals.taken(), then each stamped through `arrivals`.
  virtual Batch receive(Reassembly &core, ArrivalClock &arrivals) noexcept = 0;
  // Readable when datagrams wait: what an idle worker sleeps on.
  virtual std::span<const int> wait_fds() const noexcept = 0;
  // The core locked onto its sender (network order; port 0: any port of
  // that host), or took a new one. A path that can keep other sources out
  // before they cost it anything does so; the core refuses them either way.
  virtual void sender_locked(std::uint32_t host, std::uint16_t port) noexcept {
    static_cast<void>(host);
    static_cast<void>(port);
  }
  virtual PathKind kind() const noexcept = 0;
};

// The order of a path that takes the stream from rings beside its UDP
// socket: what waited in the socket before the rings were engaged is older
// than anything in them and goes first; after that the rings, and the socket
// whenever they are empty (what the rings leave to the kernel waits there).
template <class Frames>
Batch socket_then_rings(bool &socket_first, ReceivePath &socket, Reassembly &core,
                        ArrivalClock &arrivals, Frames &&frames) noexcept {
  if (socket_first) {
    const Batch b = socket.receive(core, arrivals);
    if (b.taken < batch_size) socket_first = false;
    return b;
  }
  const Batch b = frames();
  return b.taken != 0 ? b : socket.receive(core, arrivals);
}

class ReceiveLoop {
 public:
  ReceiveLoop(Reassembly &core, ReceivePath &path, Clock &clock) noexcept
      : core_(core), path_(path), clock_(clock), arrivals_(clock) {}

  // One batch: datagrams taken.
  std::size_t batch() noexcept {
    const Nanos before = clock_.monotonic();
    const Batch b = path_.receive(core_, arrivals_);
    Nanos through = b.taken == 0 || b.through == caught_up ? before : b.through;
    if (through != unjudged) {
      // Never back: an earlier judgement already held.
      through = std::max(through, judged_);
      judged_ = through;
      arrivals_.judged(through);
      core_.on_tick(through);
    }
    core_.end_batch();
    return b.taken;
  }

 private:
  Reassembly &core_;
  ReceivePath &path_;
  Clock &clock_;
  ArrivalClock arrivals_;
  Nanos judged_ = 0;
};

}  // namespace zok
