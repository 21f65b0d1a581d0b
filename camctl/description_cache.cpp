#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "description_cache_internal.h"

namespace {

constexpr char magic[] = "camctl description cache 1\n";

std::uint64_t fnv1a(std::span<const std::byte> data, std::uint64_t h = 0xcbf29ce484222325ull) {
  for (std::byte b : data) h = (h ^ std::to_integer<std::uint64_t>(b)) * 0x100000001b3ull;
  return h;
}
std::uint64_t fnv1a(const std::string &s, std::uint64_t h = 0xcbf29ce484222325ull) {
  return fnv1a(std::as_bytes(std::span(s.data(), s.size())), h);
}

std::string hex(std::uint64_t v) {
  char b[17];
  std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(v));
  return b;
}

// One file per URL and camera identity; what else must match is checked
// against the file's content.
std::string path_of(const description_key &key) {
  const std::string dir = description_cache_dir();
  if (dir.empty()) return {};
  return dir + "/" + hex(fnv1a(key.device, fnv1a(key.url + '\n'))) + ".description";
}

bool ends_match(std::span<const std::byte> file, const description_key &key) {
  return file.size() == key.length && key.head.size() <= file.size() &&
         key.tail.size() <= file.size() &&
         std::equal(key.head.begin(), key.head.end(), file.begin()) &&
         std::equal(key.tail.begin(), key.tail.end(),
                    file.end() - static_cast<std::ptrdiff_t>(key.tail.size()));
}

}  // namespace

std::string description_cache_dir() {
  if (const char *x = std::getenv("XDG_CACHE_HOME"); x != nullptr && *x == '/')
    return std::string(x) + "/camctl";
  if (const char *h = std::getenv("HOME"); h != nullptr && *h == '/')
    return std::string(h) + "/.cache/camctl";
  return {};
}

std::optional<std::vector<std::byte>> cached_description(const description_key &key) {
  const std::string path = path_of(key);
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::string header, url, length, hash;
  if (!std::getline(in, header) || header + '\n' != magic || !std::getline(in, url) ||
      url != key.url || !std::getline(in, length) || !std::getline(in, hash) ||
      length != std::to_string(key.length))
    return std::nullopt;
  std::vector<std::byte> file;
  file.reserve(key.length);
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    const auto *b = reinterpret_cast<const std::byte *>(buf);
    file.insert(file.end(), b, b + in.gcount());
    if (file.size() > key.length) return std::nullopt;
  }
  // A copy cut short or damaged on disk is no copy.
  if (hex(fnv1a(file)) != hash || !ends_match(file, key)) return std::nullopt;
  return file;
}

void keep_description(const description_key &key, std::span<const std::byte> file) {
  const std::string path = path_of(key);
  if (path.empty() || !ends_match(file, key)) return;
  // Only the user's own: descriptions may name what a site keeps private.
  const std::string dir = path.substr(0, path.rfind('/'));
  const std::string parent = dir.substr(0, dir.rfind('/'));
  mkdir(parent.c_str(), 0700);
  mkdir(dir.c_str(), 0700);
  // Written aside and renamed: a reader never sees half a file.
  const std::string temporary = path + "." + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << magic << key.url << '\n' << key.length << '\n' << hex(fnv1a(file)) << '\n';
    out.write(reinterpret_cast<const char *>(file.data()),
              static_cast<std::streamsize>(file.size()));
    if (!out.flush()) {
      out.close();
      unlink(temporary.c_str());
      return;
    }
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) unlink(temporary.c_str());
}
