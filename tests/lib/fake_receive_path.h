// The engine's batch loop (zok::ReceiveLoop) driven without a network: a
// fake clock, and a fake receive path whose "kernel" holds datagrams from
// the time each arrives. For targets that link the library's objects.
//
//   testlib::FakeClock clock;
//   testlib::FakeReceivePath path(clock);
//   zok::ReceiveLoop loop(core, path, clock);
//   path.arrive(datagram, 3 * ms);   // held from 3 ms on
//   clock.now = 4 * ms;
//   loop.batch();                     // reads it, stamped 3 ms, then judges
//
// A batch reads what arrived by the clock's time of the read, in arrival
// order, at most zok::batch_size datagrams, and hands each to the core
// stamped with its arrival as a kernel stamp would be. `before_read` and
// `after_read` run just before and after the read: a thread that loses its
// CPU there is a clock moved on in them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <span>
#include <vector>

#include "receive_path_internal.h"

namespace testlib {

class FakeClock final : public zok::Clock {
 public:
  zok::Nanos monotonic() noexcept override {
    ++readings;
    return now;
  }
  zok::ClockReading read() noexcept override {
    ++readings;
    return {now, now + real_offset};
  }
  zok::Nanos now = 0;
  zok::Nanos real_offset = 1'700'000'000'000'000'000;  // real time minus monotonic
  int readings = 0;
};

class FakeReceivePath final : public zok::ReceivePath {
 public:
  explicit FakeReceivePath(FakeClock &clock) : clock_(clock) {}

  // Held by the "kernel" from `at` on; arrivals are kept in time order.
  void arrive(std::vector<std::byte> datagram, zok::Nanos at, std::uint32_t source = 0,
              std::uint16_t port = 0) {
    auto it = held_.end();
    while (it != held_.begin() && std::prev(it)->at > at) --it;
    held_.insert(it, Held{std::move(datagram), at, source, port});
  }
  std::size_t waiting() const { return held_.size(); }

  zok::Batch receive(zok::Reassembly &core, zok::ArrivalClock &arrivals) noexcept override {
    if (before_read) before_read();
    std::size_t n = 0;
    while (n < zok::batch_size && n < held_.size() && held_[n].at <= clock_.now) ++n;
    zok::Nanos latest = 0;
    if (n != 0) arrivals.taken();
    for (std::size_t i = 0; i < n; ++i) {
      const Held h = std::move(held_.front());
      held_.pop_front();
      const auto epoch = static_cast<std::uint64_t>(h.at + clock_.real_offset);
      latest = arrivals.arrival(epoch);
      core.on_packet(gvsp::bytes(h.datagram), zok::Arrival{latest, epoch, h.source, h.port});
    }
    if (after_read) after_read();
    return {n, latest};
  }
  std::span<const int> wait_fds() const noexcept override { return {}; }
  zok::PathKind kind() const noexcept override { return zok::PathKind::socket; }

  std::function<void()> before_read;
  std::function<void()> after_read;

 private:
  struct Held {
    std::vector<std::byte> datagram;
    zok::Nanos at;
    std::uint32_t source;
    std::uint16_t port;
  };
  FakeClock &clock_;
  std::deque<Held> held_;
};

}  // namespace testlib
