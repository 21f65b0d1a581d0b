// A bounded single-producer/single-consumer queue. The receive context and
// the program's thread exchange buffers and finished blocks through it
// without a lock, so neither side can stall the other.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zok {

template <typename T, std::size_t Capacity>
class SpscRing {
  static_assert((Capacity & (Capacity - 1)) == 0, "capacity is a power of two");

 public:
  static constexpr std::size_t capacity = Capacity;

  // Producer side. False when full.
  bool push(const T &item) noexcept {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == Capacity) return false;
    slots_[tail & (Capacity - 1)] = item;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }

  // Consumer side. False when empty.
  bool pop(T &item) noexcept {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (tail_.load(std::memory_order_acquire) == head) return false;
    item = slots_[head & (Capacity - 1)];
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  // Either side; exact only when the other side is quiet.
  std::size_t size() const noexcept {
    return static_cast<std::size_t>(tail_.load(std::memory_order_acquire) -
                                    head_.load(std::memory_order_acquire));
  }

 private:
  alignas(64) std::atomic<std::uint64_t> head_{0};
  alignas(64) std::atomic<std::uint64_t> tail_{0};
  alignas(64) std::array<T, Capacity> slots_{};
};

}  // namespace zok
