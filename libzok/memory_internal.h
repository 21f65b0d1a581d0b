// Memory the receive loop reads and writes at packet rate: set up whole
// before the stream, so that no first touch of a page lands in the loop.
#pragma once

#include <cstddef>

namespace zok {

// `bytes` (whole pages) of private memory, filled and touched; from 2 MiB
// on aligned to 2 MiB with huge pages advised. nullptr when it cannot be
// mapped; munmap(memory, bytes) frees it all.
void *map_filled(std::size_t bytes) noexcept;

// Reads a byte of every page of memory already filled (by the kernel, or by
// map_filled).
void touch_pages(const void *memory, std::size_t bytes) noexcept;

}  // namespace zok
