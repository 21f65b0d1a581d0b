// Sends malformed and foreign GVSP datagrams to a stream port beside a good
// sender, until SIGINT or SIGTERM, then prints what it sent by kind.
//
// The bytes are built here by hand rather than with gvsp/, so that a fault
// in the shared codec cannot shape the traffic meant to test it.
//
// Two kinds of target:
//  - block ids that the good stream has in flight right now (estimated from
//    its block rate and start time): only datagrams that are unambiguously
//    not GVSP a receiver could use (truncated headers and leaders, unknown
//    packet formats), which must leave the good blocks untouched;
//  - the same in-flight ids, with well-formed payload packets that
//    contradict the good block's geometry: a packet id past its end, a
//    packet shorter than a full one that is not its last, one longer than
//    a full one. A receiver must refuse them where it knows the block, and
//    drop them where the block is finished; they must never show in a
//    good block;
//  - with --forge, the same in-flight ids with payload packets that fit the
//    good block in every way but their data: only the sender's address
//    tells them apart, so they are sent only from another host (--from);
//  - a foreign block id stream, far from the good ids: payload and trailer
//    packets without a leader, packet ids past any buffer, oversize
//    datagrams. A receiver may open blocks for these (it might have lost the
//    leader), so they are reported apart, never counted as good blocks.
//
//   hostile_sender --to IP:PORT --rate DGRAMS_PER_S --block-rate BLOCKS_PER_S
//                  [--first-id N] [--foreign-base N] [--seed N] [--only KIND]
//                  [--from IP] [--forge]
//
// --from sends from one of this host's addresses other than the route's, to
// stand for a second host on the camera's link.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
  stop_requested = 1;
}

enum kind : int {
  random_bytes,
  truncated_header,
  truncated_leader,
  unknown_format,
  foreign_stream,
  past_end,
  oversize,
  error_answer,
  in_block_past_end,
  in_block_short,
  in_block_long,
  in_block_forged,
  kind_count
};

constexpr std::array<const char *, kind_count> kind_names = {
    "random",        "truncated_header", "truncated_leader", "unknown_format",    "foreign_stream",
    "past_end",      "oversize",         "error_answer",     "in_block_past_end", "in_block_short",
    "in_block_long", "in_block_forged"};

// Datagrams no receiver may accept whatever it does with leaderless blocks.
constexpr bool must_be_refused(int k) {
  return k == random_bytes || k == truncated_header || k == truncated_leader || k == unknown_format;
}

// 1.x payload packets carry this much data at the good stream's -k 1500.
constexpr std::size_t data_per_packet = 1500 - 20 - 8 - 8;
constexpr std::uint32_t foreign_packets_per_block = 45;
// The good stream's blocks (soak.py: 64 KiB): 45 payload packets, the last
// of them short, then the trailer.
constexpr std::size_t good_block_bytes = 65536;
constexpr std::uint32_t good_packets = (good_block_bytes + data_per_packet - 1) / data_per_packet;

struct options {
  sockaddr_in to{};
  sockaddr_in from{};
  double rate = 100;
  double block_rate = 100;
  std::uint32_t first_id = 1;
  std::uint32_t foreign_base = 45000;
  std::uint64_t seed = 1;
  int only = -1;  // one kind alone, to tell which kind a receiver mishandles
  bool forge = false;
};

void put16(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

// Standard (1.x) header: status, 16-bit block id, format, 24-bit packet id.
std::vector<std::uint8_t> header(std::uint32_t block_id, std::uint8_t format,
                                 std::uint32_t packet_id, std::size_t total) {
  std::vector<std::uint8_t> b(total < 8 ? 8 : total, 0);
  put16(b, 2, block_id);
  b[4] = format & 0x0F;
  b[5] = static_cast<std::uint8_t>(packet_id >> 16);
  b[6] = static_cast<std::uint8_t>(packet_id >> 8);
  b[7] = static_cast<std::uint8_t>(packet_id);
  return b;
}

// 16-bit ids skip 0, as a sender's do.
std::uint32_t wrap_id(std::uint64_t id) {
  return static_cast<std::uint32_t>((id - 1) % 65535 + 1);
}

bool parse_args(int argc, char **argv, options &o) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--forge") {
      o.forge = true;
      continue;
    }
    if (++i >= argc) return false;
    const char *value = argv[i];
    if (name == "--to") {
      std::string text = value;
      const auto colon = text.find(':');
      if (colon == std::string::npos) return false;
      o.to.sin_family = AF_INET;
      o.to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)));
      if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &o.to.sin_addr) != 1) return false;
    } else if (name == "--from") {
      o.from.sin_family = AF_INET;
      if (inet_pton(AF_INET, value, &o.from.sin_addr) != 1) return false;
    } else if (name == "--rate") {
      o.rate = std::atof(value);
    } else if (name == "--block-rate") {
      o.block_rate = std::atof(value);
    } else if (name == "--first-id") {
      o.first_id = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 0));
    } else if (name == "--foreign-base") {
      o.foreign_base = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 0));
    } else if (name == "--seed") {
      o.seed = std::strtoull(value, nullptr, 0);
    } else if (name == "--only") {
      for (int k = 0; k < kind_count; ++k)
        if (kind_names[k] == std::string(value)) o.only = k;
      if (o.only < 0) return false;
    } else {
      return false;
    }
  }
  return o.to.sin_port != 0 && o.rate > 0 && o.block_rate > 0;
}

class traffic {
 public:
  traffic(const options &o) : o_(o), rng_(o.seed) {}

  std::vector<std::uint8_t> next(int k, double elapsed_s) {
    switch (k) {
      case random_bytes: {
        // Status kept a success: with its error bit set a datagram reads as
        // a sender's answer about a block, the error_answer kind below.
        // A datagram naming a block that just ended reads as a late
        // duplicate, dropped uncounted; so random 1.x ids stay foreign.
        std::vector<std::uint8_t> b(pick(1, 1500));
        for (auto &byte : b) byte = static_cast<std::uint8_t>(rng_());
        b[0] &= 0x7F;
        if (b.size() >= 5 && (b[4] & 0x80) == 0) put16(b, 2, foreign_id());
        return b;
      }
      case truncated_header: {
        // A standard header cut short, or an extended one (EI set) cut
        // before its 20 bytes end.
        auto b = header(in_flight_id(elapsed_s), 3, pick(1, 45), 8);
        if (pick(0, 1) == 0) {
          b.resize(pick(1, 7));
        } else {
          b[4] |= 0x80;
          b.resize(pick(8, 19));
        }
        return b;
      }
      case truncated_leader: {
        // A raw-data leader needs 20 bytes after the header.
        auto b = header(in_flight_id(elapsed_s), 1, 0, 8 + pick(0, 11));
        if (b.size() >= 12) put16(b, 10, 2);
        return b;
      }
      case unknown_format: {
        // Formats 9 to 15 are not defined; 0 is not one either.
        const std::uint8_t format = pick(0, 7) == 0 ? 0 : static_cast<std::uint8_t>(pick(9, 15));
        return header(in_flight_id(elapsed_s), format, pick(0, 46), 8 + pick(0, 1464));
      }
      case foreign_stream: {
        // Payload packets 1..45 then the trailer, block after block, with
        // no leader ever.
        const std::uint32_t packet = foreign_packet_ + 1;
        foreign_packet_ = (foreign_packet_ + 1) % (foreign_packets_per_block + 1);
        const std::uint32_t id = foreign_id();
        if (packet > foreign_packets_per_block) {
          auto b = header(id, 2, packet, 8 + 4);
          put16(b, 10, 2);
          if (++foreign_block_ >= 1000) foreign_block_ = 0;
          return b;
        }
        return header(id, 3, packet, 8 + data_per_packet);
      }
      case past_end: {
        // Far past any buffer the receiver could have, up to the largest
        // 24-bit id.
        const std::uint32_t packet = pick(0, 1) == 0 ? 0xFFFFFF : pick(0x10000, 0xFFFFFE);
        return header(foreign_id(), 3, packet, 8 + data_per_packet);
      }
      case oversize: {
        // Longer than any packet of the stream, up to the largest UDP
        // datagram, at the start, middle or end of the foreign block.
        const std::array<std::uint32_t, 3> packets = {1, 23, foreign_packets_per_block};
        return header(foreign_id(), 3, packets[pick(0, 2)], 8 + pick(1501, 65507 - 8));
      }
      case in_block_past_end:
        return header(in_flight_id(elapsed_s), 3, pick(good_packets + 2, good_packets + 1000),
                      8 + data_per_packet);
      case in_block_short:
        return header(in_flight_id(elapsed_s), 3, pick(1, good_packets - 1),
                      8 + pick(1, data_per_packet - 1));
      case in_block_long:
        return header(in_flight_id(elapsed_s), 3, pick(1, good_packets),
                      8 + pick(data_per_packet + 1, 8000));
      case in_block_forged: {
        auto b = header(in_flight_id(elapsed_s), 3, pick(1, good_packets - 1), 8 + data_per_packet);
        for (std::size_t at = 8; at < b.size(); ++at) b[at] = static_cast<std::uint8_t>(rng_());
        return b;
      }
      case error_answer: {
        // Header-only error packets, as a sender answers a resend request,
        // about foreign blocks that no receiver asked for.
        const std::array<std::uint32_t, 5> statuses = {0x800C, 0x800D, 0x8010, 0x8011, 0x8012};
        auto b = header(foreign_id(), 3, pick(1, 45), 8);
        put16(b, 0, statuses[pick(0, 4)]);
        return b;
      }
    }
    return {};
  }

  int pick_kind() {
    if (o_.only >= 0) return o_.only;
    return static_cast<int>(pick(0, o_.forge ? kind_count - 1 : in_block_forged - 1));
  }

 private:
  std::uint32_t pick(std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng_);
  }

  std::uint32_t in_flight_id(double elapsed_s) {
    const double estimate = o_.first_id + elapsed_s * o_.block_rate;
    const double id = estimate + static_cast<double>(pick(0, 4)) - 2.0;
    return wrap_id(id < 1 ? 1 : static_cast<std::uint64_t>(id));
  }

  std::uint32_t foreign_id() const { return wrap_id(o_.foreign_base + foreign_block_); }

  options o_;
  std::mt19937_64 rng_;
  std::uint32_t foreign_packet_ = 0;
  std::uint32_t foreign_block_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
  options o;
  if (!parse_args(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s --to IP:PORT --rate DGRAMS_PER_S --block-rate BLOCKS_PER_S "
                 "[--first-id N] [--foreign-base N] [--seed N] [--only KIND] [--from IP] "
                 "[--forge]\n",
                 argv[0]);
    return 255;
  }
  struct sigaction action = {};
  action.sa_handler = request_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("socket");
    return 1;
  }
  if (o.from.sin_family == AF_INET &&
      bind(fd, reinterpret_cast<const sockaddr *>(&o.from), sizeof o.from) != 0) {
    std::perror("bind");
    return 1;
  }
  traffic t(o);
  std::array<std::uint64_t, kind_count> sent{};
  std::uint64_t send_errors = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto interval = std::chrono::duration<double>(1.0 / o.rate);
  auto due = start;
  while (!stop_requested) {
    const auto now = std::chrono::steady_clock::now();
    if (now < due) {
      // Sleep in short steps so the rate holds without burning a core.
      const auto wait =
          std::min<std::chrono::steady_clock::duration>(due - now, std::chrono::milliseconds(5));
      usleep(static_cast<useconds_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(wait).count()));
      continue;
    }
    due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const int k = t.pick_kind();
    const auto bytes = t.next(k, elapsed);
    if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&o.to),
               sizeof o.to) == static_cast<ssize_t>(bytes.size())) {
      ++sent[k];
    } else {
      ++send_errors;
    }
  }
  close(fd);

  std::uint64_t total = 0;
  std::uint64_t refusable = 0;
  for (int k = 0; k < kind_count; ++k) {
    total += sent[k];
    if (must_be_refused(k)) refusable += sent[k];
  }
  std::printf("hostile total=%llu must_refuse=%llu send_errors=%llu",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(refusable),
              static_cast<unsigned long long>(send_errors));
  for (int k = 0; k < kind_count; ++k)
    std::printf(" %s=%llu", kind_names[k], static_cast<unsigned long long>(sent[k]));
  std::printf("\n");
  return 0;
}
