// What a block has said of its own shape: the data bytes of its full payload
// packets, the data size its leader announced, and its trailer's packet id.
// From these follow where each packet's data goes and which packet ids and
// lengths the block can hold. A value type: the block learns, the geometry
// only answers.
#pragma once

#include <gvsp/gvsp.h>

#include <cstdint>
#include <optional>

namespace zok {

// How a payload packet sits in the geometry as known so far.
enum class Fit : std::uint8_t {
  full,          // a full packet where full packets go
  last,          // the block's last payload packet, of the length it must have
  short_packet,  // shorter than full while the block's end is unknown: maybe its last
  longer,        // longer than the full packets so far
  past_end,      // beyond the last payload packet
  wrong_length,  // the last packet with another length than the size leaves, or a
                 // short packet where the end is known and is elsewhere
};

class Geometry {
 public:
  std::uint32_t packet_size() const noexcept { return psize_; }
  std::optional<std::uint64_t> announced() const noexcept { return announced_; }
  std::optional<std::uint32_t> trailer() const noexcept { return trailer_; }
  // The last payload packet's id, when the trailer or the announced size
  // (with a known packet size) gives it.
  std::optional<std::uint64_t> last_payload() const noexcept {
    if (trailer_) return *trailer_ - 1;
    if (last_ != 0) return last_;
    return std::nullopt;
  }
  std::uint64_t offset(std::uint32_t packet_id) const noexcept {
    return gvsp::payload_data_offset(packet_id, psize_);
  }

  void set_packet_size(std::uint32_t psize) noexcept {
    psize_ = psize;
    derive();
  }
  void announce(std::uint64_t size) noexcept {
    announced_ = size;
    derive();
  }
  void end_at(std::uint32_t trailer_id) noexcept { trailer_ = trailer_id; }

  // Where packet `id` of `length` data bytes stands. With no packet size
  // learned yet, `length` is taken for it.
  Fit fit(std::uint32_t id, std::uint32_t length) const noexcept {
    const std::uint32_t psize = psize_ != 0 ? psize_ : length;
    std::uint64_t last = 0;
    std::uint64_t last_length = 0;
    if (trailer_) {
      last = *trailer_ - 1;
      if (announced_) last_length = tail_length(last, psize);
    } else if (announced_) {
      last = psize_ != 0 ? last_ : gvsp::expected_packet_count(*announced_, psize);
      last_length = psize_ != 0 ? last_length_ : tail_length(last, psize);
    }
    if (last != 0 && id > last) return Fit::past_end;
    if (id == last && announced_) return length == last_length ? Fit::last : Fit::wrong_length;
    if (length == psize) return id == last ? Fit::last : Fit::full;
    if (length > psize) return Fit::longer;
    if (last == 0) return Fit::short_packet;
    // Without an announced size the trailer still says which packet is last.
    return id == last ? Fit::last : Fit::wrong_length;
  }

  // The data size of a block that holds packets 1..last, the last one of
  // `last_length` bytes.
  std::uint64_t span(std::uint32_t last, std::uint32_t last_length) const noexcept {
    return last == 0 ? 0 : offset(last) + last_length;
  }

 private:
  std::uint64_t tail_length(std::uint64_t last, std::uint32_t psize) const noexcept {
    if (!announced_ || last == 0) return 0;
    const std::uint64_t before = gvsp::payload_data_offset(last, psize);
    return *announced_ > before ? *announced_ - before : 0;
  }
  // The division the announced size needs is made when the packet size
  // changes, not for every packet.
  void derive() noexcept {
    if (!announced_ || psize_ == 0) {
      last_ = 0;
      last_length_ = 0;
      return;
    }
    last_ = gvsp::expected_packet_count(*announced_, psize_);
    last_length_ = tail_length(last_, psize_);
  }

  std::uint32_t psize_ = 0;  // data bytes of a full payload packet, 0 not learned
  std::optional<std::uint64_t> announced_;
  std::optional<std::uint32_t> trailer_;
  std::uint64_t last_ = 0;  // from the announced size at psize_
  std::uint64_t last_length_ = 0;
};

// The packet size a block's packet `last`, its last, of `length` bytes
// implies with the data size announced; none when they do not fit.
std::optional<std::uint32_t> implied_packet_size(const Geometry &g, std::uint32_t last,
                                                 std::uint32_t length) noexcept;

}  // namespace zok
