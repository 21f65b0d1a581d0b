// A GVCP host for the camera's tests: commands built with the codec, handed
// to an exchange (the device model in-process, or a socket) that returns the
// acknowledge's bytes (empty when none came).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "gvcp/gvcp.h"

struct GvcpHost {
  std::function<std::vector<std::byte>(std::span<const std::byte> command, std::uint16_t id,
                                       std::int64_t now_ns)>
      exchange;
  std::uint16_t req = 0;
  std::vector<std::byte> last_bytes;
  gvcp::Ack last{};  // points into last_bytes; status 0xFFFF when nothing came

  gvcp::Ack send(const std::vector<std::byte> &command, std::int64_t now_ns = 0) {
    last_bytes = exchange(command, req, now_ns);
    const auto a = gvcp::parse_ack(last_bytes);
    last = a ? a.value : gvcp::Ack{0xFFFF, 0, 0, {}};
    return last;
  }
  std::uint16_t write(std::uint32_t address, std::uint32_t value, std::int64_t now_ns = 0) {
    std::vector<std::byte> b(64);
    const gvcp::RegWrite w[] = {{address, value}};
    b.resize(gvcp::build_writereg(b, ++req, w));
    return send(b, now_ns).status;
  }
  // The register's value, or ~0 when refused (the status is then in last).
  std::uint32_t read(std::uint32_t address, std::int64_t now_ns = 0) {
    std::vector<std::byte> b(64);
    const std::uint32_t a[] = {address};
    b.resize(gvcp::build_readreg(b, ++req, a));
    const auto v = gvcp::parse_readreg_ack(send(b, now_ns), 1);
    return v && last.status == gvcp::status_success ? v.value[0] : 0xFFFFFFFF;
  }
  std::vector<std::byte> read_memory(std::uint32_t address, std::uint16_t count) {
    std::vector<std::byte> b(64);
    b.resize(gvcp::build_readmem(b, ++req, address, count));
    const auto m = gvcp::parse_readmem_ack(send(b), address, count);
    return m ? std::vector<std::byte>(m.value.data.begin(), m.value.data.end())
             : std::vector<std::byte>{};
  }
};
