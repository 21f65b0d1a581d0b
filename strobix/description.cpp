// The camera's description as it serves it: the XML built into the binary,
// and the same zipped, as most cameras serve theirs.
#include <cstring>

#include "camera_internal.h"

#ifdef STROBIX_HAVE_ZIP
#include <zip.h>
#endif

extern const unsigned char camera_description[];
extern const std::size_t camera_description_size;

std::span<const std::byte> description_xml() {
  return {reinterpret_cast<const std::byte *>(camera_description), camera_description_size};
}

bool zip_description(std::span<const std::byte> xml, std::vector<std::byte> &out) {
#ifdef STROBIX_HAVE_ZIP
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t *archive = zip_source_buffer_create(nullptr, 0, 0, &error);
  if (archive == nullptr) return false;
  zip_t *z = zip_open_from_source(archive, ZIP_TRUNCATE, &error);
  if (z == nullptr) {
    zip_source_free(archive);
    return false;
  }
  // Kept past zip_close, which writes the archive into it.
  zip_source_keep(archive);
  zip_source_t *file = zip_source_buffer(z, xml.data(), xml.size(), 0);
  const zip_int64_t index =
      file == nullptr ? -1 : zip_file_add(z, "strobix.xml", file, ZIP_FL_ENC_UTF_8);
  if (index < 0 && file != nullptr) zip_source_free(file);
  if (index < 0 ||
      zip_set_file_compression(z, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9) != 0 ||
      zip_close(z) != 0) {
    zip_discard(z);
    zip_source_free(archive);
    return false;
  }
  bool ok = false;
  zip_stat_t st;
  if (zip_source_stat(archive, &st) == 0 && zip_source_open(archive) == 0) {
    out.resize(static_cast<std::size_t>(st.size));
    ok = zip_source_read(archive, out.data(), st.size) == static_cast<zip_int64_t>(st.size);
    zip_source_close(archive);
  }
  zip_source_free(archive);
  return ok;
#else
  (void)xml;
  (void)out;
  return false;
#endif
}
