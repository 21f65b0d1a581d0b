// Feeds arbitrary datagrams to every acknowledge and command parser, the way
// a hostile or broken device would; and commands built from arbitrary fields
// must parse back to what was asked. The sanitizers watch every read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "gvcp/gvcp.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

volatile std::size_t sink;

void touch(std::string_view s) {
  for (char c : s) sink = sink + static_cast<unsigned char>(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const gvcp::bytes raw(reinterpret_cast<const std::byte *>(data), size);
  if (const auto a = gvcp::parse_ack(raw)) {
    check(a.value.payload.size() <= size - gvcp::header_size);
    if (const auto d = gvcp::parse_discovery_ack(a.value)) {
      touch(d.value.manufacturer);
      touch(d.value.model);
      touch(d.value.serial);
      touch(d.value.user_name);
      touch(d.value.manufacturer_info);
      touch(d.value.device_version);
    }
    if (const auto v = gvcp::parse_readreg_ack(a.value, a.value.ack_id % 136)) {
      for (std::size_t i = 0; i < v.value.count(); ++i) sink = v.value[i];
    }
    if (const auto m = gvcp::parse_readmem_ack(a.value, 0, a.value.ack_id % 540)) {
      for (std::byte b : m.value.data) sink = std::to_integer<std::size_t>(b);
    }
    sink = gvcp::parse_write_ack(a.value).value + gvcp::parse_pending_ack(a.value).value;
  }
  if (const auto c = gvcp::parse_command(raw)) {
    check(c.value.payload.size() <= size);
    // The device's side: whatever it accepts stays inside the datagram and
    // within the protocol's counts.
    if (const auto r = gvcp::parse_readreg_command(c.value)) {
      check(r.value.count() >= 1 && r.value.count() <= gvcp::max_readreg_count);
      for (std::size_t i = 0; i < r.value.count(); ++i) check(r.value[i] % 4 == 0);
    }
    if (const auto w = gvcp::parse_writereg_command(c.value)) {
      check(w.value.count() >= 1 && w.value.count() <= gvcp::max_writereg_count);
      for (std::size_t i = 0; i < w.value.count(); ++i)
        sink = w.value[i].value + w.value[i].address;
    }
    if (const auto m = gvcp::parse_readmem_command(c.value))
      check(m.value.count % 4 == 0 && m.value.count <= gvcp::max_mem_bytes);
    if (const auto m = gvcp::parse_writemem_command(c.value)) {
      check(m.value.data.size() % 4 == 0 && !m.value.data.empty());
      for (std::byte b : m.value.data) sink = std::to_integer<std::size_t>(b);
    }
  }

  FuzzedDataProvider in(data, size);
  const auto req_id = in.ConsumeIntegral<std::uint16_t>();
  std::vector<std::uint32_t> addresses(in.ConsumeIntegralInRange<std::size_t>(0, 140));
  for (auto &a : addresses) a = in.ConsumeIntegral<std::uint32_t>() & ~3u;
  std::vector<std::byte> out(in.ConsumeIntegralInRange<std::size_t>(0, 700));
  const std::size_t n = gvcp::build_readreg(out, req_id, addresses);
  check(n <= out.size());
  if (n != 0) {
    const auto c = gvcp::parse_command(gvcp::bytes(out).first(n));
    check(c && c.value.req_id == req_id && c.value.req_id != 0 &&
          c.value.payload.size() == 4 * addresses.size());
  }
  const auto count = in.ConsumeIntegral<std::uint16_t>();
  const std::size_t m =
      gvcp::build_readmem(out, req_id, addresses.empty() ? 0 : addresses[0], count);
  check(m <= out.size() && (m == 0 || (count % 4 == 0 && count <= gvcp::max_mem_bytes)));
  return 0;
}
