#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "camctl_error_internal.h"
#include "client_internal.h"
#include "description_cache_internal.h"
#include "texts_internal.h"

namespace {

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string status_text(std::uint16_t status) {
  const std::string_view name = gvcp::status_name(status);
  char code[16];
  std::snprintf(code, sizeof code, "0x%04X", status);
  return name.empty() ? std::string("status ") + code : std::string(name) + " (" + code + ")";
}

void set_id(std::span<std::byte> datagram, std::uint16_t id) {
  datagram[6] = std::byte(id >> 8);
  datagram[7] = std::byte(id & 0xFF);
}

}  // namespace

void open_client(gvcp_client &c, const sockaddr_in &device, const client_options &opts,
                 const std::string &name) {
  c.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (c.fd < 0) throw camctl_error(exit_failure, std::string("socket: ") + std::strerror(errno));
  c.device = device;
  c.opts = opts;
  c.name = name;
  // Start the ids somewhere else on each run, so that a late answer to a
  // previous run's command is not taken for one of ours.
  c.next_id = static_cast<std::uint16_t>((getpid() * 7919u) % 0xFFFF + 1);
}

gvcp_client::~gvcp_client() {
  if (fd >= 0) close(fd);
}

void close_client(gvcp_client &c) {
  if (c.fd >= 0) close(c.fd);
  c.fd = -1;
}

gvcp::Ack transact_bytes(gvcp_client &c, std::uint16_t command, std::vector<std::byte> &buffer,
                         std::span<const std::byte> datagram) {
  const std::uint16_t id = c.next_id;
  // Ids wrap 65535 -> 1: 0 is not a request id.
  c.next_id = static_cast<std::uint16_t>(c.next_id == 0xFFFF ? 1 : c.next_id + 1);
  std::vector<std::byte> out(datagram.begin(), datagram.end());
  set_id(out, id);
  const std::uint16_t want = gvcp::ack_for(command);
  buffer.resize(2048);
  for (int attempt = 0; attempt <= c.opts.retries; ++attempt) {
    if (sendto(c.fd, out.data(), out.size(), 0, reinterpret_cast<const sockaddr *>(&c.device),
               sizeof c.device) < 0) {
      if (errno == EINTR) continue;
      throw camctl_error(exit_failure, c.name + ": cannot send: " + std::strerror(errno));
    }
    std::int64_t deadline = now_ms() + c.opts.timeout_ms;
    for (;;) {
      const std::int64_t left = deadline - now_ms();
      if (left <= 0) break;
      pollfd p{c.fd, POLLIN, 0};
      const int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno != EINTR)
        throw camctl_error(exit_failure, std::string("poll: ") + std::strerror(errno));
      if (r <= 0) continue;
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const ssize_t n = recvfrom(c.fd, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr *>(&from), &from_len);
      if (n < 0) continue;
      if (from.sin_addr.s_addr != c.device.sin_addr.s_addr || from.sin_port != c.device.sin_port)
        continue;
      const auto a = gvcp::parse_ack(std::span(buffer).first(static_cast<std::size_t>(n)));
      if (!a || a.value.ack_id != id) continue;
      if (a.value.ack == gvcp::ack_pending) {
        if (const auto wait = gvcp::parse_pending_ack(a.value))
          deadline = now_ms() + wait.value + c.opts.timeout_ms;
        continue;
      }
      if (a.value.ack != want) continue;
      if (a.value.status == gvcp::status_access_denied)
        throw camctl_error(exit_access_denied, c.name + ": " + text_access_denied);
      if (a.value.status != gvcp::status_success)
        throw camctl_error(exit_failure, c.name + ": the camera refused the command: " +
                                             status_text(a.value.status));
      return a.value;
    }
  }
  throw camctl_error(exit_no_answer, c.name + ": " + text_no_answer);
}

std::vector<std::uint32_t> read_registers(gvcp_client &c,
                                          std::span<const std::uint32_t> addresses) {
  std::vector<std::byte> cmd(gvcp::max_datagram), buffer;
  // The id is set by transact_bytes; 1 only satisfies the builder.
  const std::size_t n = gvcp::build_readreg(cmd, 1, addresses);
  if (n == 0) throw camctl_error(exit_usage_error, text_bad_register_address);
  const gvcp::Ack a = transact_bytes(c, gvcp::cmd_readreg, buffer, std::span(cmd).first(n));
  const auto v = gvcp::parse_readreg_ack(a, addresses.size());
  if (!v)
    throw camctl_error(exit_failure, c.name + ": malformed answer to a register read (" +
                                         std::string(gvcp::error_name(v.error)) + ")");
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < addresses.size(); ++i) out.push_back(v.value[i]);
  return out;
}

std::uint32_t read_register(gvcp_client &c, std::uint32_t address) {
  return read_registers(c, std::span(&address, 1))[0];
}

void write_register(gvcp_client &c, std::uint32_t address, std::uint32_t value) {
  std::vector<std::byte> cmd(gvcp::max_datagram), buffer;
  const gvcp::RegWrite w{address, value};
  const std::size_t n = gvcp::build_writereg(cmd, 1, std::span(&w, 1));
  if (n == 0) throw camctl_error(exit_usage_error, text_bad_register_address);
  const gvcp::Ack a = transact_bytes(c, gvcp::cmd_writereg, buffer, std::span(cmd).first(n));
  const auto done = gvcp::parse_write_ack(a);
  if (!done || done.value != 1)
    throw camctl_error(exit_failure, c.name + ": the camera did not confirm a register write");
}

// READMEM and WRITEMEM take 4-byte aligned addresses and counts: a request
// off that grid is widened to it (reads) or read, patched and written back.
void read_memory(gvcp_client &c, std::uint64_t address, std::span<std::byte> out) {
  const std::uint64_t start = address & ~std::uint64_t{3};
  const std::uint64_t end = (address + out.size() + 3) & ~std::uint64_t{3};
  if (end > 0x100000000ull) throw camctl_error(exit_failure, text_address_range);
  std::vector<std::byte> cmd(gvcp::max_datagram), buffer;
  for (std::uint64_t at = start; at < end;) {
    const auto count =
        static_cast<std::uint16_t>(std::min<std::uint64_t>(end - at, gvcp::max_mem_bytes));
    const std::size_t n = gvcp::build_readmem(cmd, 1, static_cast<std::uint32_t>(at), count);
    const gvcp::Ack a = transact_bytes(c, gvcp::cmd_readmem, buffer, std::span(cmd).first(n));
    const auto m = gvcp::parse_readmem_ack(a, static_cast<std::uint32_t>(at), count);
    if (!m)
      throw camctl_error(exit_failure, c.name + ": malformed answer to a memory read (" +
                                           std::string(gvcp::error_name(m.error)) + ")");
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t a_i = at + i;
      if (a_i >= address && a_i < address + out.size()) out[a_i - address] = m.value.data[i];
    }
    at += count;
  }
}

void write_memory(gvcp_client &c, std::uint64_t address, std::span<const std::byte> data) {
  const std::uint64_t start = address & ~std::uint64_t{3};
  const std::uint64_t end = (address + data.size() + 3) & ~std::uint64_t{3};
  if (end > 0x100000000ull) throw camctl_error(exit_failure, text_address_range);
  std::vector<std::byte> whole(end - start);
  if (start != address || end != address + data.size()) read_memory(c, start, whole);
  std::copy(data.begin(), data.end(), whole.begin() + static_cast<std::ptrdiff_t>(address - start));
  if (whole.size() == 4) {
    const std::uint32_t v = (std::to_integer<std::uint32_t>(whole[0]) << 24) |
                            (std::to_integer<std::uint32_t>(whole[1]) << 16) |
                            (std::to_integer<std::uint32_t>(whole[2]) << 8) |
                            std::to_integer<std::uint32_t>(whole[3]);
    return write_register(c, static_cast<std::uint32_t>(start), v);
  }
  std::vector<std::byte> cmd(gvcp::max_datagram), buffer;
  for (std::size_t off = 0; off < whole.size();) {
    const std::size_t count = std::min<std::size_t>(whole.size() - off, gvcp::max_mem_bytes);
    const std::size_t n = gvcp::build_writemem(cmd, 1, static_cast<std::uint32_t>(start + off),
                                               std::span(whole).subspan(off, count));
    const gvcp::Ack a = transact_bytes(c, gvcp::cmd_writemem, buffer, std::span(cmd).first(n));
    if (!gvcp::parse_write_ack(a))
      throw camctl_error(exit_failure, c.name + ": the camera did not confirm a memory write");
    off += count;
  }
}

namespace {

// The camera answered, refusing: gone or held by another is the command's
// end, refused is the feature's.
template <typename F>
void for_a_feature(F &&exchange) {
  try {
    exchange();
  } catch (const camctl_error &e) {
    if (e.status != exit_failure) throw;
    throw description_error(e.what());
  }
}

void put_word(std::span<std::byte> out, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) out[i] = std::byte(v >> (24 - 8 * i));
}

}  // namespace

void device_port::read(std::uint64_t address, std::span<std::byte> out) {
  for_a_feature([&] {
    if (out.size() == 4 && address % 4 == 0 && address < 0x100000000ull)
      return put_word(out, read_register(c, static_cast<std::uint32_t>(address)));
    read_memory(c, address, out);
  });
}

void device_port::write(std::uint64_t address, std::span<const std::byte> data) {
  for_a_feature([&] { write_memory(c, address, data); });
}

bool device_port::reads_words_together() const {
  if (concatenation < 0) {
    concatenation = 0;
    try {
      concatenation =
          (read_register(c, gvcp::reg_gvcp_capability) & gvcp::gvcp_cap_concatenation) != 0;
    } catch (const camctl_error &e) {
      if (e.status != exit_failure) throw;
    }
  }
  return concatenation == 1;
}

void device_port::read_words(std::span<const std::uint64_t> addresses, std::span<std::byte> out) {
  for_a_feature([&] {
    for (const std::uint64_t a : addresses)
      if (a >= 0x100000000ull) throw camctl_error(exit_failure, text_address_range);
    std::vector<std::uint32_t> batch;
    for (std::size_t i = 0; i < addresses.size(); i += batch.size()) {
      batch.clear();
      for (std::size_t k = i; k < addresses.size() && batch.size() < gvcp::max_readreg_count; ++k)
        batch.push_back(static_cast<std::uint32_t>(addresses[k]));
      const std::vector<std::uint32_t> values = read_registers(c, batch);
      for (std::size_t k = 0; k < values.size(); ++k)
        put_word(out.subspan(4 * (i + k), 4), values[k]);
    }
  });
}

namespace {

std::string read_url(gvcp_client &c, std::uint32_t reg) {
  std::vector<std::byte> url_bytes(gvcp::url_size);
  read_memory(c, reg, url_bytes);
  std::string url;
  for (std::byte b : url_bytes) {
    if (b == std::byte{0}) break;
    url.push_back(static_cast<char>(b));
  }
  return url;
}

bool zip_name(const std::string &n) {
  return n.size() >= 4 &&
         (n.compare(n.size() - 4, 4, ".zip") == 0 || n.compare(n.size() - 4, 4, ".ZIP") == 0);
}

std::string as_xml(std::vector<std::byte> file, const std::string &name) {
  if (zip_name(name)) return unzip_description(file);
  std::string xml(reinterpret_cast<const char *>(file.data()), file.size());
  // Devices pad the file to their memory's word size with NULs.
  while (!xml.empty() && xml.back() == '\0') xml.pop_back();
  return xml;
}

// "File:" names a description on this host ("File:///path" or "File:path").
bool read_host_file(const std::string &url, std::string &xml) {
  if (url.size() < 5 || strncasecmp(url.c_str(), "file:", 5) != 0) return false;
  std::string path = url.substr(5);
  if (path.compare(0, 2, "//") == 0) path = path.substr(2);
  const std::size_t query = path.find_first_of(";?");
  if (query != std::string::npos) path = path.substr(0, query);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw camctl_error(exit_failure, text_url_file_missing + path);
  std::vector<std::byte> file;
  char b;
  while (in.get(b) && file.size() < 64u * 1024 * 1024) file.push_back(std::byte(b));
  xml = as_xml(std::move(file), path);
  return true;
}

}  // namespace

namespace {

// The camera's identity and the file's two ends: a few commands where the
// whole file may be a thousand.
description_key key_of(gvcp_client &c, const std::string &url, const local_url &where) {
  description_key key{url, {}, where.length, {}, {}};
  std::vector<std::byte> identity(gvcp::reg_device_version + 32 - gvcp::reg_manufacturer_name);
  read_memory(c, gvcp::reg_manufacturer_name, identity);
  for (std::byte b : identity)
    key.device.push_back(b == std::byte{0} ? '\n' : static_cast<char>(b));
  // An XML file's version fields sit in its RegisterDescription tag, after
  // whatever comment the maker put first; a zip's first header holds the
  // CRC of what it packs.
  const std::string_view tag = "<RegisterDescription";
  for (std::uint64_t at = 0; at < where.length && at < 16 * gvcp::max_mem_bytes;) {
    const std::size_t n = std::min<std::uint64_t>(gvcp::max_mem_bytes, where.length - at);
    key.head.resize(at + n);
    read_memory(c, where.address + at, std::span(key.head).subspan(at, n));
    at += n;
    const std::string_view text(reinterpret_cast<const char *>(key.head.data()), key.head.size());
    const std::size_t start = text.find(tag);
    if (zip_name(where.file_name) || (start != std::string_view::npos &&
                                      text.find('>', start + tag.size()) != std::string_view::npos))
      break;
  }
  const std::size_t n = std::min<std::uint64_t>(gvcp::max_mem_bytes, where.length);
  key.tail.resize(n);
  read_memory(c, where.address + where.length - n, key.tail);
  return key;
}

}  // namespace

std::string fetch_description(gvcp_client &c) {
  // The second URL is where a device keeps an alternative: used when the
  // first names nothing camctl can read.
  std::string first;
  for (const std::uint32_t reg : {gvcp::reg_first_url, gvcp::reg_second_url}) {
    const std::string url = read_url(c, reg);
    if (reg == gvcp::reg_first_url) first = url;
    std::string xml;
    if (read_host_file(url, xml)) return xml;
    local_url where;
    // A description is at most a few megabytes; a larger length is a broken URL.
    if (!parse_local_url(url, where) || where.length > 64u * 1024 * 1024 ||
        where.address + where.length > 0x100000000ull)
      continue;
    description_key key;
    if (c.opts.description_cache) {
      key = key_of(c, url, where);
      if (auto kept = cached_description(key)) return as_xml(std::move(*kept), where.file_name);
    }
    std::vector<std::byte> file(where.length);
    read_memory(c, where.address, file);
    if (c.opts.description_cache) keep_description(key, file);
    return as_xml(std::move(file), where.file_name);
  }
  throw camctl_error(exit_failure, c.name + ": " + text_url_not_local + first);
}
