// The simulation's one view of the reassembly core: how it is built, fed
// datagrams and time, what it hands back through its shell, and its
// counters. Everything the core's interface may change lives here, so the
// scenarios and the reference model never name the core's own types.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "reassembly_internal.h"

namespace sim {

using zok::Nanos;
using Bytes = std::vector<std::byte>;

// One datagram as it reached the receiving host: IPv4 address and UDP port
// in network order, arrival time on the core's clock.
struct Datagram {
  Bytes bytes;
  Nanos at = 0;
  std::uint32_t host = 0;
  std::uint16_t port = 0;
};

struct Settings {
  gvsp::HeaderKind kind = gvsp::HeaderKind::standard;
  bool resend = true, drop_incomplete = false;
  Nanos block_timeout = 0, resend_timeout = 0;
  std::uint32_t num_retries = 1, booo = ZOK_BOOO_ALWAYS_RETURN;
  std::uint32_t sender_host = 0;  // 0: the core locks onto a sender itself
  std::size_t buffers = 8, buffer_size = 0;
  Nanos app_delay = 0;  // how long the program keeps a block before requeueing it
};

struct Counts {
  std::uint64_t complete, incomplete, dropped, not_available, unseen, requests, requests_ok,
      requests_failed, block_timeouts, max_retries, refused;
};

// What the core did, each with the number of datagrams and ticks it had
// been given by then (`step`) and its clock (`at`).
struct Handed {
  std::uint64_t block_id, timestamp;
  std::uint16_t status, payload_type;
  Bytes data;  // what the program finds at payload, payload_length bytes
  Nanos at;
  std::size_t step;
};
struct Request {
  std::uint64_t block_id;
  std::uint32_t first, last;
  Nanos at;
  std::size_t step;
};
// Cores that lock onto a port as well as a host take the source port.
template <class A>
void set_source_port(A &at, std::uint16_t port) {
  if constexpr (requires { at.port; }) at.port = port;
}

template <class C>
std::uint64_t blocks_unseen(const C &c) {
  if constexpr (requires { c.blocks_unseen; }) {
    return c.blocks_unseen.load();
  } else {
    return 0;
  }
}

class Seam final : public zok::CoreShell {
 public:
  static constexpr std::size_t guard = 64;
  static constexpr std::byte poison{0xEE};
  // The socket loop's batch: at most this many predictions per read.
  static constexpr std::size_t batch_size = 64;

  explicit Seam(const Settings &s) : settings_(s), core_(config(s), counters_, *this) {
    for (std::size_t i = 0; i < s.buffers; ++i) {
      auto b = std::make_unique<zok::Buffer>();
      memory_.push_back(Bytes(s.buffer_size + guard, poison));
      b->data = memory_.back().data();
      b->size = s.buffer_size;
      b->descriptor = reinterpret_cast<zok_buffer_t>(static_cast<std::uintptr_t>(i + 1));
      b->received = zok::PacketBits(zok::packet_capacity(s.buffer_size));
      b->unavailable = zok::PacketBits(zok::packet_capacity(s.buffer_size));
      queued_.push_back(b.get());
      owner_.push_back(Owner::queued);
      buffers_.push_back(std::move(b));
    }
  }

  // One read of the socket loop. With `scatter`, the datagrams' data first
  // lands where the core predicted (as the kernel writes it), and those that
  // match their prediction are reported in place.
  void deliver(std::span<const Datagram *const> batch, bool scatter) {
    std::array<zok::Prediction, batch_size> p{};
    const std::size_t predicted = scatter ? core_.predict(p) : 0;
    const std::size_t hn = gvsp::header_size(settings_.kind);
    std::array<bool, batch_size> placed{};
    for (std::size_t i = 0; i < std::min(predicted, batch.size()); ++i) {
      const Bytes &d = batch[i]->bytes;
      if (!inside_held_buffer(p[i].dest, p[i].length)) {
        misuse.push_back("prediction outside the buffers the core holds");
        return;
      }
      if (d.size() <= hn) continue;
      std::memcpy(p[i].dest, d.data() + hn, std::min<std::size_t>(d.size() - hn, p[i].length));
      const auto h = gvsp::parse_header(gvsp::bytes(d.data(), hn));
      placed[i] = d.size() - hn <= p[i].length && h && h.value.kind == settings_.kind &&
                  h.value.format == static_cast<std::uint8_t>(gvsp::Format::payload) &&
                  !gvsp::status_is_error(h.value.status) && h.value.block_id == p[i].block_id &&
                  h.value.packet_id == p[i].packet_id;
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const Datagram &d = *batch[i];
      zok::Arrival at{d.at, static_cast<std::uint64_t>(d.at) + epoch_offset, d.host};
      set_source_port(at, d.port);
      now_ = d.at;
      ++step;
      if (i < batch_size && placed[i]) {
        core_.on_placed(p[i], static_cast<std::uint32_t>(d.bytes.size() - hn), at);
      } else {
        core_.on_packet(gvsp::bytes(d.bytes), at);
      }
    }
  }

  void tick(Nanos t) {
    now_ = t;
    ++step;
    core_.on_tick(t);
    core_.end_batch();
    // What a tick leaves due at or before its own time, a worker spins on.
    if (core_.next_deadline() <= t && overdue == 0) overdue = step;
    while (!held_.empty() && held_.front().second <= t) {
      requeue(held_.front().first);
      held_.pop_front();
    }
  }

  Nanos next_deadline() const { return core_.next_deadline(); }

  Counts counts() const {
    const zok::Counters &c = counters_;
    return {c.blocks_complete, c.blocks_incomplete,  c.blocks_dropped,     c.blocks_not_available,
            blocks_unseen(c),  c.resend_requests,    c.resend_requests_ok, c.resend_requests_failed,
            c.block_timeouts,  c.max_resend_retries, c.datagrams_refused};
  }

  // Buffers the core still holds, and whether every guard after a buffer
  // is as it was made.
  std::size_t held_by_core() const { return std::ranges::count(owner_, Owner::core); }
  bool guards_intact() const {
    for (const Bytes &m : memory_) {
      if (std::any_of(m.end() - guard, m.end(), [](std::byte b) { return b != poison; })) {
        return false;
      }
    }
    return true;
  }

  // CoreShell
  zok::Buffer *take_buffer() noexcept override {
    if (queued_.empty()) {
      no_buffer.push_back(step);
      return nullptr;
    }
    zok::Buffer *b = queued_.front();
    queued_.pop_front();
    owner_[index(b)] = Owner::core;
    return b;
  }
  // A dropped block's buffer is the next one taken, as in the library.
  void recycle(zok::Buffer *b) noexcept override {
    if (held(b, "recycled")) requeue(b, true);
  }
  void hand_over(const zok::FinishedBlock &f) noexcept override {
    const zok_block_desc &d = f.desc;
    zok::Buffer *b = nullptr;
    for (auto &x : buffers_) {
      if (x->descriptor == d.buffer) b = x.get();
    }
    if (!held(b, "handed over")) return;
    const auto *payload = static_cast<const std::byte *>(d.payload);
    if (payload != b->data || d.payload_length > b->size) {
      misuse.push_back("block descriptor points outside its buffer");
      return;
    }
    if (f.status.status != d.status || f.status.block_id != d.block_id) {
      misuse.push_back("block status record disagrees with the descriptor");
    }
    handed.push_back({d.block_id, (std::uint64_t{d.timestamp_high} << 32) | d.timestamp, d.status,
                      d.payload_type, Bytes(payload, payload + d.payload_length), now_, step});
    owner_[index(b)] = Owner::program;
    if (settings_.app_delay == 0) {
      requeue(b);
    } else {
      held_.emplace_back(b, now_ + settings_.app_delay);
    }
  }
  zok::Nanos send_resend(std::uint64_t block_id, std::uint32_t first,
                         std::uint32_t last) noexcept override {
    requests.push_back({block_id, first, last, now_, step});
    return 0;
  }
  std::uint16_t next_request_id() const noexcept override {
    return static_cast<std::uint16_t>(requests.size() % 0xFFFF + 1);
  }

  std::vector<Handed> handed;
  std::vector<Request> requests;
  std::vector<std::string> misuse;
  std::vector<std::size_t> no_buffer;  // steps at which the core found no buffer queued
  std::size_t step = 0;
  std::size_t overdue = 0;  // the first tick that left a deadline due

 private:
  enum class Owner : std::uint8_t { queued, core, program };
  static constexpr std::uint64_t epoch_offset = 1'700'000'000'000'000'000ull;

  static zok::CoreConfig config(const Settings &s) {
    zok::CoreConfig c;
    c.kind = s.kind;
    c.resend = s.resend;
    c.drop_incomplete = s.drop_incomplete;
    c.block_timeout = s.block_timeout;
    c.resend_timeout = s.resend_timeout;
    c.num_retries = s.num_retries;
    c.booo = s.booo;
    c.sender_host = s.sender_host;
    return c;
  }
  std::size_t index(const zok::Buffer *b) const {
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
      if (buffers_[i].get() == b) return i;
    }
    return buffers_.size();
  }
  bool held(const zok::Buffer *b, const char *what) {
    const std::size_t i = index(b);
    if (i < buffers_.size() && owner_[i] == Owner::core) return true;
    misuse.push_back(std::string(what) + " a buffer the core did not hold");
    return false;
  }
  bool inside_held_buffer(const std::byte *p, std::size_t n) const {
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
      const zok::Buffer &b = *buffers_[i];
      if (owner_[i] == Owner::core && p >= b.data && p + n <= b.data + b.size) return true;
    }
    return false;
  }
  void requeue(zok::Buffer *b, bool first = false) {
    // Poisoned again, so a block can never pass on the last block's bytes.
    std::memset(b->data, static_cast<int>(poison), b->size);
    owner_[index(b)] = Owner::queued;
    if (first) {
      queued_.push_front(b);
    } else {
      queued_.push_back(b);
    }
  }

  Settings settings_;
  zok::Counters counters_;
  std::vector<std::unique_ptr<zok::Buffer>> buffers_;
  std::vector<Bytes> memory_;
  std::vector<Owner> owner_;
  std::deque<zok::Buffer *> queued_;
  std::deque<std::pair<zok::Buffer *, Nanos>> held_;
  Nanos now_ = 0;
  zok::Reassembly core_;
};

}  // namespace sim
