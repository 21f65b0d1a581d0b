#include <array>
#include <atomic>
#include <mutex>

#include "handles_internal.h"
#include "stream_internal.h"

namespace zok {

namespace {

// Static storage with constant initialisation and no destructor: a process
// that exits with streams open runs nothing here at exit, and a report on
// another thread can keep reading the counters.
struct Slot {
  std::atomic<std::uint32_t> generation{0};  // 0: free or reserved
  std::atomic<bool> taken{false};
  std::atomic<Stream *> stream{nullptr};
  Counters counters;
};

std::array<Slot, max_streams> slots;
std::atomic<std::uint32_t> next_generation{1};
// Open and close only; lookups never take it, so the report may run from a
// signal handler.
std::mutex table_mutex;

constexpr std::uint64_t slot_bits = 8;
constexpr std::uint64_t index_bits = 24;

}  // namespace

bool reserve_slot(StreamId &id) {
  const std::lock_guard lock(table_mutex);
  for (std::uint32_t i = 0; i < slots.size(); ++i) {
    if (slots[i].taken.load(std::memory_order_relaxed)) continue;
    slots[i].taken.store(true, std::memory_order_relaxed);
    slots[i].counters.clear();
    std::uint32_t gen = next_generation.fetch_add(1, std::memory_order_relaxed);
    if (gen == 0) gen = next_generation.fetch_add(1, std::memory_order_relaxed);
    id = StreamId{i, gen};
    return true;
  }
  return false;
}

void release_slot(StreamId id) {
  const std::lock_guard lock(table_mutex);
  slots[id.slot].taken.store(false, std::memory_order_relaxed);
}

void install_stream(std::unique_ptr<Stream> stream, StreamId id) {
  const std::lock_guard lock(table_mutex);
  Slot &s = slots[id.slot];
  s.stream.store(stream.release(), std::memory_order_release);
  s.generation.store(id.generation, std::memory_order_release);
}

Counters &slot_counters(std::uint32_t slot) {
  return slots[slot].counters;
}

zok_stream_t stream_handle(StreamId id) {
  const std::uint64_t v = (std::uint64_t{id.generation} << 16) | (id.slot + 1);
  return reinterpret_cast<zok_stream_t>(static_cast<std::uintptr_t>(v));
}

zok_buffer_t buffer_descriptor(StreamId id, std::uint32_t index) {
  const std::uint64_t v =
      (std::uint64_t{id.generation} << 32) | (std::uint64_t{index} << slot_bits) | (id.slot + 1);
  return reinterpret_cast<zok_buffer_t>(static_cast<std::uintptr_t>(v));
}

namespace {

Slot *live_slot(std::uint64_t slot_plus_one, std::uint64_t generation) {
  if (slot_plus_one == 0 || slot_plus_one > slots.size() || generation == 0 ||
      generation > 0xFFFFFFFFu) {
    return nullptr;
  }
  Slot &s = slots[slot_plus_one - 1];
  if (s.generation.load(std::memory_order_acquire) != generation) return nullptr;
  return &s;
}

}  // namespace

Stream *find_stream(zok_stream_t handle) {
  const auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
  Slot *s = live_slot(v & 0xFFFF, v >> 16);
  return s == nullptr ? nullptr : s->stream.load(std::memory_order_acquire);
}

Counters *find_counters(zok_stream_t handle) {
  const auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
  Slot *s = live_slot(v & 0xFFFF, v >> 16);
  return s == nullptr ? nullptr : &s->counters;
}

Buffer *find_buffer(zok_buffer_t descriptor, Stream **owner) {
  const auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(descriptor));
  Slot *s = live_slot(v & ((1u << slot_bits) - 1), v >> 32);
  if (s == nullptr) return nullptr;
  Stream *stream = s->stream.load(std::memory_order_acquire);
  if (stream == nullptr) return nullptr;
  const auto index = static_cast<std::uint32_t>((v >> slot_bits) & ((1u << index_bits) - 1));
  if (owner != nullptr) *owner = stream;
  return stream->buffer(index);
}

std::unique_ptr<Stream> remove_stream(zok_stream_t handle) {
  const std::lock_guard lock(table_mutex);
  const auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
  Slot *s = live_slot(v & 0xFFFF, v >> 16);
  if (s == nullptr) return nullptr;
  s->generation.store(0, std::memory_order_release);
  Stream *stream = s->stream.exchange(nullptr, std::memory_order_acq_rel);
  s->taken.store(false, std::memory_order_relaxed);
  return std::unique_ptr<Stream>(stream);
}

}  // namespace zok
