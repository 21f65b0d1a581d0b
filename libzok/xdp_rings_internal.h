// The frame memory of the AF_XDP path and the rings that pass frames between
// the kernel and the library: a fill ring that hands the kernel free frames
// (reserve, then submit) and a receive ring per socket that hands back the
// frames it filled (peek, then release).
#pragma once

#include <gvsp/gvsp.h>
#include <linux/if_xdp.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace zok {

// A frame of a 1500-byte MTU fits one; a jumbo frame comes in pieces, put
// together again by the path.
inline constexpr std::uint32_t frame_size = 2048;

struct Mapping {
  void *base = MAP_FAILED;
  std::size_t size = 0;
  Mapping() = default;
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  ~Mapping() {
    if (base != MAP_FAILED) munmap(base, size);
  }
};

// The kernel's side of a ring moves its own index; each side reads the
// other's with acquire and publishes its own with release.
template <typename T>
class RingIndexes {
 public:
  void attach(void *base, const xdp_ring_offset &off, std::uint32_t entries) noexcept {
    auto *b = static_cast<std::byte *>(base);
    producer_ = reinterpret_cast<std::uint32_t *>(b + off.producer);
    consumer_ = reinterpret_cast<std::uint32_t *>(b + off.consumer);
    entries_ = reinterpret_cast<T *>(b + off.desc);
    mask_ = entries - 1;
  }
  T &at(std::uint32_t index) noexcept { return entries_[index & mask_]; }
  const T &at(std::uint32_t index) const noexcept { return entries_[index & mask_]; }

 protected:
  static std::uint32_t load(const std::uint32_t *p) noexcept {
    return std::atomic_ref<std::uint32_t>(*const_cast<std::uint32_t *>(p))
        .load(std::memory_order_acquire);
  }
  static void store(std::uint32_t *p, std::uint32_t v) noexcept {
    std::atomic_ref<std::uint32_t>(*p).store(v, std::memory_order_release);
  }

  std::uint32_t *producer_ = nullptr;
  std::uint32_t *consumer_ = nullptr;
  T *entries_ = nullptr;
  std::uint32_t mask_ = 0;
};

// A ring the kernel fills: entries are peeked (in order), then released
// back once done with, or the last peeked ones cancelled to be peeked again.
template <typename T>
class ConsumerRing : public RingIndexes<T> {
 public:
  void attach(void *base, const xdp_ring_offset &off, std::uint32_t entries) noexcept {
    RingIndexes<T>::attach(base, off, entries);
    released_ = peeked_ = this->load(this->consumer_);
  }
  // Up to `max` entries from `first` on, not peeked before.
  std::uint32_t peek(std::uint32_t max, std::uint32_t &first) noexcept {
    const std::uint32_t n = std::min(this->load(this->producer_) - peeked_, max);
    first = peeked_;
    peeked_ += n;
    return n;
  }
  void cancel(std::uint32_t n) noexcept { peeked_ -= n; }
  // Peeked but not yet released.
  std::uint32_t held() const noexcept { return peeked_ - released_; }
  std::uint32_t oldest_held() const noexcept { return released_; }
  void release(std::uint32_t n) noexcept {
    released_ += n;
    this->store(this->consumer_, released_);
  }

 private:
  std::uint32_t peeked_ = 0;
  std::uint32_t released_ = 0;
};

// A ring this process fills: room is reserved, written, then submitted.
template <typename T>
class ProducerRing : public RingIndexes<T> {
 public:
  void attach(void *base, const xdp_ring_offset &off, std::uint32_t entries) noexcept {
    RingIndexes<T>::attach(base, off, entries);
    size_ = entries;
    reserved_ = this->load(this->producer_);
  }
  // Room for up to `n` entries from `first` on.
  std::uint32_t reserve(std::uint32_t n, std::uint32_t &first) noexcept {
    const std::uint32_t room = size_ - (reserved_ - this->load(this->consumer_));
    n = std::min(n, room);
    first = reserved_;
    reserved_ += n;
    return n;
  }
  // Everything reserved so far goes to the kernel.
  void submit() noexcept { this->store(this->producer_, reserved_); }

 private:
  std::uint32_t size_ = 0;
  std::uint32_t reserved_ = 0;
};

// One receive queue's frames and fill ring. The kernel binds one pool per
// queue of an interface; this pool's own socket holds it (it receives
// nothing: no map entry steers to it) and the streams' sockets on the queue
// bind to it, each with a receive ring of its own. Streams hand frames back
// from their own threads, so the fill ring has a lock.
class XdpPool {
 public:
  XdpPool() = default;
  XdpPool(const XdpPool &) = delete;
  XdpPool &operator=(const XdpPool &) = delete;
  ~XdpPool();

  // `failed` names the step that failed, for the stream's reason.
  int open(int ifindex, std::uint32_t queue, std::uint32_t frame_count, bool &zero_copy,
           const char *&failed) noexcept;
  int fd() const noexcept { return fd_; }
  std::uint32_t frames() const noexcept { return frames_; }
  // A descriptor's bytes, held to its own frame; empty if it lies outside.
  gvsp::bytes piece(std::uint64_t addr, std::uint32_t length) const noexcept;
  // The frames of `n` descriptors from `first` on of `from` back to the
  // kernel.
  void give_back(const ConsumerRing<xdp_desc> &from, std::uint32_t first, std::uint32_t n) noexcept;

 private:
  int fd_ = -1;
  std::uint32_t frames_ = 0;  // a power of two
  Mapping umem_;
  Mapping fill_map_;
  ProducerRing<std::uint64_t> fill_;
  std::mutex fill_lock_;
};

// A frame taken from a receive ring: its bytes (in the pool's memory, or put
// together from its pieces) and when the XDP program saw it (0: unknown).
struct XdpFrame {
  gvsp::bytes bytes;
  std::int64_t stamp = 0;
};

// Room to put together frames that came in pieces: frame i of a take() that
// does goes at joined + i * joined_size; larger frames are handed up empty.
inline constexpr std::size_t joined_size = 65536;

// A stream's socket on one receive queue, bound to the queue's pool.
class XdpSocket {
 public:
  XdpSocket() = default;
  XdpSocket(const XdpSocket &) = delete;
  XdpSocket &operator=(const XdpSocket &) = delete;
  ~XdpSocket();

  int open(XdpPool &pool, int ifindex, std::uint32_t queue, const char *&failed) noexcept;
  int fd() const noexcept { return fd_; }
  // Up to `max` whole frames, in ring order; a frame whose last piece is
  // not in the ring yet waits. `drained`: nothing (not even such a piece) is
  // left behind them.
  std::size_t take(XdpFrame *out, std::size_t max, std::byte *joined, bool &drained) noexcept;
  // The frames of every take() since the last release, back to the kernel.
  void release() noexcept;

 private:
  int fd_ = -1;
  XdpPool *pool_ = nullptr;
  Mapping rx_map_;
  ConsumerRing<xdp_desc> rx_;
};

}  // namespace zok
