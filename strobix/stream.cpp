// Sending the blocks: sendmmsg batches whose payload iovecs point into the
// block's buffer, paced by -r and -R, with the socket checked for resend
// requests between batches and while waiting.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "pattern_internal.h"
#include "stream_internal.h"
#include "texts_internal.h"

volatile std::sig_atomic_t stop_requested = 0;

namespace {

constexpr std::size_t batch_slots = 64;
constexpr std::size_t resend_slots = 32;
constexpr std::int64_t ns_per_s = 1000000000;
constexpr std::int64_t ns_per_ms = 1000000;
// Longest sleep in one go, so a stop that slips past a wait is seen soon.
constexpr std::int64_t max_sleep_ns = 100 * ns_per_ms;
// When sending flat out, look for resend requests this often.
constexpr std::int64_t command_check_ns = 200000;
// Sending held up (a busy machine, a stopped process) makes up at most this
// much of its pace at once: enough to ride out scheduling delays, not so much
// that a receiver meets one huge burst.
constexpr std::int64_t max_pace_debt_ns = 20 * ns_per_ms;

std::uint64_t next_random(std::uint64_t &state) {
  // splitmix64: small, fast and plenty for loss draws and shuffles.
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t realtime_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * ns_per_s + static_cast<std::uint64_t>(ts.tv_nsec);
}

void report_errno(const char *what) {
  const int e = errno;
  std::fprintf(stderr, text_socket_failed, what, std::strerror(e), e);
}

// With -R, holds the batch back until the bytes before it have had their time.
void pace(stream_state &st) {
  if (st.bytes_per_ns <= 0) return;
  const std::int64_t now = now_ns();
  std::int64_t due = st.pace_start_ns + static_cast<std::int64_t>(st.paced_bytes / st.bytes_per_ns);
  if (now - due > max_pace_debt_ns) {
    st.pace_start_ns += now - due - max_pace_debt_ns;
    due = now - max_pace_debt_ns;
  }
  wait_until(st, due);
}

bool dropped_on_first_sending(stream_state &st, std::uint64_t block_id, std::uint32_t packet_id) {
  for (const drop_entry &d : st.opts.drops) {
    if (d.block_id == block_id && d.packet_id == packet_id) return true;
  }
  if (st.opts.loss_percent <= 0) return false;
  const double draw = static_cast<double>(next_random(st.rng) >> 11) * 0x1.0p-53 * 100.0;
  return draw < st.opts.loss_percent;
}

struct block_tally {
  unsigned long long sent = 0;
  unsigned long long dropped = 0;
  bool cut_short = false;  // the run stopped before every packet was out
};

void flush_first(stream_state &st, block_tally &tally) {
  if (st.first.pending == 0) return;
  pace(st);
  if (stopping(st, now_ns())) {
    st.first.pending = 0;
    tally.cut_short = true;
    return;
  }
  const std::uint64_t bytes = st.first.pending_bytes;
  const std::size_t pending = st.first.pending;
  const std::size_t sent = send_pending(st, st.first);
  tally.sent += sent;
  if (sent < pending) tally.cut_short = true;
  st.paced_bytes += bytes;
  if (now_ns() - st.last_command_check_ns >= command_check_ns) take_commands(st);
}

void transmit(stream_state &st, const block_record &block, std::uint32_t packet_id,
              block_tally &tally) {
  if (dropped_on_first_sending(st, block.block_id, packet_id)) {
    ++tally.dropped;
    return;
  }
  send_batch &b = st.first;
  const std::size_t i = b.pending;
  const std::size_t head_len = build_packet_head(st.layout, block, packet_id, false, b.heads[i]);
  const data_range r = packet_data(st.layout, packet_id);
  b.iovs[2 * i] = iovec{b.heads[i].data(), head_len};
  b.iovs[2 * i + 1] =
      iovec{st.block_data.data() + data_window_offset(st.layout, r.offset), r.length};
  b.msgs[i].msg_hdr.msg_iovlen = r.length != 0 ? 2 : 1;
  b.pending_bytes += head_len + r.length;
  if (++b.pending >= st.batch_limit) flush_first(st, tally);
}

// A path that reorders a little: each packet sorted by its place plus a
// random share of d places, so none lands more than d places from its own
// (a packet d or more places behind always had the smaller key).
void order_within(stream_state &st, std::uint64_t d) {
  const std::size_t n = st.order.size();
  constexpr std::uint64_t fraction = 1u << 16;
  st.order_keys.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    st.order_keys[i] = {i * fraction + next_random(st.rng) % (d * fraction),
                        static_cast<std::uint32_t>(i + 1)};
  }
  std::sort(st.order_keys.begin(), st.order_keys.end());
  for (std::size_t i = 0; i < n; ++i) st.order[i] = st.order_keys[i].second;
}

// The payload packet ids of one block in sending order: in order, (-O) a
// fresh shuffle that is never the plain order, or (-O<n>) a bounded reorder.
void order_payload(stream_state &st) {
  const std::size_t n = st.order.size();
  for (std::size_t i = 0; i < n; ++i) st.order[i] = static_cast<std::uint32_t>(i + 1);
  if (!st.opts.out_of_order || n < 2) return;
  if (st.opts.reorder_distance != 0) {
    order_within(st, st.opts.reorder_distance);
    return;
  }
  for (std::size_t i = n - 1; i > 0; --i) {
    std::swap(st.order[i], st.order[next_random(st.rng) % (i + 1)]);
  }
  bool in_order = true;
  for (std::size_t i = 0; i < n && in_order; ++i) in_order = st.order[i] == i + 1;
  if (in_order) std::swap(st.order[0], st.order[1]);
}

}  // namespace

bool stopping(const stream_state &st, std::int64_t now) {
  return stop_requested != 0 || st.failed || (st.deadline_ns != 0 && now >= st.deadline_ns);
}

bool wait_until(stream_state &st, std::int64_t due, bool wake_early) {
  for (;;) {
    const std::int64_t now = now_ns();
    if (stopping(st, now)) return false;
    if (now >= due || (wake_early && st.wake)) return true;
    std::int64_t wait = std::min(due - now, max_sleep_ns);
    if (st.deadline_ns != 0) wait = std::min(wait, st.deadline_ns - now);
    const timespec ts{static_cast<time_t>(wait / ns_per_s), static_cast<long>(wait % ns_per_s)};
    pollfd p[8];
    nfds_t n = 0;
    p[n++] = {st.fd, POLLIN, 0};
    if (st.connected) p[n++] = {st.send_fd, POLLIN, 0};
    for (int fd : st.extra_fds)
      if (n < 8) p[n++] = {fd, POLLIN, 0};
    if (ppoll(p, n, &ts, nullptr) > 0) take_commands(st);
  }
}

bool send_block(stream_state &st, const block_record &block) {
  const std::uint64_t block_id = block.block_id;
  remember_block(st, block);
  if (st.layout.data == block_data_kind::pattern) fill_pattern(st.block_data, block_id, 0);
  if (st.layout.chunk_control != 0) {
    const std::uint64_t at = st.layout.image_bytes;
    write_chunks(std::span(st.block_data).subspan(at), at, at, st.layout.chunk_control,
                 {block.timestamp, block_id, block.exposure_us});
  }
  block_tally tally;
  transmit(st, block, 0, tally);
  if (!st.layout.all_in) {
    order_payload(st);
    for (std::uint32_t k : st.order) {
      transmit(st, block, k, tally);
      if (st.opts.twice) transmit(st, block, k, tally);
    }
    transmit(st, block, static_cast<std::uint32_t>(st.layout.last_packet_id), tally);
  }
  flush_first(st, tally);
  // A block counts as sent when all its packets went out, even if a stop
  // came right after.
  if (tally.cut_short) return false;
  ++st.counters.blocks;
  if (st.opts.verbosity > 0) {
    std::printf(text_block, static_cast<unsigned long long>(block_id), tally.sent, tally.dropped);
  }
  return !stopping(st, now_ns());
}

namespace {

void print_start(const stream_state &st) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(st.fd, reinterpret_cast<sockaddr *>(&local), &len);
  char dest[INET_ADDRSTRLEN], from[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &st.opts.destination.sin_addr, dest, sizeof dest);
  inet_ntop(AF_INET, &local.sin_addr, from, sizeof from);
  std::printf(text_start, dest, ntohs(st.opts.destination.sin_port), from, ntohs(local.sin_port));
  std::fflush(stdout);
}

}  // namespace

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

void init_batch(send_batch &batch, std::size_t slots, const sockaddr_in *destination) {
  batch.msgs.assign(slots, mmsghdr{});
  batch.iovs.assign(2 * slots, iovec{});
  batch.heads.assign(slots, {});
  for (std::size_t i = 0; i < slots; ++i) {
    msghdr &h = batch.msgs[i].msg_hdr;
    h.msg_name = const_cast<sockaddr_in *>(destination);
    h.msg_namelen = destination != nullptr ? sizeof *destination : 0;
    h.msg_iov = &batch.iovs[2 * i];
    h.msg_iovlen = 1;
  }
  batch.pending = 0;
  batch.pending_bytes = 0;
}

void address_batches(stream_state &st) {
  // A datagram that names its destination makes the kernel look its route up
  // again, even on a connected socket.
  const sockaddr_in *named = st.connected ? nullptr : &st.opts.destination;
  for (send_batch *batch : {&st.first, &st.resends}) {
    for (mmsghdr &m : batch->msgs) {
      m.msg_hdr.msg_name = const_cast<sockaddr_in *>(named);
      m.msg_hdr.msg_namelen = named != nullptr ? sizeof *named : 0;
    }
  }
}

std::size_t send_pending(stream_state &st, send_batch &batch) {
  std::size_t done = 0;
  unsigned long long bytes = 0;
  while (done < batch.pending && !st.failed) {
    const int n = sendmmsg(st.send_fd, batch.msgs.data() + done,
                           static_cast<unsigned>(batch.pending - done), 0);
    if (n > 0) {
      for (int i = 0; i < n; ++i) bytes += batch.msgs[done + i].msg_len;
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) {
      if (stop_requested != 0) break;
    } else if (errno == ECONNREFUSED) {
      // The connected socket reports that nobody took an earlier datagram (an
      // ICMP port unreachable); a device keeps streaming regardless, and the
      // report is spent, so the send is tried again.
    } else if (errno == EAGAIN || errno == ENOBUFS) {
      // The kernel's queue is full for a moment; let it drain.
      pollfd p{st.send_fd, POLLOUT, 0};
      poll(&p, 1, 1);
    } else if (st.cam != nullptr) {
      // A camera streams on whatever the network does to its packets: one
      // the path refuses (too big to go unfragmented, no route) is lost like
      // one dropped on the wire.
      ++done;
    } else {
      report_errno("sendmmsg");
      st.failed = true;
    }
  }
  // The summary's packets and bytes are the first sendings; answers to resend
  // requests have their own counters, kept where they are asked for.
  if (&batch == &st.first) {
    st.counters.packets += done;
    st.counters.bytes += bytes;
  }
  batch.pending = 0;
  batch.pending_bytes = 0;
  return done;
}

bool open_stream(stream_state &st, const strobix_options &opts) {
  st.opts = opts;
  st.rng = opts.seed;
  if (!open_sockets(st)) return false;
  configure_stream(st);
  return true;
}

void configure_stream(stream_state &st) {
  const strobix_options &opts = st.opts;
  st.layout = make_block_layout(opts);
  // A camera's image stays where it was when only the chunks after it change.
  st.block_data.resize(data_window_size(st.layout));
  st.history.assign(opts.history_blocks, block_record{});
  st.history_count = 0;
  st.history_next = 0;
  st.order.assign(st.layout.payload_packets, 0);
  const sockaddr_in *named = st.connected ? nullptr : &st.opts.destination;
  init_batch(st.first, batch_slots, named);
  init_batch(st.resends, resend_slots, named);
  st.resend_slot_bytes = st.layout.all_in ? opts.block_bytes : st.layout.bytes_per_packet;
  if (st.layout.data != block_data_kind::zeros) {
    st.resend_data.assign(resend_slots * st.resend_slot_bytes, std::byte{0});
  }
  set_pacing(st, opts.mbit_rate > 0 ? opts.mbit_rate * 1e6 / 8 / 1e9 : 0);
}

void set_pacing(stream_state &st, double bytes_per_ns) {
  st.bytes_per_ns = bytes_per_ns;
  st.batch_limit = batch_slots;
  if (bytes_per_ns > 0) {
    // Batches of about a millisecond of sending keep the pace smooth.
    const double per_ms = bytes_per_ns * ns_per_ms / static_cast<double>(st.opts.packet_size);
    st.batch_limit = std::clamp<std::size_t>(static_cast<std::size_t>(per_ms), 1, batch_slots);
  }
}

void run_stream(stream_state &st) {
  if (st.opts.verbosity > 0) print_start(st);
  st.start_ns = now_ns();
  st.pace_start_ns = st.start_ns;
  st.last_command_check_ns = st.start_ns;
  if (st.opts.run_seconds > 0) {
    st.deadline_ns =
        st.start_ns + static_cast<std::int64_t>(std::llround(st.opts.run_seconds * ns_per_s));
  }
  std::uint64_t block_id = st.opts.first_block_id;
  for (std::int64_t i = 0; st.opts.blocks < 0 || i < st.opts.blocks; ++i) {
    if (st.opts.block_rate > 0) {
      const auto due = st.start_ns + static_cast<std::int64_t>(std::llround(
                                         static_cast<double>(i) * ns_per_s / st.opts.block_rate));
      if (!wait_until(st, due)) break;
    }
    if (!send_block(st, {block_id, realtime_ns(), 0})) break;
    block_id = gvsp::block_id_next(block_id, st.layout.kind);
  }
  st.end_ns = now_ns();
  if (!stopping(st, st.end_ns)) {
    wait_until(st, st.end_ns + static_cast<std::int64_t>(st.opts.linger_ms) * ns_per_ms);
  }
  std::fflush(stdout);
}

void close_stream(stream_state &st) {
  close_sockets(st);
}

void print_summary(std::FILE *out, const strobix_counters &c, double seconds) {
  const double mbit = seconds > 0 ? static_cast<double>(c.bytes) * 8 / seconds / 1e6 : 0.0;
  std::fprintf(out, text_summary_sent, c.blocks, c.packets, c.bytes, seconds, mbit);
  std::fprintf(out, text_summary_resend, c.resend_requests, c.packets_resent, c.unavailable,
               c.malformed);
}
