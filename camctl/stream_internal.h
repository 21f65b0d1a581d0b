// Holding a camera streaming to a destination, shared by stream and snap.
#pragma once

#include <netinet/in.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>

#include "commands_internal.h"

// Set by SIGINT/SIGTERM; the stream's heartbeat loop ends when it is.
extern volatile std::sig_atomic_t stop_requested;

std::int64_t now_ms();
// Returns early when a signal arrives.
void sleep_ms(std::int64_t ms);

// What start_streaming sets up, keep_streaming keeps and stop_streaming
// undoes.
struct streaming {
  gvcp_client c;
  std::unique_ptr<device_port> port;
  std::unique_ptr<description> desc;
  in_addr toward_camera{};  // this host's address on the camera's side
  std::uint32_t heartbeat_ms = 3000;
  std::optional<control_hold> control;
  std::uint32_t scp = 0, scps = 0;  // as found: their flags are put back
  unsigned packet_size = 0;         // what the camera streams with
};

// Opens CAMERA (opts.args[0]) and its description; checks the channel.
void open_streaming(const camctl_options &opts, streaming &s);
// Takes control, checks the packet size toward `to`, points the channel
// there and starts acquisition.
void start_streaming(const camctl_options &opts, streaming &s, const sockaddr_in &to);
std::int64_t heartbeat_interval_ms(const streaming &s);
// One heartbeat; throws when the camera is gone or has dropped our control.
void keep_streaming(streaming &s);
// Stops acquisition, clears the destination, releases control; each step
// tried even when one before failed. Returns the exit status.
int stop_streaming(const camctl_options &opts, streaming &s);
