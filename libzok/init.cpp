#include <atomic>
#include <cerrno>
#include <cstdint>

#include <zok/zok.h>

#include "export_internal.h"
#include "init_internal.h"

namespace zok {
namespace {
std::atomic<bool> initialized{false};
}  // namespace

bool library_initialized() noexcept { return initialized.load(std::memory_order_acquire); }

}  // namespace zok

ZOK_EXPORT int zok_init(uint32_t interface_version) {
  if (interface_version != ZOK_INTERFACE_VERSION) return EPROTONOSUPPORT;
  // Calling it again is harmless: there is nothing to set up twice.
  zok::initialized.store(true, std::memory_order_release);
  return 0;
}
