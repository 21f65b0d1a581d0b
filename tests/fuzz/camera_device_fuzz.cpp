// Arbitrary datagrams, from two hosts in turn, at the camera's device model:
// nothing it answers may exceed a datagram or fail to parse as an
// acknowledge of the command it answers, and the model's own rules (one
// owner, a destination before streaming) hold after every command.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "camera_internal.h"
#include "device_internal.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const std::span<const std::byte> xml = description_xml();
  device d;
  d.xml = xml;
  set_description(d);
  std::vector<std::byte> out(gvcp::max_datagram + 16);
  // Commands are separated by a 0xFF byte; each comes from one of two hosts.
  std::size_t start = 0;
  std::int64_t now = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0xFF) continue;
    const gvcp::bytes command(reinterpret_cast<const std::byte *>(data + start), i - start);
    const host from{0x0A000001, static_cast<std::uint16_t>(50000 + (start & 1))};
    now += 100000000;
    const command_answer a = handle_command(d, command, from, now, out);
    check(a.ack_bytes <= gvcp::max_datagram);
    if (a.ack_bytes != 0) {
      const auto ack = gvcp::parse_ack(gvcp::bytes(out).first(a.ack_bytes));
      const auto cmd = gvcp::parse_command(command);
      check(ack && cmd && ack.value.ack_id == cmd.value.req_id);
    }
    check(d.state == acquisition::idle || d.state == acquisition::stopping || destination_set(d));
    settle_stop(d);
    check(d.state == acquisition::idle || destination_set(d));
    heartbeat_lapsed(d, now);
    start = i + 1;
  }
  return 0;
}
