// Answers to PACKETRESEND_CMD: from the history when the block is still
// held, else a header-only "packet unavailable" per packet asked for.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

#include "stream_internal.h"
#include "texts_internal.h"

namespace {

// The stream channel strobix serves: a device's first stream channel.
constexpr std::uint16_t stream_channel = 0;
constexpr std::size_t command_slots = 16;
// Room to see that a datagram is longer than any command.
constexpr std::size_t command_room = 576;
constexpr std::size_t control_room = CMSG_SPACE(sizeof(in_pktinfo));

const block_record *find_block(const stream_state &st, std::uint64_t block_id) {
  const std::uint64_t held = std::min<std::uint64_t>(st.history_count, st.history.size());
  if (held == 0) return nullptr;
  const std::size_t size = st.history.size();
  const std::size_t newest = (st.history_next + size - 1) % size;
  const std::uint64_t back =
      gvsp::block_id_distance(block_id, st.history[newest].block_id, st.layout.kind);
  if (back >= held) return nullptr;
  const block_record &r = st.history[(newest + size - back % size) % size];
  return r.block_id == block_id ? &r : nullptr;
}

void add_to_resends(stream_state &st, std::size_t head_len, const std::byte *data,
                    std::size_t data_len) {
  send_batch &b = st.resends;
  const std::size_t i = b.pending;
  b.iovs[2 * i] = iovec{b.heads[i].data(), head_len};
  b.iovs[2 * i + 1] = iovec{const_cast<std::byte *>(data), data_len};
  b.msgs[i].msg_hdr.msg_iovlen = data_len != 0 ? 2 : 1;
  b.pending_bytes += head_len + data_len;
  if (++b.pending == b.msgs.size()) send_pending(st, b);
}

void queue_resend(stream_state &st, const block_record &block, std::uint32_t packet_id) {
  send_batch &b = st.resends;
  const std::size_t head_len =
      build_packet_head(st.layout, block, packet_id, true, b.heads[b.pending]);
  const data_range r = packet_data(st.layout, packet_id);
  const std::byte *data = st.block_data.data() + data_window_offset(st.layout, r.offset);
  if (data_made_per_block(st.layout, r)) {
    std::byte *slot = st.resend_data.data() + b.pending * st.resend_slot_bytes;
    make_packet_data(st.layout, block, r, st.block_data, {slot, r.length});
    data = slot;
  }
  add_to_resends(st, head_len, data, r.length);
}

void queue_unavailable(stream_state &st, std::uint64_t block_id, std::uint32_t packet_id) {
  send_batch &b = st.resends;
  const std::size_t head_len =
      build_unavailable(st.layout, block_id, packet_id, b.heads[b.pending]);
  add_to_resends(st, head_len, nullptr, 0);
}

}  // namespace

void answer_resend(stream_state &st, gvsp::bytes datagram, bool cut) {
  const auto parsed = gvsp::parse_resend_command(datagram);
  if (cut || !parsed) {
    ++st.counters.malformed;
    if (st.opts.verbosity > 0) {
      std::printf(text_malformed, datagram.size(),
                  cut ? "longer than any command" : gvsp::error_name(parsed.error).data());
    }
    return;
  }
  const gvsp::ResendCommand &c = parsed.value;
  if (c.channel != stream_channel) {
    if (st.opts.verbosity > 0) std::printf(text_other_channel, c.req_id, c.channel, stream_channel);
    return;
  }
  ++st.counters.resend_requests;
  const block_record *block = find_block(st, c.block_id);
  // Packets past the block's trailer never existed: nothing to answer for them.
  const std::uint64_t last = std::min<std::uint64_t>(c.last_packet_id, st.layout.last_packet_id);
  unsigned long long resent = 0, unavailable = 0;
  for (std::uint64_t k = c.first_packet_id; k <= last; ++k) {
    if (block != nullptr) {
      queue_resend(st, *block, static_cast<std::uint32_t>(k));
      ++resent;
    } else {
      queue_unavailable(st, c.block_id, static_cast<std::uint32_t>(k));
      ++unavailable;
    }
  }
  st.counters.packets_resent += resent;
  st.counters.unavailable += unavailable;
  if (st.opts.verbosity > 0) {
    std::printf(text_resend, c.req_id, static_cast<unsigned long long>(c.block_id),
                c.first_packet_id, c.last_packet_id, resent, unavailable);
  }
}

void remember_block(stream_state &st, const block_record &block) {
  if (st.history.empty()) return;
  st.history[st.history_next] = block;
  st.history_next = (st.history_next + 1) % st.history.size();
  ++st.history_count;
}

void take_commands(stream_state &st) {
  if (st.command_msgs.empty()) {
    st.command_msgs.resize(command_slots);
    st.command_iovs.resize(command_slots);
    st.command_buf.resize(command_slots * command_room);
    st.command_from.resize(command_slots);
    st.command_control.resize(command_slots * control_room);
  }
  int fds[8];
  std::size_t nfds = 0;
  fds[nfds++] = st.fd;
  if (st.connected) fds[nfds++] = st.send_fd;
  for (int fd : st.extra_fds)
    if (nfds < std::size(fds)) fds[nfds++] = fd;
  for (int fd : std::span(fds, nfds)) {
    for (;;) {
      for (std::size_t i = 0; i < command_slots; ++i) {
        st.command_iovs[i] = iovec{st.command_buf.data() + i * command_room, command_room};
        st.command_msgs[i] = mmsghdr{};
        msghdr &h = st.command_msgs[i].msg_hdr;
        h.msg_iov = &st.command_iovs[i];
        h.msg_iovlen = 1;
        h.msg_name = &st.command_from[i];
        h.msg_namelen = sizeof(sockaddr_in);
        h.msg_control = st.command_control.data() + i * control_room;
        h.msg_controllen = control_room;
      }
      const int n = recvmmsg(fd, st.command_msgs.data(), command_slots, MSG_DONTWAIT, nullptr);
      if (n <= 0) break;
      for (int i = 0; i < n; ++i) {
        msghdr &h = st.command_msgs[i].msg_hdr;
        const std::size_t len = std::min<std::size_t>(st.command_msgs[i].msg_len, command_room);
        const bool cut = (h.msg_flags & MSG_TRUNC) != 0;
        const gvsp::bytes datagram(st.command_buf.data() + i * command_room, len);
        if (st.cam == nullptr) {
          answer_resend(st, datagram, cut);
          continue;
        }
        // The address the datagram came to: the camera answers from it.
        in_addr local{};
        for (cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
          if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            local = info.ipi_spec_dst;
          }
        }
        camera_take(*st.cam, datagram, st.command_from[i], local, cut);
      }
      if (static_cast<std::size_t>(n) < command_slots) break;
    }
  }
  send_pending(st, st.resends);
  st.last_command_check_ns = now_ns();
}
