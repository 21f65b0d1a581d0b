// The stream: one UDP socket that sends the blocks and takes the resend
// requests, the history that answers them, and the pacing of the sending.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "block_internal.h"
#include "options_internal.h"

struct strobix_counters {
  unsigned long long blocks = 0;
  unsigned long long packets = 0;
  unsigned long long bytes = 0;
  unsigned long long resend_requests = 0;
  unsigned long long packets_resent = 0;
  unsigned long long unavailable = 0;
  unsigned long long malformed = 0;
};

// sendmmsg batch: a head (header, leader, trailer) per packet and, for data,
// a second iovec into the block's buffer.
struct send_batch {
  std::vector<mmsghdr> msgs;
  std::vector<iovec> iovs;
  std::vector<std::array<std::byte, max_head_bytes>> heads;
  std::size_t pending = 0;
  std::uint64_t pending_bytes = 0;
};

struct camera;

struct stream_state {
  strobix_options opts;
  block_layout layout{};
  int fd = -1;       // bound to -l, takes resend requests
  int send_fd = -1;  // sends; fd itself unless connected
  bool connected = false;
  std::vector<std::byte> block_data;  // data window of the block being sent
  std::vector<block_record> history;  // ring of the blocks resends can come from
  std::uint64_t history_count = 0;
  std::size_t history_next = 0;
  send_batch first;                    // first sendings
  send_batch resends;                  // answers to resend requests
  std::vector<std::byte> resend_data;  // per resend slot: its data, made again (-c)
  std::size_t resend_slot_bytes = 0;
  std::vector<mmsghdr> command_msgs;
  std::vector<iovec> command_iovs;
  std::vector<std::byte> command_buf;
  std::vector<sockaddr_in> command_from;
  std::vector<std::byte> command_control;
  std::vector<std::uint32_t> order;  // payload packet ids of a block in sending order
  std::vector<std::pair<std::uint64_t, std::uint32_t>> order_keys;  // -O<n> sort keys
  std::uint64_t rng = 0;
  std::size_t batch_limit = 0;
  double bytes_per_ns = 0;  // -R, 0 = unlimited
  std::int64_t pace_start_ns = 0;
  std::uint64_t paced_bytes = 0;
  std::int64_t start_ns = 0;
  std::int64_t end_ns = 0;
  std::int64_t deadline_ns = 0;  // -T, 0 = none
  std::int64_t last_command_check_ns = 0;
  bool failed = false;
  strobix_counters counters;
  // Camera mode: commands other than resend requests go to the camera, which
  // also listens on extra_fds (its discovery sockets) and sets wake when a
  // command changed what it is to do next.
  camera *cam = nullptr;
  std::vector<int> extra_fds;
  bool wake = false;
};

// Set by the SIGINT and SIGTERM handlers; the loops end at their next check.
extern volatile std::sig_atomic_t stop_requested;

// Socket, buffers and batches. Prints the failure and returns false when the
// socket cannot be had.
bool open_stream(stream_state &st, const strobix_options &opts);
// The layout, buffers and batches for st.opts; the history starts empty.
void configure_stream(stream_state &st);
// Sends every block, then answers resend requests for the linger time.
void run_stream(stream_state &st);
// Caps the first sendings at this many bytes per nanosecond (0: no cap).
void set_pacing(stream_state &st, double bytes_per_ns);
// One block, every packet; false when the run stopped before it was out.
bool send_block(stream_state &st, const block_record &block);
// Waits for due while answering commands. False when the run is to stop;
// with wake_early, also returns (true) as soon as a command sets st.wake.
bool wait_until(stream_state &st, std::int64_t due, bool wake_early = false);
bool stopping(const stream_state &st, std::int64_t now);
void close_stream(stream_state &st);
void print_summary(std::FILE *out, const strobix_counters &c, double seconds);

// Shared between the sending (stream.cpp) and the resend answering (resend.cpp).
std::int64_t now_ns();
void remember_block(stream_state &st, const block_record &block);
// Takes every waiting datagram off the sockets and answers the resend
// requests (in camera mode, every command).
void take_commands(stream_state &st);
void answer_resend(stream_state &st, gvsp::bytes datagram, bool cut);
// camera.cpp: one datagram that came to the camera at local from `from`.
void camera_take(camera &cam, gvsp::bytes datagram, const sockaddr_in &from, in_addr local,
                 bool cut);
// Sends the batch's pending packets; returns how many went out.
std::size_t send_pending(stream_state &st, send_batch &batch);
// Datagrams of an unconnected socket name their destination.
void init_batch(send_batch &batch, std::size_t slots, const sockaddr_in *destination);
// Every batch's datagrams name the destination, or (connected) do not.
void address_batches(stream_state &st);
// socket.cpp: the sockets on the local address; prints why when they cannot be had.
bool open_sockets(stream_state &st);
void close_sockets(stream_state &st);
// Camera mode: the connected sender toward st.opts.destination, opened anew
// for every acquisition (falling back to the bound socket), and closed.
void connect_sender(stream_state &st);
void disconnect_sender(stream_state &st);
// The do-not-fragment bit on the stream's packets.
void set_do_not_fragment(stream_state &st, bool on);
