// Stream handles and buffer descriptors are numbers, not pointers: a slot
// index plus the generation of the stream that held the slot. A stale,
// foreign or made-up value fails the generation check and gets EINVAL
// instead of being dereferenced.
#pragma once

#include <zok/zok.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "counters_internal.h"

namespace zok {

class Stream;
struct Buffer;

inline constexpr std::size_t max_streams = 64;

struct StreamId {
  std::uint32_t slot = 0;
  std::uint32_t generation = 0;
};

// Installs an open stream in the slot reserve_slot took for it.
void install_stream(std::unique_ptr<Stream> stream, StreamId id);
// Reserves a slot for a stream about to open; its counters are cleared.
bool reserve_slot(StreamId &id);
void release_slot(StreamId id);
Counters &slot_counters(std::uint32_t slot);

zok_stream_t stream_handle(StreamId id);
zok_buffer_t buffer_descriptor(StreamId id, std::uint32_t index);

// Null for anything that is not a live stream's handle.
Stream *find_stream(zok_stream_t handle);
// The counters of a live stream. Kept outside the stream object, so a
// report running on another thread while the stream closes reads stale
// numbers rather than freed memory.
Counters *find_counters(zok_stream_t handle);
Buffer *find_buffer(zok_buffer_t descriptor, Stream **owner = nullptr);
// Takes the stream out of the table; its handle and descriptors go stale.
std::unique_ptr<Stream> remove_stream(zok_stream_t handle);

}  // namespace zok
