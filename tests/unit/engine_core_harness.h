// The reassembly core's test double of its shell, datagram builders and a
// harness feeding the core on a fake clock.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "reassembly_internal.h"

namespace engine_core_test {

using namespace zok;
using gvsp::HeaderKind;

inline constexpr Nanos ms = 1'000'000;

struct Resend {
  std::uint64_t block_id;
  std::uint32_t first;
  std::uint32_t last;
};

// Buffers with a guard area after their end, and a record of every action.
class FakeShell final : public CoreShell {
 public:
  static constexpr std::size_t guard = 4096;

  void add_buffers(std::size_t count, std::size_t size) {
    for (std::size_t i = 0; i < count; ++i) {
      auto memory = std::make_unique<std::vector<std::byte>>(size + guard, std::byte{0xEE});
      auto b = std::make_unique<Buffer>();
      b->data = memory->data();
      b->size = size;
      b->descriptor = reinterpret_cast<zok_buffer_t>(static_cast<std::uintptr_t>(i + 1));
      b->received = PacketBits(static_cast<std::uint32_t>(size / min_packet_data + 2));
      b->unavailable = PacketBits(static_cast<std::uint32_t>(size / min_packet_data + 2));
      queued.push_back(b.get());
      buffers.push_back(std::move(b));
      memories.push_back(std::move(memory));
    }
  }
  bool guards_intact() const {
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      for (std::size_t j = buffers[i]->size; j < memories[i]->size(); ++j) {
        if ((*memories[i])[j] != std::byte{0xEE}) return false;
      }
    }
    return true;
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
  void hand_over(const FinishedBlock &block) noexcept override { finished.push_back(block); }
  Nanos send_resend(std::uint64_t block_id, std::uint32_t first,
                    std::uint32_t last) noexcept override {
    resends.push_back({block_id, first, last});
    return 0;
  }
  std::uint16_t next_request_id() const noexcept override { return 7; }

  std::vector<std::unique_ptr<Buffer>> buffers;
  std::vector<std::unique_ptr<std::vector<std::byte>>> memories;
  std::deque<Buffer *> queued;
  std::vector<FinishedBlock> finished;
  std::vector<Resend> resends;
  int recycled = 0;
};

using Bytes = std::vector<std::byte>;

inline gvsp::Header header(std::uint64_t block_id, std::uint32_t packet_id,
                           HeaderKind kind = HeaderKind::standard) {
  gvsp::Header h;
  h.kind = kind;
  h.block_id = block_id;
  h.packet_id = packet_id;
  return h;
}

inline Bytes make_leader(std::uint64_t block_id, HeaderKind kind = HeaderKind::standard,
                         std::uint64_t data_size = 0) {
  gvsp::Leader l;
  l.payload_type = gvsp::payload_type_raw;
  l.timestamp = 0x1122334455667788ull;
  l.payload_data_size = data_size;
  Bytes out(256);
  out.resize(gvsp::build_leader(out, header(block_id, 0, kind), l));
  return out;
}

inline Bytes make_trailer(std::uint64_t block_id, std::uint32_t packet_id,
                          HeaderKind kind = HeaderKind::standard) {
  gvsp::Trailer t;
  t.payload_type = gvsp::payload_type_raw;
  Bytes out(256);
  out.resize(gvsp::build_trailer(out, header(block_id, packet_id, kind), t));
  return out;
}

// Data of payload packet k: every byte says which block and packet it is.
inline Bytes packet_data(std::uint64_t block_id, std::uint32_t packet_id, std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<std::byte>((block_id * 31 + packet_id * 7 + i) & 0xFF);
  }
  return data;
}

inline Bytes make_payload(std::uint64_t block_id, std::uint32_t packet_id, std::size_t size,
                          HeaderKind kind = HeaderKind::standard) {
  const Bytes data = packet_data(block_id, packet_id, size);
  Bytes out(size + 64);
  out.resize(gvsp::build_payload(out, header(block_id, packet_id, kind), data));
  return out;
}

inline Bytes make_error(std::uint64_t block_id, std::uint32_t packet_id, std::uint16_t status) {
  Bytes out(64);
  gvsp::Header h = header(block_id, packet_id);
  h.format = static_cast<std::uint8_t>(gvsp::Format::payload);
  out.resize(gvsp::build_error(out, h, status));
  return out;
}

struct Harness {
  explicit Harness(CoreConfig config = {}, std::size_t buffers = 4, std::size_t size = 4096)
      : core(config, counters, shell) {
    shell.add_buffers(buffers, size);
  }
  void feed(const Bytes &datagram, Nanos at = 0, std::uint32_t source = 0) {
    core.on_packet(gvsp::bytes(datagram), Arrival{at, static_cast<std::uint64_t>(at) + 1, source});
  }
  // A whole block of `packets` payload packets of `size` bytes, in order.
  void send_block(std::uint64_t id, std::uint32_t packets, std::size_t size = 100, Nanos at = 0) {
    feed(make_leader(id), at);
    for (std::uint32_t k = 1; k <= packets; ++k) feed(make_payload(id, k, size), at);
    feed(make_trailer(id, packets + 1), at);
  }
  std::uint64_t get(const std::atomic<std::uint64_t> &c) const { return c.load(); }

  Counters counters;
  FakeShell shell;
  Reassembly core;
};

inline bool data_matches(const FinishedBlock &b, std::uint32_t packets, std::size_t size) {
  const auto *p = static_cast<const std::byte *>(b.desc.payload);
  for (std::uint32_t k = 1; k <= packets; ++k) {
    const Bytes want = packet_data(b.desc.block_id, k, size);
    if (std::memcmp(p + (k - 1) * size, want.data(), size) != 0) return false;
  }
  return true;
}

inline CoreConfig with_resend(std::uint32_t retries = 1) {
  CoreConfig c;
  c.resend = true;
  c.num_retries = retries;
  return c;
}
}  // namespace engine_core_test
