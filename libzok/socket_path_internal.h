// The UDP socket path: one recvmmsg per batch, each datagram stamped by the
// kernel as it arrived.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "counters_internal.h"
#include "receive_path_internal.h"

namespace zok {

class SocketPath final : public ReceivePath {
 public:
  // Reads `fd`, which stays the stream's; null when out of memory.
  static std::unique_ptr<SocketPath> make(int fd, gvsp::HeaderKind kind,
                                          Counters &counters) noexcept;

  Batch receive(Reassembly &core, ArrivalClock &arrivals) noexcept override;
  // One datagram at most, for a path that knows one waits here.
  Batch receive_one(Reassembly &core, ArrivalClock &arrivals) noexcept;
  std::span<const int> wait_fds() const noexcept override { return {&fd_, 1}; }
  PathKind kind() const noexcept override { return PathKind::socket; }
  Counters &counters() const noexcept { return counters_; }
  // Off while another path takes the stream and the socket's filter drops
  // it here: the socket's drop count then says nothing about the stream.
  // Back on, it counts from the socket's total at that moment.
  void count_drops(bool on) noexcept;

 private:
  SocketPath(int fd, gvsp::HeaderKind kind, Counters &counters) noexcept
      : fd_(fd), kind_(kind), counters_(counters) {}
  // The socket's running total of datagrams the kernel dropped, as far as
  // it has moved on from what was counted.
  void note_drops(std::uint32_t total) noexcept;
  Batch receive_up_to(Reassembly &core, ArrivalClock &arrivals, std::size_t most) noexcept;
  bool drops_total(std::uint32_t &total) const noexcept;
  void read_drops() noexcept;

  int fd_;
  gvsp::HeaderKind kind_;
  Counters &counters_;
  std::uint32_t last_drops_ = 0;
  bool count_drops_ = true;
  bool idle_ = false;  // the last batch came back empty

  // Any UDP payload fits a slot.
  static constexpr std::size_t slot_size = 65536;
  struct alignas(cmsghdr) Control {
    char bytes[128];
  };
  std::unique_ptr<std::byte[]> slots_;
  std::array<mmsghdr, batch_size> msgs_{};
  std::array<std::array<iovec, 3>, batch_size> iov_{};
  std::array<sockaddr_in, batch_size> peers_{};
  std::array<Control, batch_size> control_{};
  std::array<Prediction, batch_size> predictions_{};
  std::array<std::uint8_t, batch_size> verdict_{};
  std::array<std::uint64_t, batch_size> epoch_{};
};

}  // namespace zok
