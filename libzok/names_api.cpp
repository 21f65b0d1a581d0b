// zok_get_name, zok_set_name, zok_reset_name, zok_reset_all_name.
#include <zok/zok.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "adapters_host_internal.h"
#include "adapters_id_internal.h"
#include "export_internal.h"
#include "init_internal.h"
#include "names_format_internal.h"
#include "names_store_internal.h"

namespace {

using zok::adapters::Adapter;

// Parses and resolves an identifier text against the adapters present now.
// A name can only be set or reset for an adapter that is here, but entries
// of absent adapters (a card taken out) stay in the file for their return.
int resolve(const char *text, Adapter &adapter) {
  if (text == nullptr) return EINVAL;
  const auto id = zok::adapters::parse_identifier(text);
  if (!id) return EINVAL;
  std::vector<Adapter> adapters;
  if (const int error = zok::adapters::list_host_adapters(adapters); error != 0) return error;
  return zok::adapters::find_adapter(adapters, *id, adapter);
}

// No exception may cross the C boundary; the only one these paths can
// raise is an allocation failure.
template <typename Operation>
int guarded(Operation operation) noexcept {
  if (!zok::library_initialized()) return EPERM;
  try {
    return operation();
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
}

}  // namespace

ZOK_EXPORT int zok_get_name(const char *adapter_text, char **name) {
  return guarded([&] {
    if (name == nullptr) return EINVAL;
    Adapter adapter;
    if (const int error = resolve(adapter_text, adapter); error != 0) return error;
    zok::names::NameTable names;
    const int error = zok::names::read_names(zok::names::state_directory(), names);
    if (error != 0) return error;
    const auto stored = names.find(adapter.mac);
    const std::string &current = stored != names.end() ? stored->second : adapter.interface_name;
    // malloc, not new: the caller releases it with free.
    char *copy = static_cast<char *>(std::malloc(current.size() + 1));
    if (copy == nullptr) return ENOMEM;
    std::memcpy(copy, current.c_str(), current.size() + 1);
    *name = copy;
    return 0;
  });
}

ZOK_EXPORT int zok_set_name(const char *adapter_text, const char *name) {
  return guarded([&] {
    // Checked before the adapter is looked up: a bad name is EINVAL even
    // for an adapter that is not here.
    if (name == nullptr || !zok::names::name_valid(name)) return EINVAL;
    Adapter adapter;
    if (const int error = resolve(adapter_text, adapter); error != 0) return error;
    return zok::names::update_names(zok::names::state_directory(),
                                    [&](zok::names::NameTable &names) {
                                      names.insert_or_assign(adapter.mac, std::string(name));
                                    });
  });
}

ZOK_EXPORT int zok_reset_name(const char *adapter_text) {
  return guarded([&] {
    Adapter adapter;
    if (const int error = resolve(adapter_text, adapter); error != 0) return error;
    return zok::names::update_names(
        zok::names::state_directory(),
        [&](zok::names::NameTable &names) { names.erase(adapter.mac); });
  });
}

ZOK_EXPORT int zok_reset_all_name(void) {
  return guarded([] {
    return zok::names::update_names(zok::names::state_directory(),
                                    [](zok::names::NameTable &names) { names.clear(); });
  });
}
