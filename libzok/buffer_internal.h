// One receive buffer: page-aligned memory plus the per-packet state of the
// block being assembled in it, sized once when the buffer is made so that
// the packet path never allocates.
#pragma once

#include <zok/zok.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace zok {

// Payload packets carry at least this many data bytes (all but the last);
// it bounds the packet state a buffer needs. A sender with smaller packets
// overruns the buffer's packet state and its blocks end with a data overrun.
inline constexpr std::size_t min_packet_data = 32;

// Packet ids a buffer of this size keeps state for: as many payload packets
// as fit at min_packet_data each, plus the leader and the trailer.
constexpr std::uint32_t packet_capacity(std::size_t buffer_size) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(buffer_size / min_packet_data + 2, 0xFFFFFFFFu));
}

// Per-packet bits: received, and given up by the sender (0x800C).
class PacketBits {
 public:
  PacketBits() = default;
  explicit PacketBits(std::uint32_t packets)
      : words_(new std::uint64_t[packets / 64 + 1]()), packets_(packets) {}
  std::uint32_t size() const noexcept { return packets_; }
  bool test(std::uint32_t i) const noexcept { return (words_[i >> 6] >> (i & 63)) & 1u; }
  void set(std::uint32_t i) noexcept { words_[i >> 6] |= std::uint64_t{1} << (i & 63); }
  void reset(std::uint32_t i) noexcept { words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63)); }
  // The bits of packets 0..63.
  std::uint64_t first_word() const noexcept { return words_ ? words_[0] : 0; }
  // Clears the bits of packets 0..up_to (inclusive), all that a block used.
  void clear_through(std::uint32_t up_to) noexcept;

 private:
  std::unique_ptr<std::uint64_t[]> words_;
  std::uint32_t packets_ = 0;
};

enum class BufferOwner : std::uint8_t { program, library };

struct Buffer {
  std::byte *data = nullptr;
  std::size_t size = 0;
  std::size_t mapped = 0;  // bytes mapped, size rounded up to pages
  zok_buffer_t descriptor = nullptr;
  std::atomic<BufferOwner> owner{BufferOwner::program};
  PacketBits received;
  PacketBits unavailable;
};

}  // namespace zok
