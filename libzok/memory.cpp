#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "memory_internal.h"

namespace zok {
namespace {

// The kernel's copy of each datagram into a block buffer is most of the
// receive path's cost, and with 4 KiB pages a 9000-byte datagram crosses
// three of them: memory of a huge page or more gets huge pages where the
// kernel offers them, which needs the mapping aligned to one. Trimmed to
// exactly `bytes`, so munmap(memory, bytes) still frees it all.
void *map_aligned(std::size_t bytes) noexcept {
  constexpr std::size_t huge = std::size_t{2} << 20;
  const int prot = PROT_READ | PROT_WRITE;
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (bytes >= huge) {
    void *raw = mmap(nullptr, bytes + huge, prot, flags, -1, 0);
    if (raw != MAP_FAILED) {
      const auto base = reinterpret_cast<std::uintptr_t>(raw);
      const std::uintptr_t aligned = (base + huge - 1) & ~(std::uintptr_t{huge} - 1);
      if (aligned != base) munmap(raw, aligned - base);
      const std::size_t tail = base + bytes + huge - (aligned + bytes);
      if (tail != 0) munmap(reinterpret_cast<void *>(aligned + bytes), tail);
      void *memory = reinterpret_cast<void *>(aligned);
      // Advice only: without huge pages the memory works the same.
      madvise(memory, bytes, MADV_HUGEPAGE);
      return memory;
    }
  }
  void *memory = mmap(nullptr, bytes, prot, flags, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

}  // namespace

void *map_filled(std::size_t bytes) noexcept {
  void *memory = map_aligned(bytes);
  if (memory == nullptr) return nullptr;
  // The kernel fills the pages in one call where it can: a page fault per
  // page costs seconds for a large pool on a virtual machine, and the
  // stream's socket may already be taking datagrams while the program sets
  // up.
  if (madvise(memory, bytes, MADV_POPULATE_WRITE) != 0) std::memset(memory, 0, bytes);
  touch_pages(memory, bytes);
  return memory;
}

// Filled is not yet reachable at full speed: under a hypervisor that
// shadows the guest's page tables, this process's first access to each
// small page still exits to it (about 6 us a page on the machines we test
// on: a fifth of a second per 128 MiB). Paid in the receive loop, it held a
// receiver that far behind its stream in the first pass over its frames and
// buffers, and its resend requests came after the sender had forgotten the
// blocks. One read a page pays it here; later writes go at full speed too.
void touch_pages(const void *memory, std::size_t bytes) noexcept {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const auto *p = static_cast<const volatile std::byte *>(memory);
  for (std::size_t at = 0; at < bytes; at += page) static_cast<void>(p[at]);
}

}  // namespace zok
