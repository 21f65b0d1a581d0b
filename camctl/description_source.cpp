#include <zip.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "description_internal.h"

bool parse_local_url(std::string_view url, local_url &out) {
  // Case differs between devices ("Local:", "local:").
  if (url.size() < 6) return false;
  std::string scheme(url.substr(0, 6));
  for (char &c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "local:") return false;
  const std::string rest(url.substr(6));
  const std::size_t a = rest.find(';');
  if (a == std::string::npos || a == 0) return false;
  const std::size_t b = rest.find(';', a + 1);
  if (b == std::string::npos) return false;
  // Some devices add a schema version after the length: take the field up
  // to the next ';' or '?'.
  std::size_t e = rest.find_first_of(";?", b + 1);
  if (e == std::string::npos) e = rest.size();
  const std::string addr = rest.substr(a + 1, b - a - 1), len = rest.substr(b + 1, e - b - 1);
  const auto hex = [](const std::string &s, std::uint64_t &v) {
    if (s.empty() || s.size() > 16) return false;
    for (char c : s)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = std::strtoull(s.c_str(), nullptr, 16);
    return true;
  };
  out.file_name = rest.substr(0, a);
  return hex(addr, out.address) && hex(len, out.length) && out.length > 0;
}

std::string unzip_description(std::span<const std::byte> zip) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t *src = zip_source_buffer_create(zip.data(), zip.size(), 0, &error);
  if (src == nullptr) {
    zip_error_fini(&error);
    throw description_error("cannot read the zipped device description");
  }
  zip_t *archive = zip_open_from_source(src, ZIP_RDONLY, &error);
  if (archive == nullptr) {
    zip_source_free(src);
    const std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw description_error("the zipped device description is not a valid archive: " + why);
  }
  zip_error_fini(&error);
  std::string xml;
  std::string failure = "the zipped device description holds no .xml file";
  const zip_int64_t entries = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < entries; ++i) {
    zip_stat_t st;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) != 0) continue;
    const std::string name = st.name != nullptr ? st.name : "";
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".xml") != 0) continue;
    // A description is a few megabytes at most; a larger size claimed is a
    // broken or hostile archive, not a description.
    if ((st.valid & ZIP_STAT_SIZE) == 0 || st.size > 64u * 1024 * 1024) {
      failure = "the zipped device description is implausibly large";
      break;
    }
    zip_file_t *f = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    if (f == nullptr) {
      failure = std::string("cannot unpack the device description: ") + zip_strerror(archive);
      break;
    }
    xml.resize(st.size);
    const zip_int64_t n = zip_fread(f, xml.data(), st.size);
    zip_fclose(f);
    if (n < 0 || static_cast<zip_uint64_t>(n) != st.size) {
      failure = "the zipped device description is damaged";
      xml.clear();
      break;
    }
    failure.clear();
    break;
  }
  zip_close(archive);
  if (!failure.empty()) throw description_error(failure);
  return xml;
}
