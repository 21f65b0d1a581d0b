// The reassembly core's shell faked, and a harness feeding the core on a
// fake clock. For targets that link the library's objects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "lib/gvsp_packets.h"
#include "reassembly_internal.h"

namespace testlib {

using zok::Arrival;
using zok::Buffer;
using zok::CoreConfig;
using zok::Counters;
using zok::FinishedBlock;
using zok::Nanos;
using zok::Prediction;
using zok::Reassembly;

inline constexpr Nanos us = 1'000;
inline constexpr Nanos ms = 1'000'000;

struct Resend {
  std::uint64_t block_id;
  std::uint32_t first;
  std::uint32_t last;
  friend bool operator==(const Resend &, const Resend &) = default;
};

// Buffers of its own and a record of every action. A recycled buffer is the
// next one taken, as in the library's shell.
class FakeShell final : public zok::CoreShell {
 public:
  static constexpr std::byte guard_fill{0xEE};

  // Each buffer is followed by `guard` bytes that must stay untouched; with
  // none, the allocation ends where the buffer does, so a sanitizer sees
  // any access past it.
  void add_buffers(std::size_t count, std::size_t size, std::size_t guard = 4096) {
    for (std::size_t i = 0; i < count; ++i) {
      auto memory = std::make_unique<std::vector<std::byte>>(size + guard, guard_fill);
      auto b = std::make_unique<Buffer>();
      b->data = memory->data();
      b->size = size;
      b->descriptor =
          reinterpret_cast<zok_buffer_t>(static_cast<std::uintptr_t>(buffers.size() + 1));
      b->received = zok::PacketBits(zok::packet_capacity(size));
      b->unavailable = zok::PacketBits(zok::packet_capacity(size));
      queued.push_back(b.get());
      buffers.push_back(std::move(b));
      memories.push_back(std::move(memory));
    }
  }
  bool guards_intact() const {
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      for (std::size_t j = buffers[i]->size; j < memories[i]->size(); ++j) {
        if ((*memories[i])[j] != guard_fill) return false;
      }
    }
    return true;
  }
  // Queues every buffer handed over since the last call again, as a program
  // done with its blocks would.
  void give_back() {
    for (Buffer *b : handed) queued.push_back(b);
    handed.clear();
  }

  Buffer *take_buffer() noexcept override {
    if (queued.empty()) return nullptr;
    Buffer *b = queued.front();
    queued.pop_front();
    return b;
  }
  void recycle(Buffer *b) noexcept override {
    ++recycled;
    queued.push_front(b);
  }
  void hand_over(const FinishedBlock &block) noexcept override {
    finished.push_back(block);
    const auto *data = static_cast<const std::byte *>(block.desc.payload);
    for (const auto &b : buffers) {
      if (b->data != data) continue;
      // What a block claims to hold must lie inside its buffer; reading it
      // lets a sanitizer check that too.
      if (block.desc.payload_length > b->size) __builtin_trap();
      volatile std::byte sink{};
      for (std::uint32_t i = 0; i < block.desc.payload_length; ++i) sink = data[i];
      (void)sink;
      if (give_back_at_once) {
        queued.push_back(b.get());
      } else {
        handed.push_back(b.get());
      }
    }
  }
  Nanos send_resend(std::uint64_t block_id, std::uint32_t first,
                    std::uint32_t last) noexcept override {
    if (first > last) __builtin_trap();
    attempts.push_back({block_id, first, last});
    if (failing) return zok::not_sent;
    resends.push_back({block_id, first, last});
    return 0;
  }
  std::uint16_t next_request_id() const noexcept override { return 7; }
  void sender_locked(std::uint32_t host, std::uint16_t port) noexcept override {
    locks.push_back({host, port});
  }

  bool give_back_at_once = false;  // a program that queues each block's buffer again at once
  bool failing = false;            // no command leaves

  std::vector<std::unique_ptr<Buffer>> buffers;
  std::vector<std::unique_ptr<std::vector<std::byte>>> memories;
  std::deque<Buffer *> queued;
  std::vector<Buffer *> handed;
  std::vector<FinishedBlock> finished;
  std::vector<std::pair<std::uint32_t, std::uint16_t>> locks;  // sender_locked calls
  std::vector<Resend> resends;                                 // commands that left
  std::vector<Resend> attempts;                                // every command tried
  int recycled = 0;
};

// One sender's blocks as it puts them on the wire: `size` data bytes (its
// leaders announce them, or 0 when `announce` is off) in packets of `psize`.
// `run` tells a restarted sender's blocks from the earlier run's of the same
// id, in their data and in their leaders' time.
struct BlockSender {
  std::uint64_t size = 950;
  std::uint32_t psize = 100;
  bool announce = true;
  std::uint64_t run = 0;
  HeaderKind kind = HeaderKind::standard;

  std::uint32_t payloads() const { return static_cast<std::uint32_t>((size + psize - 1) / psize); }
  // The block id the data's pattern carries.
  std::uint64_t mark(std::uint64_t id) const { return id + run * 0x1000; }
  // Packet k of block `id`; `resent` marks it as an answer, as strobix does.
  Bytes packet(std::uint64_t id, std::uint32_t k, bool resent = false) const {
    gvsp::Header h = header(id, k, kind);
    if (resent && kind == HeaderKind::extended) h.flags = gvsp::flag_packet_resent;
    if (resent && kind == HeaderKind::standard) h.status = gvsp::status_packet_resent;
    if (k == 0) return make_leader(h, raw_leader(announce ? size : 0, mark(id)));
    if (k > payloads()) {
      gvsp::Trailer t;
      t.payload_type = gvsp::payload_type_raw;
      Bytes out(gvsp::header_size(kind) + gvsp::trailer_size(t.payload_type));
      out.resize(gvsp::build_trailer(out, h, t));
      return out;
    }
    const std::uint64_t at = std::uint64_t{k - 1} * psize;
    return make_payload(
        h,
        pattern(mark(id), at, static_cast<std::size_t>(std::min<std::uint64_t>(psize, size - at))));
  }
  // A block handed over whole holds this sender's bytes, every one in place.
  bool whole(const FinishedBlock &b) const {
    return b.desc.status == ZOK_BLOCK_STATUS_OK && b.desc.payload_length == size &&
           pattern_holds(b.desc.payload, size, mark(b.desc.block_id));
  }
};

struct Harness {
  explicit Harness(CoreConfig config = {}, std::size_t buffers = 4, std::size_t size = 4096)
      : core(config, counters, shell) {
    shell.add_buffers(buffers, size);
  }
  void feed(const Bytes &datagram, Nanos at = 0, std::uint32_t source = 0, std::uint16_t port = 0) {
    core.on_packet(gvsp::bytes(datagram),
                   Arrival{at, static_cast<std::uint64_t>(at) + 1, source, port});
  }
  // A whole block of `packets` payload packets of `size` bytes, in order.
  void send_block(std::uint64_t id, std::uint32_t packets, std::size_t size = 100, Nanos at = 0) {
    feed(make_leader(id), at);
    for (std::uint32_t k = 1; k <= packets; ++k) feed(make_payload(id, k, size), at);
    feed(make_trailer(id, packets + 1), at);
  }
  // Time passes; the sender `answering`, when there is one, answers each
  // request at once with the packets it has.
  void tick(Nanos now, std::uint32_t source = 0, std::uint16_t port = 0) {
    core.on_tick(now);
    while (answering != nullptr && answered < shell.resends.size()) {
      const Resend r = shell.resends[answered++];
      for (std::uint32_t k = r.first; k <= std::min(r.last, answering->payloads() + 1); ++k) {
        feed(answering->packet(r.block_id, k, true), now, source, port);
      }
      core.on_tick(now);
    }
  }
  std::uint64_t get(const std::atomic<std::uint64_t> &c) const { return c.load(); }

  Counters counters;
  FakeShell shell;
  Reassembly core;
  const BlockSender *answering = nullptr;
  std::size_t answered = 0;  // requests answered so far
};

// The data of payload packet k, `size` bytes, in a block sent in packets of
// `stride` bytes.
inline Bytes packet_data(std::uint64_t block_id, std::uint32_t packet_id, std::size_t size,
                         std::size_t stride = 0) {
  return pattern(block_id, std::uint64_t{packet_id - 1} * (stride != 0 ? stride : size), size);
}

// The block's first `packets` packets of `size` bytes hold the pattern.
inline bool data_matches(const FinishedBlock &b, std::uint32_t packets, std::size_t size) {
  return pattern_holds(b.desc.payload, packets * size, b.desc.block_id);
}

// Resend on, with the engine's own count of retries unless a test needs another.
inline CoreConfig with_resend(std::uint32_t retries = CoreConfig{}.num_retries) {
  CoreConfig c;
  c.resend = true;
  c.num_retries = retries;
  return c;
}

}  // namespace testlib
