// Camera mode: answering GVCP, and streaming while the registers say so. The
// device model (device.cpp) decides; this file does the I/O it asks for and
// sends the frames through the same stream code as the plain sender.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "camera_internal.h"
#include "exit_status_internal.h"
#include "texts_internal.h"

namespace {

constexpr std::int64_t ns_per_ms = 1000000;
// The test image is made in slices of this many bytes, between which a
// PENDING_ACK is renewed when the one before runs out.
constexpr std::uint64_t image_slice_bytes = 1 << 20;
// Images smaller than this are made well within any client's patience.
constexpr std::uint64_t pending_threshold_bytes = 4 << 20;
constexpr std::uint16_t pending_promise_ms = 250;
// Longest idle wait: the heartbeat and -T are looked at at least this often.
constexpr std::int64_t idle_check_ns = 50 * ns_per_ms;

std::string ip_text(std::uint32_t ip_host_order) {
  char s[INET_ADDRSTRLEN];
  const in_addr a{htonl(ip_host_order)};
  inet_ntop(AF_INET, &a, s, sizeof s);
  return s;
}

// The interface holding addr: its mask, MAC and broadcast address. A
// loopback address has no MAC; a locally administered one made from the
// address stands in, so that every camera still has one of its own.
void find_interface(in_addr addr, device_identity &id, in_addr &broadcast) {
  const std::uint32_t ip = ntohl(addr.s_addr);
  id.ip = ip;
  id.mask = 0xFF000000;
  id.mac = {0x02,
            0x5A,
            static_cast<std::uint8_t>(ip >> 24),
            static_cast<std::uint8_t>(ip >> 16),
            static_cast<std::uint8_t>(ip >> 8),
            static_cast<std::uint8_t>(ip)};
  broadcast = {};
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return;
  const char *name = nullptr;
  for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr != addr.s_addr) continue;
    name = i->ifa_name;
    if (i->ifa_netmask != nullptr)
      id.mask = ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr);
    if ((i->ifa_flags & IFF_BROADCAST) != 0 && i->ifa_broadaddr != nullptr)
      broadcast = reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr)->sin_addr;
    break;
  }
  for (ifaddrs *i = list; name != nullptr && i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
    if (std::strcmp(i->ifa_name, name) != 0) continue;
    const auto *ll = reinterpret_cast<sockaddr_ll *>(i->ifa_addr);
    if (ll->sll_halen == 6 && std::any_of(ll->sll_addr, ll->sll_addr + 6, [](auto b) { return b; }))
      std::copy(ll->sll_addr, ll->sll_addr + 6, id.mac.begin());
  }
  freeifaddrs(list);
}

// A socket that hears the broadcasts a discovery goes out as; a socket bound
// to the camera's own address never sees them.
int broadcast_listener(in_addr address, std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr = address;
  a.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Answers go out from the address the command came to, whatever the
// socket is bound to.
void reply(camera &cam, std::span<const std::byte> bytes, const sockaddr_in &to, in_addr local) {
  iovec iov{const_cast<std::byte *>(bytes.data()), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr m{};
  m.msg_name = const_cast<sockaddr_in *>(&to);
  m.msg_namelen = sizeof to;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  if (local.s_addr != 0 && to.sin_addr.s_addr != htonl(INADDR_BROADCAST)) {
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = local;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  sendmsg(cam.st.fd, &m, 0);
}

std::int64_t frame_period_ns(const device &d) {
  return static_cast<std::int64_t>(1e12 / d.regs.frame_rate_mhz);
}

bool frame_triggered(const device &d) {
  return (d.regs.trigger[0] & trigger_mode_on) != 0;
}

// What the impairment features and the packet delay ask of the stream; live,
// since none changes the layout.
void apply_stream_settings(camera &cam) {
  const device_registers &r = cam.dev.regs;
  strobix_options &o = cam.st.opts;
  o.loss_percent = r.loss_ppm / 1e4;
  const std::uint32_t distance = r.order & order_distance_mask;
  o.out_of_order = (r.order & order_shuffle) != 0 || distance != 0;
  o.reorder_distance = (r.order & order_shuffle) != 0 ? 0 : distance;
  o.twice = (r.order & order_duplicate) != 0;
  double rate = o.mbit_rate > 0 ? o.mbit_rate * 1e6 / 8 / 1e9 : 0;
  if (r.scpd != 0) {
    // A delay of scpd ticks (ns) after every packet.
    const double by_delay = static_cast<double>(r.scps & gvcp::scps_size_mask) / r.scpd;
    rate = rate > 0 ? std::min(rate, by_delay) : by_delay;
  }
  set_pacing(cam.st, rate);
}

// Sends a PENDING_ACK for the command being answered, when the application
// enabled them.
struct pending_promise {
  camera &cam;
  sockaddr_in to;
  in_addr local;
  std::uint16_t req_id;
  std::int64_t renew_at;  // INT64_MAX: the command wants no answer at all

  void keep(std::int64_t now) {
    if ((cam.dev.regs.gvcp_config & gvcp_config_pending_ack) == 0 || now < renew_at) return;
    std::array<std::byte, 16> out{};
    const std::size_t n = gvcp::build_pending_ack(out, req_id, pending_promise_ms);
    reply(cam, std::span(out).first(n), to, local);
    // Renewed with room to spare before the promise runs out.
    renew_at = now + pending_promise_ms * ns_per_ms / 2;
  }
};

// Makes the test image for the current geometry, unless it is there already.
void make_image(camera &cam, pending_promise &promise) {
  const device_registers &r = cam.dev.regs;
  const image_geometry g{r.pixel_format, r.width, r.height, r.offset_x, r.offset_y};
  if (cam.image_valid && std::memcmp(&g, &cam.image, sizeof g) == 0) return;
  const std::uint64_t bytes = image_bytes(g);
  const std::uint64_t line_bytes = bytes / g.height;
  const std::uint32_t lines_per_slice =
      static_cast<std::uint32_t>(std::max<std::uint64_t>(1, image_slice_bytes / line_bytes));
  for (std::uint32_t y = 0; y < g.height; y += lines_per_slice) {
    if (bytes >= pending_threshold_bytes) promise.keep(now_ns());
    const std::uint32_t n = std::min(lines_per_slice, g.height - y);
    fill_test_image(std::span(cam.st.block_data).subspan(y * line_bytes, n * line_bytes), g, y, n);
  }
  cam.image = g;
  cam.image_valid = true;
}

// AcquisitionStart was accepted: the stream takes the registers' settings.
void start_stream(camera &cam, const sockaddr_in &from, in_addr local, std::uint16_t req_id,
                  bool answered) {
  device &d = cam.dev;
  stream_state &st = cam.st;
  const device_registers &r = d.regs;
  d.start_requested = false;
  strobix_options &o = st.opts;
  o.width = r.width;
  o.height = r.height;
  o.offset_x = r.offset_x;
  o.offset_y = r.offset_y;
  o.pixel_format = r.pixel_format;
  o.chunk_control = r.chunk_control;
  o.block_bytes = payload_size(r);
  o.packet_size = r.scps & gvcp::scps_size_mask;
  o.header_kind = (r.gvsp_config & gvsp_config_64bit_ids) != 0 ? gvsp::HeaderKind::extended
                                                               : gvsp::HeaderKind::standard;
  o.all_in = (r.sccfg & sccfg_all_in) != 0;
  o.destination = {};
  o.destination.sin_family = AF_INET;
  o.destination.sin_addr.s_addr = htonl(r.scda);
  o.destination.sin_port = htons(static_cast<std::uint16_t>(r.scp & 0xFFFF));
  // The image survives configure_stream's resize of the block's buffer only
  // while its own size stays.
  if (image_bytes({r.pixel_format, r.width, r.height, r.offset_x, r.offset_y}) !=
      image_bytes(cam.image))
    cam.image_valid = false;
  pending_promise promise{cam, from, local, req_id, answered ? 0 : INT64_MAX};
  configure_stream(st);
  make_image(cam, promise);
  connect_sender(st);
  set_do_not_fragment(st, (r.scps & gvcp::scps_do_not_fragment) != 0);
  apply_stream_settings(cam);
  if (cam.next_block_id > gvsp::max_block_id(st.layout.kind)) cam.next_block_id = 1;
  cam.next_frame_ns = now_ns();
  cam.blocks_at_start = st.counters.blocks;
  st.wake = true;
  if (o.verbosity > 0) {
    const pixel_format_info *f = find_pixel_format(r.pixel_format);
    std::printf(text_acquisition_started, r.width, r.height, f != nullptr ? f->name : "?",
                static_cast<unsigned long long>(o.block_bytes),
                static_cast<unsigned>(o.packet_size), ip_text(r.scda).c_str(), r.scp & 0xFFFF);
  }
}

// A test packet of the packet size, to the destination, with the stream's
// do-not-fragment setting: a GVSP header of block 0 (which no block has)
// and bytes counting up.
void fire_test_packet(camera &cam) {
  device &d = cam.dev;
  d.fire_test_packet = false;
  if (!destination_set(d)) return;
  const std::size_t size = d.regs.scps & gvcp::scps_size_mask;
  std::vector<std::byte> packet(size - gvsp::ip_header_size - gvsp::udp_header_size);
  for (std::size_t i = gvsp::standard_header_size; i < packet.size(); ++i)
    packet[i] = std::byte(i & 0xFF);
  packet[4] = std::byte(static_cast<std::uint8_t>(gvsp::Format::payload));
  set_do_not_fragment(cam.st, (d.regs.scps & gvcp::scps_do_not_fragment) != 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(d.regs.scda);
  to.sin_port = htons(static_cast<std::uint16_t>(d.regs.scp & 0xFFFF));
  sendto(cam.st.fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

void report_control(const camera &cam, std::uint32_t ccp_before, const host &owner_before) {
  if (cam.base.verbosity == 0) return;
  const device &d = cam.dev;
  if (control_held(d) && (ccp_before == 0 || !(d.owner == owner_before))) {
    std::printf(text_control_taken, ip_text(d.owner.ip).c_str(), d.owner.port,
                (d.ccp & gvcp::ccp_exclusive) != 0 ? "exclusive" : "control");
  } else if (!control_held(d) && ccp_before != 0) {
    std::printf(text_control_released, ip_text(owner_before.ip).c_str(), owner_before.port);
  }
}

// Acquisition is over once the block being sent is out.
void end_acquisition(camera &cam) {
  if (!settle_stop(cam.dev)) return;
  disconnect_sender(cam.st);
  if (cam.base.verbosity > 0) {
    std::printf(text_acquisition_stopped,
                static_cast<unsigned long long>(cam.st.counters.blocks - cam.blocks_at_start));
  }
  // Started again while stopping: acknowledged then, so no PENDING_ACK now.
  if (cam.dev.start_requested) start_stream(cam, {}, {}, 0, false);
}

void send_frame(camera &cam) {
  device &d = cam.dev;
  stream_state &st = cam.st;
  const std::int64_t now = now_ns();
  const block_record block{cam.next_block_id, ticks(d, now),
                           std::bit_cast<double>(d.regs.exposure_bits)};
  if (frame_triggered(d)) {
    --d.frame_triggers;
  } else {
    // Behind by more than a frame (a busy machine, a slow link): the frames
    // missed are not made up in a burst, as a camera cannot take them later.
    const std::int64_t period = frame_period_ns(d);
    cam.next_frame_ns += period;
    if (now - cam.next_frame_ns > period) cam.next_frame_ns = now;
  }
  cam.next_block_id = gvsp::block_id_next(cam.next_block_id, st.layout.kind);
  send_block(st, block);
  ++d.frames_in_acquisition;
  const std::uint32_t mode = d.regs.acquisition_mode;
  if (d.state == acquisition::running &&
      ((mode == 1 && d.frames_in_acquisition >= 1) ||
       (mode == 2 && d.frames_in_acquisition >= d.regs.frame_count)))
    d.state = acquisition::stopping;
}

bool frame_due(const camera &cam, std::int64_t now) {
  const device &d = cam.dev;
  if (d.state != acquisition::running) return false;
  return frame_triggered(d) ? d.frame_triggers > 0 : now >= cam.next_frame_ns;
}

bool open_camera(camera &cam, const strobix_options &opts) {
  device &d = cam.dev;
  cam.base = opts;
  d.xml = description_xml();
  if (opts.zip_description) {
    if (!zip_description(d.xml, cam.zip)) {
      std::fputs(text_no_zip, stderr);
      return false;
    }
    d.zip = cam.zip;
    d.zip_first = true;
  }
  set_description(d);
  device_registers &r = d.regs;
  r.sensor_width = opts.sensor_width;
  r.sensor_height = opts.sensor_height;
  r.width = opts.width;
  r.height = opts.height;
  r.scps = static_cast<std::uint32_t>(opts.packet_size);
  r.gvsp_config = opts.header_kind == gvsp::HeaderKind::extended ? gvsp_config_64bit_ids : 0;
  r.sccfg = opts.all_in ? sccfg_all_in : 0;
  r.frame_rate_mhz = static_cast<std::uint32_t>(std::llround(opts.block_rate * 1000));
  r.loss_ppm = static_cast<std::uint32_t>(std::llround(opts.loss_percent * 1e4));
  r.order = (opts.twice ? order_duplicate : 0) |
            (opts.out_of_order && opts.reorder_distance == 0 ? order_shuffle : 0) |
            static_cast<std::uint32_t>(opts.reorder_distance & order_distance_mask);
  d.id.version = STROBIX_VERSION;
  std::copy_n(opts.user_id.begin(), std::min(opts.user_id.size(), d.id.user_name.size()),
              d.id.user_name.begin());
  cam.next_block_id = opts.first_block_id;
  d.tick_origin_ns = now_ns();

  cam.st.cam = &cam;
  if (!open_stream(cam.st, opts)) return false;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(cam.st.fd, reinterpret_cast<sockaddr *>(&local), &len);
  d.id.source_port = ntohs(local.sin_port);
  in_addr broadcast{};
  find_interface(local.sin_addr, d.id, broadcast);
  cam.identity_fixed = local.sin_addr.s_addr != htonl(INADDR_ANY);
  // Loopback carries no broadcasts: a camera there is found by its address.
  if (cam.identity_fixed && ntohl(local.sin_addr.s_addr) >> 24 != IN_LOOPBACKNET) {
    for (in_addr b : {in_addr{htonl(INADDR_BROADCAST)}, broadcast}) {
      if (b.s_addr == 0) continue;
      const int fd = broadcast_listener(b, ntohs(local.sin_port));
      if (fd >= 0) cam.st.extra_fds.push_back(fd);
    }
  }
  char serial[32];
  if (opts.serial.empty()) {
    std::snprintf(serial, sizeof serial,
                  ntohs(local.sin_port) == gvcp::port ? "SX%08X" : "SX%08X-%u",
                  ntohl(local.sin_addr.s_addr), ntohs(local.sin_port));
    d.id.serial = std::string(serial).substr(0, 16);
  } else {
    d.id.serial = opts.serial;
  }
  std::printf(text_camera_start, ip_text(ntohl(local.sin_addr.s_addr)).c_str(),
              ntohs(local.sin_port), d.id.serial.c_str(), d.first_url.data());
  std::fflush(stdout);
  return true;
}

}  // namespace

void camera_take(camera &cam, gvsp::bytes datagram, const sockaddr_in &from, in_addr local,
                 bool cut) {
  device &d = cam.dev;
  stream_state &st = cam.st;
  if (cut) {
    ++st.counters.malformed;
    if (cam.base.verbosity > 0)
      std::printf(text_malformed, datagram.size(), "longer than any command");
    return;
  }
  if (cam.identity_fixed && local.s_addr != 0 && ntohl(local.s_addr) != d.id.ip) {
    // A broadcast heard on another interface: that is not this camera's link.
    return;
  }
  if (!cam.identity_fixed && local.s_addr != 0 && ntohl(local.s_addr) != d.id.ip) {
    in_addr unused{};
    find_interface(local, d.id, unused);
  }
  const host h{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
  const std::uint32_t ccp_before = d.ccp;
  const host owner_before = d.owner;
  const acquisition state_before = d.state;
  std::array<std::byte, gvcp::max_datagram + 16> out{};
  const command_answer a = handle_command(d, datagram, h, now_ns(), out);
  if (a.malformed) {
    ++st.counters.malformed;
    if (cam.base.verbosity > 0) std::printf(text_malformed, datagram.size(), "not a GVCP command");
    return;
  }
  if (a.resend) {
    answer_resend(st, datagram, false);
    return;
  }
  report_control(cam, ccp_before, owner_before);
  if (d.start_requested) start_stream(cam, from, local, a.req_id, a.ack_bytes != 0);
  if (a.ack_bytes != 0) {
    sockaddr_in to = from;
    if (a.broadcast) to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    reply(cam, std::span(out).first(a.ack_bytes), to, local);
  }
  if (d.fire_test_packet) fire_test_packet(cam);
  if (d.stream_settings_changed) {
    d.stream_settings_changed = false;
    apply_stream_settings(cam);
  }
  if (d.state != state_before || d.frame_triggers != 0) st.wake = true;
}

int run_camera(const strobix_options &opts) {
  auto cam = std::make_unique<camera>();
  if (!open_camera(*cam, opts)) {
    for (int fd : cam->st.extra_fds) close(fd);
    close_stream(cam->st);
    return exit_usage_error;
  }
  device &d = cam->dev;
  stream_state &st = cam->st;
  st.start_ns = now_ns();
  st.pace_start_ns = st.start_ns;
  if (opts.run_seconds > 0)
    st.deadline_ns = st.start_ns + static_cast<std::int64_t>(std::llround(opts.run_seconds * 1e9));
  for (;;) {
    const std::int64_t now = now_ns();
    if (stopping(st, now)) break;
    const host owner = d.owner;
    if (heartbeat_lapsed(d, now) && opts.verbosity > 0)
      std::printf(text_control_lapsed, ip_text(owner.ip).c_str(), owner.port);
    end_acquisition(*cam);
    if (frame_due(*cam, now)) {
      send_frame(*cam);
      continue;
    }
    std::int64_t due = now + idle_check_ns;
    if (d.state == acquisition::running && !frame_triggered(d))
      due = std::min(due, cam->next_frame_ns);
    st.wake = false;
    if (!wait_until(st, due, true)) break;
  }
  st.end_ns = now_ns();
  print_summary(stdout, st.counters, static_cast<double>(st.end_ns - st.start_ns) / 1e9);
  std::fflush(stdout);
  for (int fd : st.extra_fds) close(fd);
  disconnect_sender(st);
  close_stream(st);
  return st.failed ? exit_usage_error : exit_ok;
}
