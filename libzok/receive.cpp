// The socket loop: one recvmmsg per batch, with each datagram's data
// scattered straight into the block buffer where the core predicts it
// belongs, so that for an in-order stream the kernel's copy is the only one.
#include <linux/sock_diag.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "socket_path_internal.h"

namespace zok {

namespace {

enum Verdict : std::uint8_t { copied, placed, truncated };

}  // namespace

std::unique_ptr<SocketPath> SocketPath::make(int fd, gvsp::HeaderKind kind,
                                             Counters &counters) noexcept {
  std::unique_ptr<SocketPath> path(new (std::nothrow) SocketPath(fd, kind, counters));
  if (!path) return nullptr;
  path->slots_.reset(new (std::nothrow) std::byte[batch_size * slot_size]);
  if (!path->slots_) return nullptr;
  return path;
}

void SocketPath::note_drops(std::uint32_t total) noexcept {
  // Both reports read one wrapping counter, but a datagram queued before the
  // socket was asked may be taken after it and report an older total.
  const auto ahead = static_cast<std::int32_t>(total - last_drops_);
  if (ahead <= 0 || !count_drops_) return;
  bump(counters_.kernel_drops, static_cast<std::uint64_t>(ahead));
  last_drops_ = total;
}

bool SocketPath::drops_total(std::uint32_t &total) const noexcept {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
      length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
    return false;
  }
  total = memory[SK_MEMINFO_DROPS];
  return true;
}

void SocketPath::read_drops() noexcept {
  std::uint32_t total = 0;
  if (count_drops_ && drops_total(total)) note_drops(total);
}

void SocketPath::count_drops(bool on) noexcept {
  if (on && !count_drops_) drops_total(last_drops_);
  count_drops_ = on;
}

Batch SocketPath::receive(Reassembly &core, ArrivalClock &arrivals) noexcept {
  return receive_up_to(core, arrivals, batch_size);
}

Batch SocketPath::receive_one(Reassembly &core, ArrivalClock &arrivals) noexcept {
  return receive_up_to(core, arrivals, 1);
}

Batch SocketPath::receive_up_to(Reassembly &core, ArrivalClock &arrivals,
                                std::size_t most) noexcept {
  const std::size_t header = gvsp::header_size(kind_);
  // A single datagram is read in the middle of another path's batch, whose
  // regions the core may have handed out already: it is copied, not placed.
  const std::size_t predicted = most == batch_size ? core.predict(predictions_) : 0;
  for (std::size_t i = 0; i < most; ++i) {
    std::byte *slot = slots_.get() + i * slot_size;
    msghdr &m = msgs_[i].msg_hdr;
    const Prediction &p = predictions_[i];
    if (i < predicted && header + p.length < slot_size) {
      // Header into the slot, data into the buffer, anything longer than
      // predicted after the room the data would take in the slot, so a
      // wrong guess can be made contiguous again in place.
      iov_[i][0] = {slot, header};
      iov_[i][1] = {p.dest, p.length};
      iov_[i][2] = {slot + header + p.length, slot_size - header - p.length};
      m.msg_iovlen = 3;
    } else {
      iov_[i][0] = {slot, slot_size};
      m.msg_iovlen = 1;
    }
    m.msg_iov = iov_[i].data();
    m.msg_name = &peers_[i];
    m.msg_namelen = sizeof peers_[i];
    m.msg_control = control_[i].bytes;
    m.msg_controllen = sizeof control_[i].bytes;
    m.msg_flags = 0;
  }
  const int got = recvmmsg(fd_, msgs_.data(), static_cast<unsigned>(most), MSG_DONTWAIT, nullptr);
  if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    bump(counters_.receive_errors);
  }
  const std::size_t n = got > 0 ? static_cast<std::size_t>(got) : 0;
  // A datagram reports the drops before it was queued, so drops after the
  // last one (a receiver that fell behind, then caught up) would go
  // unreported: the socket is asked once each time it runs empty.
  if (n == 0 && !idle_) read_drops();
  idle_ = n == 0;
  if (n != 0) arrivals.taken();

  bool stamped = true;
  for (std::size_t i = 0; i < n; ++i) {
    const msghdr &m = msgs_[i].msg_hdr;
    epoch_[i] = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr *>(&m), c)) {
      if (c->cmsg_level != SOL_SOCKET) continue;
      if (c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts{};
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        epoch_[i] = static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
                    static_cast<std::uint64_t>(ts.tv_nsec);
      } else if (c->cmsg_type == SO_RXQ_OVFL) {
        std::uint32_t dropped = 0;
        std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
        note_drops(dropped);
      }
    }
    stamped = stamped && epoch_[i] != 0;
    if ((m.msg_flags & MSG_TRUNC) != 0) {
      verdict_[i] = truncated;
      continue;
    }
    verdict_[i] = copied;
    if (i >= predicted || m.msg_iovlen != 3) continue;
    const Prediction &p = predictions_[i];
    std::byte *slot = slots_.get() + i * slot_size;
    const std::size_t len = msgs_[i].msg_len;
    if (len > header && len - header <= p.length) {
      const gvsp::Result<gvsp::Header> h = gvsp::parse_header(gvsp::bytes(slot, header));
      if (h && h.value.kind == kind_ &&
          h.value.format == static_cast<std::uint8_t>(gvsp::Format::payload) &&
          !gvsp::status_is_error(h.value.status) && h.value.block_id == p.block_id &&
          h.value.packet_id == p.packet_id) {
        verdict_[i] = placed;
        continue;
      }
    }
    // Not what was predicted: make the datagram contiguous in its slot before
    // any datagram of this batch is handled (and may write that region).
    if (len > header) {
      std::memcpy(slot + header, p.dest, std::min<std::size_t>(len - header, p.length));
    }
  }
  // In arrival order, however each datagram was copied: a placed packet
  // judged before an earlier one would make the earlier one look late.
  Nanos latest = arrivals.now();
  for (std::size_t i = 0; i < n; ++i) {
    // The time of arrival is the kernel's stamp, so a backlog in the socket
    // buffer does not count against the sender: a resend answered in time is
    // judged by when it arrived, not by when this loop got round to it.
    latest = arrivals.arrival(epoch_[i]);
    const Arrival at{latest, epoch_[i] != 0 ? epoch_[i] : arrivals.epoch_of(latest),
                     peers_[i].sin_addr.s_addr, peers_[i].sin_port};
    if (verdict_[i] == placed) {
      core.on_placed(predictions_[i], static_cast<std::uint32_t>(msgs_[i].msg_len - header), at);
    } else if (verdict_[i] == truncated) {
      core.refuse();
    } else {
      core.on_packet(gvsp::bytes(slots_.get() + i * slot_size, msgs_[i].msg_len), at);
    }
  }
  // The socket is read in the order datagrams came, so with the kernel's
  // stamps whatever is still waiting came after the last one taken; without
  // them, only a batch that emptied the socket says anything.
  if (stamped) return Batch{n, latest};
  return Batch{n, n < most ? caught_up : unjudged};
}

}  // namespace zok
