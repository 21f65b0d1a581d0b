// Device descriptions kept on this host, so that a command does not download
// a megabyte from the camera each time. A kept file is used only when the
// camera's URL, identity and the bytes at both ends of its file are those it
// was kept with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct description_key {
  std::string url;
  std::string device;  // manufacturer, model and device version
  std::uint64_t length = 0;
  // The file's first bytes (for an XML file, up to the end of the
  // RegisterDescription tag with its schema and version fields; for a zip,
  // its first entry's header with the CRC) and its last ones.
  std::vector<std::byte> head, tail;
};

// $XDG_CACHE_HOME/camctl, else $HOME/.cache/camctl; empty when neither is set.
std::string description_cache_dir();
std::optional<std::vector<std::byte>> cached_description(const description_key &key);
// Failing to keep it costs the next command a download, nothing more.
void keep_description(const description_key &key, std::span<const std::byte> file);
