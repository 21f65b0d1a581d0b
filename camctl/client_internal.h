// One camera's control channel: commands over UDP with timeout and retries.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "description_internal.h"
#include "gvcp/gvcp.h"

struct client_options {
  int timeout_ms = 500;
  int retries = 3;                // sends after the first
  bool description_cache = true;  // false: --no-cache
};

struct gvcp_client {
  int fd = -1;
  sockaddr_in device{};
  std::uint16_t next_id = 1;
  client_options opts;
  std::string name;  // the camera as the user named it, for messages
  gvcp_client() = default;
  gvcp_client(const gvcp_client &) = delete;
  gvcp_client &operator=(const gvcp_client &) = delete;
  ~gvcp_client();
};

// Throws camctl_error when no socket can be had.
void open_client(gvcp_client &c, const sockaddr_in &device, const client_options &opts,
                 const std::string &name);
void close_client(gvcp_client &c);

// Sends the command (its request id is set here) and waits for the
// acknowledge of that id and code from the device, resending the same id on
// each timeout. Answers from other hosts or ports, with another id or code,
// and anything unparsable are ignored; PENDING_ACK extends the wait. Returns
// the acknowledge, its payload held in `buffer`. Throws camctl_error:
// exit_no_answer after the last retry, exit_access_denied for that status,
// exit_failure for any other error status.
gvcp::Ack transact_bytes(gvcp_client &c, std::uint16_t command, std::vector<std::byte> &buffer,
                         std::span<const std::byte> datagram_with_id_0);

std::vector<std::uint32_t> read_registers(gvcp_client &c, std::span<const std::uint32_t> addresses);
std::uint32_t read_register(gvcp_client &c, std::uint32_t address);
void write_register(gvcp_client &c, std::uint32_t address, std::uint32_t value);
void read_memory(gvcp_client &c, std::uint64_t address, std::span<std::byte> out);
void write_memory(gvcp_client &c, std::uint64_t address, std::span<const std::byte> data);

// The description's view of the device. What the camera refuses to read or
// write is a description_error: that feature's failure, not the command's.
struct device_port : register_port {
  gvcp_client &c;
  mutable int concatenation = -1;  // not asked yet
  explicit device_port(gvcp_client &client) : c(client) {}
  void read(std::uint64_t address, std::span<std::byte> out) override;
  void write(std::uint64_t address, std::span<const std::byte> data) override;
  bool reads_words_together() const override;
  void read_words(std::span<const std::uint64_t> addresses, std::span<std::byte> out) override;
};

// The device description as the camera serves it (unzipped), from the copy
// kept on this host when it is the same file (unless the client's options
// say not to). Throws.
std::string fetch_description(gvcp_client &c);
