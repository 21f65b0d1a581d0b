// Arbitrary input as a sequence of datagrams, ticks and in-place arrivals
// into a core with small buffers (guarded so any write past one is caught),
// resend on and a short history, so every branch of the packet path runs.
//
// Input: records of [1 byte op][2 bytes length][length bytes]. op % 7:
// 0 datagram, 1 tick by length microseconds, 2 datagram into a predicted
// region, 3 requeue every finished buffer, 4 a well-formed datagram aimed at
// the block being assembled (the body picks its format, packet id and data),
// 5 the datagrams from here on come from another host (or back), 6 an
// Ethernet frame as the AF_XDP loop takes it (its headers checked, then the
// datagram, from the frame's source address; see fuzz_frame).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "lib/core_fake.h"
#include "xdp_frame_internal.h"

namespace {

using namespace zok;

constexpr std::size_t buffer_size = 700;

// A datagram naming the block being assembled, as a stray or a hostile
// sender would: body[0] picks the format, body[1..3] the packet id, the rest
// is its data (or the leader's and trailer's fields).
std::size_t aimed_datagram(std::span<std::byte> out, std::uint64_t block_id, gvsp::HeaderKind kind,
                           const std::byte *body, std::size_t len) {
  if (len < 4) return 0;
  gvsp::Header h;
  h.kind = kind;
  h.block_id = block_id;
  h.packet_id = (std::to_integer<std::uint32_t>(body[1]) << 16) |
                (std::to_integer<std::uint32_t>(body[2]) << 8) |
                std::to_integer<std::uint32_t>(body[3]);
  const gvsp::bytes data(body + 4, len - 4);
  gvsp::Leader l;
  l.payload_type = static_cast<std::uint16_t>(1 + std::to_integer<unsigned>(body[0]) % 6);
  l.payload_data_size = len * 7;
  l.pixel_format = 0x01080001;
  l.size_x = static_cast<std::uint32_t>(len);
  l.size_y = 3;
  gvsp::Trailer t;
  t.payload_type = l.payload_type;
  switch (std::to_integer<unsigned>(body[0]) >> 6) {
    case 0:
      return gvsp::build_payload(out, h, data);
    case 1:
      h.packet_id = 0;
      return gvsp::build_leader(out, h, l);
    case 2:
      return gvsp::build_trailer(out, h, t);
    default:
      h.packet_id = 0;
      return gvsp::build_all_in(out, h, l, t, data);
  }
}

// Random bytes hardly ever make an IPv4 header whose checksum holds, so
// most frames are built: a datagram in headers a sender would write, then
// spoiled as the body's first bytes say, so that the fuzzer reaches every
// refusal and, past the sums, the core. Body: [how][options][IP length
// change][UDP length change][bit to flip][payload...]; `how` bit 7 takes the
// rest of the body as the whole frame instead.
std::size_t fuzz_frame(const std::uint8_t *body, std::size_t len,
                       std::unique_ptr<std::byte[]> &out) {
  if (len == 0) return 0;
  const std::uint8_t how = body[0];
  if ((how & 0x80) != 0 || len < 5) {
    out = std::make_unique<std::byte[]>(len - 1);
    std::memcpy(out.get(), body + 1, len - 1);
    return len - 1;
  }
  const std::size_t ip_header = 20 + 4 * (body[1] % 11);
  const std::size_t payload = len - 5;
  const std::size_t n = 14 + ip_header + 8 + payload;
  out = std::make_unique<std::byte[]>(n);
  auto *f = reinterpret_cast<std::uint8_t *>(out.get());
  std::memset(f, 0, 14 + ip_header + 8);
  std::memcpy(f + 14 + ip_header + 8, body + 5, payload);
  f[12] = 0x08;
  std::uint8_t *ip = f + 14;
  std::uint8_t *u = ip + ip_header;
  // Lengths as the frame says, changed by -128..127 where the body asks.
  const std::size_t ip_total =
      (ip_header + 8 + payload + static_cast<std::int8_t>(body[2])) & 0xFFFF;
  const std::size_t udp_length = (8 + payload + static_cast<std::int8_t>(body[3])) & 0xFFFF;
  ip[0] = static_cast<std::uint8_t>((how & 8) != 0 ? 0x40 | (body[1] >> 4) : 0x40 | ip_header / 4);
  ip[2] = static_cast<std::uint8_t>(ip_total >> 8);
  ip[3] = static_cast<std::uint8_t>(ip_total);
  ip[6] = (how & 16) != 0 ? 0x20 : 0x40;  // more fragments, or don't fragment
  ip[8] = 64;
  ip[9] = (how & 32) != 0 ? 6 : 17;
  ip[12] = 10, ip[15] = 2, ip[16] = 10, ip[19] = 1;
  u[4] = static_cast<std::uint8_t>(udp_length >> 8);
  u[5] = static_cast<std::uint8_t>(udp_length);
  if ((how & 1) != 0) {
    const auto sum = static_cast<std::uint16_t>(~ones_fold(ones_sum(ip, ip_header)));
    std::memcpy(ip + 10, &sum, 2);
  }
  // A UDP sum over the length the header claims, where that stays inside.
  if ((how & 2) != 0 && udp_length <= n - 14 - ip_header) {
    const std::uint8_t pseudo[12] = {ip[12], ip[13], ip[14], ip[15], ip[16], ip[17],
                                     ip[18], ip[19], 0,      ip[9],  u[4],   u[5]};
    auto sum = static_cast<std::uint16_t>(
        ~ones_fold(ones_sum(u, udp_length, ones_sum(pseudo, sizeof pseudo))));
    if (sum == 0) sum = 0xFFFF;
    std::memcpy(u + 6, &sum, 2);
  }
  if ((how & 4) != 0) f[body[4] % n] ^= static_cast<std::uint8_t>(1u << (body[4] % 8));
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Counters counters;
  testlib::FakeShell shell;
  // No guard area: a write past a buffer is the sanitizer's to see.
  shell.add_buffers(3, buffer_size, 0);
  CoreConfig config;
  config.resend = true;
  config.num_retries = 2;
  config.booo = 1 + (size % 4);
  config.kind = (size & 4) != 0 ? gvsp::HeaderKind::extended : gvsp::HeaderKind::standard;
  Reassembly core(config, counters, shell);
  core.arm_drop(1, 2);
  Nanos now = 0;
  std::uint32_t source = 0x0100007F;
  std::uint64_t last_block = 1;
  std::vector<std::byte> aimed(70000);
  std::size_t at = 0;
  while (at + 3 <= size) {
    const std::uint8_t op = data[at] % 7;
    const std::size_t len =
        std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
    const auto *body = reinterpret_cast<const std::byte *>(data + at + 3);
    at += 3 + len;
    switch (op) {
      case 0:
        if (const auto h = gvsp::parse_header(gvsp::bytes(body, len)))
          last_block = h.value.block_id;
        core.on_packet(gvsp::bytes(body, len), Arrival{now, 0, source});
        break;
      case 1:
        now += static_cast<Nanos>(len) * 1000 + 1;
        core.on_tick(now);
        break;
      case 2: {
        // What the socket loop does with a predicted region: the kernel
        // writes at most its length there, the core is told the length.
        std::array<Prediction, 4> p;
        if (core.predict(p) == 0) break;
        const std::size_t n = std::min<std::size_t>(len, p[0].length);
        std::memcpy(p[0].dest, body, n);
        core.on_placed(p[0], static_cast<std::uint32_t>(len), Arrival{now, 0, source});
        break;
      }
      case 3:
        shell.give_back();
        break;
      case 4: {
        std::array<Prediction, 1> p;
        const std::uint64_t target = core.predict(p) != 0 ? p[0].block_id : last_block;
        const std::size_t n = aimed_datagram(aimed, target, config.kind, body, len);
        if (n != 0) core.on_packet(gvsp::bytes(aimed.data(), n), Arrival{now, 0, source});
        break;
      }
      case 5:
        source ^= 0x03000000;
        break;
      case 6: {
        // A frame of exactly its length, so a read past it is caught.
        std::unique_ptr<std::byte[]> frame;
        const std::size_t n = fuzz_frame(reinterpret_cast<const std::uint8_t *>(body), len, frame);
        FrameDatagram d;
        if (!parse_frame(gvsp::bytes(frame.get(), n), d)) {
          core.refuse();
          break;
        }
        if (d.payload.data() < frame.get() ||
            d.payload.data() + d.payload.size() > frame.get() + n) {
          __builtin_trap();
        }
        core.on_packet(d.payload, Arrival{now, 0, d.source});
        break;
      }
    }
  }
  core.abandon_all(now);
  return 0;
}
