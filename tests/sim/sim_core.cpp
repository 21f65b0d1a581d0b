// Deterministic simulation of the reassembly core against a reference model.
//
// A scenario is one seed: a sender (blocks of every payload type, ids of
// both widths and their wraps, restarts, packet-size changes, triggered
// pauses, short line-scan frames, resend answers of every kind), a network
// (loss, duplicates, reordering, delay, strays) and a receiver that reads in
// batches and is sometimes paused with a backlog. The core runs on a fake
// clock through core_adapter.h, and what it did is checked against what the
// sender sent (check()). A failure is shrunk to a short sequence of
// datagrams and ticks and printed with the command line that replays it.
//
//   sim_core [--count N | --seconds S] [--first SEED] [--family NAME] [--show N]
//   sim_core --seed SEED [--family NAME]     one scenario, printed in full
//   sim_core --seeds SEED,SEED,...           these scenarios, as a run
// --only P,P,...: check only the properties whose names begin so (e.g.
// "whole-bytes,twice"); the others are not looked at.
// --show: how many failures of each property are printed shrunk (1); 0
// lists each failing seed with its properties, unshrunk.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <queue>
#include <set>
#include <string>
#include <vector>

#include "core_adapter.h"

namespace sim {
namespace {

using gvsp::HeaderKind;
using zok::never;
constexpr Nanos us = 1'000;
constexpr Nanos ms = 1'000'000;

std::uint64_t mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

struct Rng {
  std::uint64_t s;
  std::uint64_t next() { return mix(s += 0x9E3779B97F4A7C15ull); }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  template <class T>
  T in(T lo, T hi) {
    return hi <= lo ? lo : lo + static_cast<T>(below(static_cast<std::uint64_t>(hi - lo) + 1));
  }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }
};

// Byte `offset` of a block depends on the block (its salt) and on the
// position, so data in the wrong place, of another block or of another run
// of the sender never passes for the right bytes.
void fill(std::byte *out, std::uint64_t salt, std::uint64_t offset, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const std::uint64_t o = offset + i;
    std::uint64_t w = mix(salt ^ (o >> 3) * 0xD6E8FEB86659FD93ull) >> (o & 7) * 8;
    for (unsigned k = o & 7; k < 8 && i < n; ++k, ++i, w >>= 8) out[i] = std::byte(w & 0xFF);
  }
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// ---------------------------------------------------------------------------
// Scenario families: what the sender, the network and the receiver do.

enum Flags : unsigned {
  shuffle = 1,         // the sender sends each block's payload packets in random order
  zero_ts = 2,         // the sender leaves leader timestamps at 0
  restart_late = 4,    // one restart after more blocks than the core remembers
  scatter = 8,         // always the socket loop's in-place receive, packets up to 9000
  app_slow = 16,       // the program holds blocks a while, with few buffers
  check_clean = 32,    // answers always come: every lost packet of a known block is asked for
  check_reorder = 64,  // no loss: requests for packets that were only late stay rare
  stall = 128          // the sender is held off its CPU in the middle of blocks
};

struct Family {
  const char *name;
  int blocks_lo, blocks_hi;
  std::uint32_t packets_hi;
  double unsized, all_in, linescan, psize_change, restart, restart_mid, trigger, loss;
  int burst;
  double dup, late, answer_loss, answer_late, not_yet, stray, pauses;
  int backlog;  // datagrams the socket holds while the receiver is paused (0: all)
  unsigned flags;
};

// clang-format off
constexpr Family families[] = {
  //            blocks  pkts unsized all-in line psize  restart mid trig  loss burst dup  late
  //            answers: loss late 0x8010   stray pauses backlog flags
  {"steady",    8, 30,  24,  .3, .1,  .05, .05,   0,   0,  .05,  .02, 2,  .01, .005,
                .02, .05, .05,  0,   .3, 0,   0},
  {"lossy",     8, 30,  32,  .3, .05, .05, .1,    0,   0,  .05,  .15, 4,  .03, .02,
                .2,  .1,  .1,   0,   .3, 0,   0},
  {"reorder",  30, 40,  48,  .2, 0,   0,   0,     0,   0,  0,    0,   1,  0,   0,
                0,   0,   0,    0,   0,  0,   shuffle | check_reorder},
  {"strays",    8, 30,  24,  .4, .05, .05, .05,   0,   0,  .05,  .03, 2,  .01, .005,
                .05, .05, .05,  .08, .2, 0,   0},
  {"restart",  10, 30,  24,  .3, .05, .05, .1,    .08, .5, .05,  .03, 2,  .01, .005,
                .05, .05, .05,  .03, .2, 0,   0},
  {"pause",    15, 40,  32,  .3, .05, 0,   .1,    .02, .5, 0,    .01, 1,  0,   0,
                0,   0,   0,    0,   2,  200, app_slow},
  {"trigger",   5, 20,  24,  .3, 0,   .1,  0,     0,   0,  .7,   .05, 3,  0,   0,
                0,   0,   0,    0,   0,  0,   check_clean | stall},
  {"linescan",  8, 25,  32,  0,  0,   .7,  0,     0,   0,  .1,   .03, 2,  .01, 0,
                .05, 0,   0,    0,   0,  0,   0},
  {"zerots",    8, 30,  24,  .3, .1,  0,   .1,    0,   0,  .05,  .03, 2,  0,   0,
                .05, 0,   .05,  0,   .2, 0,   zero_ts},
  {"psize",    10, 30,  16,  .3, 0,   0,   .6,    0,   0,  0,    .02, 1,  0,   .02,
                0,   0,   0,    0,   0,  0,   scatter},
  {"long",     70, 90,  4,   .3, .1,  0,   0,     0,   .3, 0,    .05, 1,  0,   0,
                0,   0,   0,    0,   0,  0,   restart_late},
  {"mixed",     8, 40,  32,  .3, .05, .05, .1,    .03, .5, .1,   .05, 4,  .02, .01,
                .1,  .05, .05,  .03, .5, 300, app_slow},
};
// clang-format on

// ---------------------------------------------------------------------------
// What the sender sent, and where each datagram came from.

struct Block {
  int run = 0;
  std::uint64_t id = 0, timestamp = 0, salt = 0;
  std::uint16_t type = 0;  // as on the wire, chunk bit included
  std::uint32_t size = 0;  // data bytes sent
  std::uint32_t psize = 0;
  std::uint32_t packets = 0;  // payload packets; the trailer is packets + 1
  std::uint32_t size_x = 0, lines = 0, lines_announced = 0;
  bool all_in = false, sized = false, short_frame = false, finished = true;
  std::vector<Nanos> sent_at;  // per packet id; `never`: not sent
  std::uint32_t last_id() const { return all_in ? 0 : packets + 1; }
  std::uint64_t room() const {
    return short_frame ? std::uint64_t{size_x} * lines_announced : size;
  }
  std::uint32_t length(std::uint32_t p) const { return std::min(psize, size - (p - 1) * psize); }
};

// The sender's own first, then in the order of the harm they can do.
enum class Origin : std::uint8_t {
  sent,
  copy,
  answer,
  other_port,
  other_host,
  past_end,
  over_long,
  unknown_format
};
constexpr const char *origin_names[] = {"sender",     "copy",          "answer",
                                        "other-port", "other-host",    "past-the-end",
                                        "over-long",  "unknown-format"};

struct Tag {
  int block = -1;  // the sender's block it names, -1 none
  std::uint32_t packet = 0;
  Origin origin = Origin::sent;
  bool data = true;  // false: a header-only answer (0x800C, 0x8010)
};
bool genuine(const Tag &t) {
  return t.block >= 0 && t.origin <= Origin::answer;
}

struct Step {
  Nanos t = 0;
  int datagram = -1;  // -1: a tick at t
};

struct Scenario {
  std::uint64_t seed = 0;
  const Family *family = nullptr;
  Settings settings;
  bool scatter = false;
  Nanos poll = 0;     // the program's own polls; 0: only the core's deadlines wake it
  Nanos latency = 0;  // the receiver wakes up to this long after a datagram
  Nanos pace = 0, base = 0, jitter = 0, late_max = 0;
  int burst = 1, history = 0;
  bool unavailable = false;  // the sender answers 0x800C for what it no longer holds
  std::uint32_t host = 0;
  std::vector<std::uint16_t> ports;  // per run of the sender
  std::vector<Block> blocks;
  std::vector<std::pair<Nanos, Nanos>> pauses;
  std::vector<Datagram> datagrams;
  std::vector<Tag> tags;
  std::vector<Step> trace;
};

gvsp::Leader leader_of(const Block &b) {
  gvsp::Leader l;
  l.payload_type = b.type;
  l.timestamp = b.timestamp;
  l.pixel_format = gvsp::pixel_format_mono8;
  l.size_x = b.size_x;
  l.size_y = b.lines_announced;
  l.payload_data_size = b.sized ? b.size : 0;
  if (b.type == gvsp::payload_type_file) l.file_name = "frame.bin";
  return l;
}

gvsp::Trailer trailer_of(const Block &b) {
  gvsp::Trailer t;
  t.payload_type = b.type;
  t.size_y = b.lines;
  t.chunk_data_payload_length = b.size;
  return t;
}

gvsp::Header header(const Block &b, HeaderKind kind, std::uint32_t packet,
                    std::uint16_t status = 0) {
  gvsp::Header h;
  h.kind = kind;
  h.block_id = b.id;
  h.packet_id = packet;
  h.status = status;
  return h;
}

// Packet p of block b (its data from payload packet p), under header h.
Bytes packet_bytes(const Block &b, std::uint32_t p, gvsp::Header h) {
  Bytes out(b.size + 256);
  const std::size_t hn = gvsp::header_size(h.kind);
  std::size_t n = 0;
  if (gvsp::status_is_error(h.status)) {
    h.format = static_cast<std::uint8_t>(p == 0             ? gvsp::Format::leader
                                         : p == b.last_id() ? gvsp::Format::trailer
                                                            : gvsp::Format::payload);
    n = gvsp::build_error(out, h, h.status);
  } else if (b.all_in) {
    Bytes data(b.size);
    fill(data.data(), b.salt, 0, b.size);
    n = gvsp::build_all_in(out, h, leader_of(b), trailer_of(b), data);
  } else if (p == 0) {
    n = gvsp::build_leader(out, h, leader_of(b));
  } else if (p == b.last_id()) {
    n = gvsp::build_trailer(out, h, trailer_of(b));
  } else {
    h.format = static_cast<std::uint8_t>(gvsp::Format::payload);
    n = gvsp::build_header(out, h) + b.length(p);
    fill(out.data() + hn, b.salt, std::uint64_t{p - 1} * b.psize, b.length(p));
  }
  out.resize(n);
  return out;
}

// ---------------------------------------------------------------------------
// Making a scenario: the sender's blocks and the receiver's circumstances.

std::uint32_t pick_psize(Rng &r, HeaderKind kind, bool big) {
  static constexpr std::size_t packet_sizes[] = {100, 300, 576, 1500, 1500, 4000, 9000};
  const std::size_t packet = packet_sizes[big ? r.in(5, 6) : r.below(5)];
  return static_cast<std::uint32_t>(gvsp::packet_data_capacity(packet, kind));
}

void shape_block(Rng &r, const Family &f, Block &b) {
  const std::uint32_t cap = std::max<std::uint32_t>(1, std::min(f.packets_hi, 65536 / b.psize));
  // Raw among the types without a size: a sender that leaves it at 0.
  static constexpr std::uint16_t unsized_types[] = {
      gvsp::payload_type_chunk,
      gvsp::payload_type_extended_chunk,
      gvsp::payload_type_h264,
      gvsp::payload_type_multizone,
      0x8001,
      gvsp::payload_type_image | gvsp::payload_type_chunk_bit,
      gvsp::payload_type_raw};
  static constexpr std::uint16_t sized_types[] = {gvsp::payload_type_image, gvsp::payload_type_raw,
                                                  gvsp::payload_type_file, gvsp::payload_type_jpeg};
  b.short_frame = r.chance(f.linescan);
  b.sized = b.short_frame || !r.chance(f.unsized);
  b.type = b.short_frame ? gvsp::payload_type_image
           : b.sized     ? sized_types[r.below(std::size(sized_types))]
                         : unsized_types[r.below(std::size(unsized_types))];
  const std::uint16_t base = gvsp::payload_type_base(b.type);
  b.size = (r.in<std::uint32_t>(1, cap) - 1) * b.psize + r.in<std::uint32_t>(1, b.psize);
  if (base == gvsp::payload_type_image || base == gvsp::payload_type_extended_chunk) {
    b.size_x = r.in<std::uint32_t>(8, 2 * b.psize);
    b.lines = std::max<std::uint32_t>(1, std::min(b.size, cap * b.psize) / b.size_x);
    // A line-scan camera's trailer says how many lines it really sent.
    b.lines_announced = b.lines + (b.short_frame ? r.in<std::uint32_t>(1, 2 * b.lines) : 0);
    b.size = b.size_x * b.lines + (b.type != gvsp::payload_type_image ? r.in(8u, 64u) : 0);
  }
  if (!b.short_frame && gvsp::payload_type_known(b.type) && r.chance(f.all_in)) {
    b.all_in = true;
    b.size = r.in<std::uint32_t>(1, std::max<std::uint32_t>(1, b.psize / 2));
    b.lines = b.lines_announced = 1;
    b.size_x = b.size;
  }
  b.packets = b.all_in ? 0 : (b.size + b.psize - 1) / b.psize;
  b.sent_at.assign(b.last_id() + 1, never);
}

struct Emission {
  Nanos t;
  int block;
  std::uint32_t packet;
};

void plan_sender(Scenario &sc, Rng &r, std::vector<Emission> &out) {
  const Family &f = *sc.family;
  const Settings &s = sc.settings;
  const HeaderKind kind = s.kind;
  std::uint64_t id = r.chance(.2) ? gvsp::max_block_id(kind) - r.below(8)
                                  : r.in<std::uint64_t>(1, gvsp::max_block_id(kind) - 1);
  auto new_port = [&] {
    std::uint16_t p;
    do p = htons(r.in<std::uint16_t>(20000, 60000));
    while (std::find(sc.ports.begin(), sc.ports.end(), p) != sc.ports.end());
    sc.ports.push_back(p);
  };
  new_port();
  const bool stamps = (f.flags & zero_ts) == 0;
  std::uint64_t ts = stamps ? r.next() | 1 : 0;
  std::uint32_t psize = pick_psize(r, kind, (f.flags & scatter) != 0);
  const int count = r.in(f.blocks_lo, f.blocks_hi);
  const int late_restart = (f.flags & restart_late) != 0 ? r.in(66, count - 5) : -1;
  Nanos t = ms;
  for (int i = 0; i < count; ++i) {
    if (i == late_restart || (i > 0 && r.chance(f.restart))) {
      Block &last = sc.blocks.back();
      if (last.last_id() > 0 && r.chance(f.restart_mid)) {
        // The sender restarts during the last block and never finishes it.
        const std::size_t n = last.last_id() + 1;
        out.resize(out.size() - (n - r.in<std::size_t>(1, n - 1)));
        std::fill(last.sent_at.begin(), last.sent_at.end(), never);
        for (std::size_t k = out.size(); k-- > 0 && out[k].block == i - 1;) {
          last.sent_at[out[k].packet] = out[k].t;
        }
        last.finished = false;
      }
      // A restarted sender counts from 1 with new timestamps. On a new port
      // the old one falls silent first, for longer than a block timeout and
      // than anything of the old run still on its way (a sender started
      // again); on the same port it may go on at once.
      if (r.chance(.7)) {
        new_port();
        t += 2 * s.block_timeout + 2 * sc.late_max + (s.num_retries + 1) * s.resend_timeout;
      } else {
        sc.ports.push_back(sc.ports.back());
      }
      id = 1;
      if (stamps) ts = r.next() | 1;
      t += r.in<Nanos>(200 * us, 5 * ms);
    }
    if (r.chance(f.psize_change)) psize = pick_psize(r, kind, psize < 1000 && r.chance(.3));
    Block b;
    b.run = static_cast<int>(sc.ports.size()) - 1;
    b.id = id;
    b.timestamp = ts;
    b.salt = r.next();
    b.psize = psize;
    shape_block(r, f, b);
    if (r.chance(f.trigger)) t += s.block_timeout + r.in<Nanos>(1, 2 * s.block_timeout);
    std::vector<std::uint32_t> order(b.last_id() + 1);
    for (std::uint32_t p = 0; p < order.size(); ++p) order[p] = p;
    if ((f.flags & shuffle) != 0 && b.packets > 1) {
      for (std::uint32_t k = b.packets; k > 1; --k) std::swap(order[k], order[r.in(1u, k)]);
    }
    // Held off its CPU after sending packet `held` of the block: longer than
    // the core waits before asking for a tail, shorter than a block timeout.
    const std::uint32_t held = (f.flags & stall) != 0 && b.last_id() > 0 && r.chance(.3)
                                   ? r.in(0u, b.last_id() - 1)
                                   : b.last_id();
    for (std::uint32_t k = 0; k < order.size(); ++k) {
      b.sent_at[order[k]] = t;
      out.push_back({t, i, order[k]});
      t += sc.pace;
      if (k == held && k != b.last_id()) {
        const Nanos lo = s.resend_timeout + 2 * ms;
        t += r.in<Nanos>(lo, std::max(lo, s.block_timeout / 2));
      }
    }
    sc.blocks.push_back(std::move(b));
    id = gvsp::block_id_next(id, kind);
    if (stamps) ts += r.in<std::uint64_t>(1000, 100000);
    t += r.in<Nanos>(100 * us, 20 * ms);
  }
}

Scenario make_scenario(std::uint64_t seed, const Family *only, Rng &r,
                       std::vector<Emission> &emissions) {
  Scenario sc;
  sc.seed = seed;
  sc.family = &families[r.below(std::size(families))];
  if (only != nullptr) sc.family = only;
  const Family &f = *sc.family;
  const bool strict = (f.flags & (check_clean | check_reorder)) != 0;
  Settings &s = sc.settings;
  s.kind = r.chance(.5) ? HeaderKind::extended : HeaderKind::standard;
  s.resend = strict || r.chance(.9);
  s.num_retries = strict ? r.in(1u, 3u) : r.in(0u, 4u);
  s.block_timeout = r.in<Nanos>(40, 400) * ms;
  // A reorder window bounded by a fraction of the resend timeout must be
  // able to cover the reordering family's shuffled blocks (under 2 ms).
  s.resend_timeout = r.in<Nanos>((f.flags & check_reorder) != 0 ? 10 : 2, 20) * ms;
  s.booo = strict || r.chance(.7) ? ZOK_BOOO_ALWAYS_RETURN : r.in(1u, 4u);
  s.drop_incomplete = !strict && r.chance(.2);
  sc.host = htonl(0x0A000002u + static_cast<std::uint32_t>(r.below(200)));
  s.sender_host = r.chance(.2) ? sc.host : 0;
  sc.scatter = (f.flags & scatter) != 0 || r.chance(.5);
  sc.poll = r.chance(.5) ? 0 : r.in<Nanos>(1, 20) * ms;
  sc.latency = r.chance(.3) ? 0 : r.in<Nanos>(1, 300) * us;
  // The reordering family: 300 Mbit/s of 1500-byte packets.
  sc.pace = (f.flags & shuffle) != 0 ? 40 * us : r.in<Nanos>(2, 50) * us;
  sc.base = r.in<Nanos>(20, 400) * us;
  static constexpr Nanos jitters[] = {0, 5 * us, 50 * us, 300 * us};
  sc.jitter = (f.flags & shuffle) != 0 ? 0 : jitters[r.below(4)];
  sc.late_max = r.in<Nanos>(ms, s.block_timeout);
  sc.burst = r.in(1, f.burst);
  sc.history = r.in(4, 64);
  sc.unavailable = r.chance(.5);
  plan_sender(sc, r, emissions);
  std::uint64_t room = 0;
  std::uint32_t widest = 0;
  for (const Block &b : sc.blocks) {
    room = std::max(room, b.room());
    widest = std::max(widest, b.psize);
  }
  s.buffer_size = room + 4 * widest;
  // Now and then buffers too small for the largest blocks, which must then
  // end with an overrun rather than write past them.
  if (!strict && r.chance(.03)) s.buffer_size = std::max<std::uint64_t>(room / 2, 64);
  if ((f.flags & app_slow) != 0 && r.chance(.5)) {
    s.buffers = r.in(2, 4);
    s.app_delay = r.in<Nanos>(1, 30) * ms;
  }
  const Nanos end = emissions.back().t;
  for (int n = static_cast<int>(f.pauses + r.chance(f.pauses - static_cast<int>(f.pauses))); n > 0;
       --n) {
    const Nanos start = r.in<Nanos>(0, end);
    sc.pauses.emplace_back(start, start + r.in<Nanos>(ms, 2 * s.block_timeout));
  }
  std::sort(sc.pauses.begin(), sc.pauses.end());
  return sc;
}

// ---------------------------------------------------------------------------
// The live run: sender, network and receiver around the core.

// The stream has ended: the core's own timers must bring it to rest.
void settle(Seam &seam, Nanos last) {
  for (int i = 0; i < 1000 && seam.next_deadline() != never; ++i) {
    last = std::max(last + ms, seam.next_deadline());
    seam.tick(last);
  }
}

class Live {
 public:
  Live(Scenario &sc, Rng &r) : sc_(sc), r_(r), f_(*sc.family), seam_(sc.settings) {}

  void run(const std::vector<Emission> &emissions) {
    for (const Emission &e : emissions) send_original(e);
    Nanos last = 0;
    std::size_t pause = 0;
    Nanos next_poll = sc_.poll != 0 ? sc_.poll : never;
    // Wakes since a datagram last came: thousands at most for a trigger
    // pause polled every millisecond.
    for (int idle = 0;; ++idle) {
      const Nanos arrival =
          pending_.empty() ? never : pending_.top().at + r_.in<Nanos>(0, sc_.latency);
      // A core whose deadline never passes is told by the check (stuck).
      if ((arrival == never && seam_.next_deadline() == never) || idle > 20000) break;
      // A deadline the last tick left in the past has the worker spin.
      Nanos wake = std::min({arrival, seam_.next_deadline(), next_poll});
      if (wake <= last) wake = last + 50 * us;
      while (pause < sc_.pauses.size() && sc_.pauses[pause].second <= wake) ++pause;
      if (pause < sc_.pauses.size() && sc_.pauses[pause].first <= wake) {
        // Off its CPU: the socket keeps what fits, the kernel drops the rest.
        wake = sc_.pauses[pause++].second;
        std::vector<Pending> kept;
        for (; !pending_.empty() && pending_.top().at < wake; pending_.pop()) {
          if (f_.backlog == 0 || static_cast<int>(kept.size()) < f_.backlog) {
            kept.push_back(pending_.top());
          }
        }
        for (const Pending &p : kept) pending_.push(p);
      }
      if (receive(wake)) idle = 0;
      last = wake;
      if (next_poll <= wake) next_poll = wake + sc_.poll;
    }
    settle(seam_, last);
  }
  Seam &seam() { return seam_; }

 private:
  struct Pending {
    Nanos at;
    std::uint64_t seq;
    int datagram;
    bool operator>(const Pending &o) const { return at != o.at ? at > o.at : seq > o.seq; }
  };

  void queue(Bytes bytes, Tag tag, Nanos at, std::uint32_t host, std::uint16_t port) {
    // A sender restarted on the same port: what is still on its way from
    // before is indistinguishable from the new run's packets, so none of it
    // arrives once the new run has begun.
    if (tag.block >= 0 && port == sc_.ports[sc_.blocks[tag.block].run]) {
      for (std::size_t i = tag.block + 1; i < sc_.blocks.size(); ++i) {
        const Block &later = sc_.blocks[i];
        if (later.run != sc_.blocks[tag.block].run && sc_.ports[later.run] == port &&
            at >= later.sent_at[0]) {
          return;
        }
      }
    }
    sc_.datagrams.push_back({std::move(bytes), at, host, port});
    sc_.tags.push_back(tag);
    pending_.push({at, seq_++, static_cast<int>(sc_.datagrams.size() - 1)});
  }
  Nanos delay() { return sc_.base + r_.in<Nanos>(0, sc_.jitter); }

  // One datagram from the sender through the network.
  void transmit(const Bytes &bytes, Tag tag, Nanos sent, std::uint16_t port) {
    const bool answer = tag.origin == Origin::answer;
    if (burst_left_ > 0) {
      --burst_left_;
      return;
    }
    if (r_.chance(answer ? f_.answer_loss : f_.loss)) {
      burst_left_ = r_.in(0, sc_.burst - 1);
      return;
    }
    const Nanos late =
        r_.chance(answer ? f_.answer_late : f_.late)
            ? (answer ? sc_.settings.resend_timeout : 0) + r_.in<Nanos>(0, sc_.late_max)
            : 0;
    queue(bytes, tag, sent + delay() + late, sc_.host, port);
    if (!r_.chance(f_.dup)) return;
    if (!answer) tag.origin = Origin::copy;
    queue(bytes, tag, sent + delay() + r_.in<Nanos>(0, 2 * sc_.late_max), sc_.host, port);
  }

  void send_original(const Emission &e) {
    const Block &b = sc_.blocks[e.block];
    const Bytes bytes = packet_bytes(b, e.packet, header(b, sc_.settings.kind, e.packet));
    transmit(bytes, {e.block, e.packet, Origin::sent}, e.t, sc_.ports[b.run]);
    if (r_.chance(f_.stray)) stray(e, bytes);
  }

  // A datagram that is not the sender's, or not as it sent it, near one of
  // its packets (before or after it).
  void stray(const Emission &e, Bytes d) {
    const Block &b = sc_.blocks[e.block];
    const HeaderKind kind = sc_.settings.kind;
    const bool payload = !b.all_in && e.packet != 0 && e.packet != b.last_id();
    const std::uint32_t p = payload ? e.packet : 1;
    const auto origin = static_cast<Origin>(r_.in(3, 7));
    std::uint32_t host = sc_.host;
    std::uint16_t port = sc_.ports[b.run];
    // From the sender's own port, a datagram naming an id that an earlier
    // run there also sent is indistinguishable from a late packet of that
    // run's block: no engine could refuse it.
    if (origin == Origin::past_end || origin == Origin::over_long) {
      for (const Block &other : sc_.blocks) {
        if (&other != &b && other.id == b.id && sc_.ports[other.run] == port) return;
      }
    }
    Block fake = b;  // the same geometry, other bytes
    fake.salt = r_.next();
    fake.timestamp = r_.next();
    fake.all_in = false;
    fake.packets = std::max(1u, b.packets);
    switch (origin) {
      case Origin::other_host:  // anything, even leaders
        host ^= htonl(r_.in(1u, 255u) << 8);
        fake.id = r_.chance(.5) ? b.id : gvsp::block_id_next(b.id, kind);
        [[fallthrough]];
      case Origin::other_port: {  // no leaders from the sender's host: they would be a restart
        if (origin == Origin::other_port) {
          do port = htons(r_.in<std::uint16_t>(1024, 65535));
          while (std::find(sc_.ports.begin(), sc_.ports.end(), port) != sc_.ports.end());
        } else {
          port = htons(r_.in<std::uint16_t>(1024, 65535));
        }
        const std::uint32_t at = r_.chance(.5) ? p : fake.packets + r_.in(1u, 3u);
        switch (r_.below(origin == Origin::other_host ? 4 : 3)) {
          case 0:
            d = packet_bytes(fake, 1, header(fake, kind, at));
            break;
          case 1:
            d = packet_bytes(fake, p, header(fake, kind, p, gvsp::status_packet_unavailable));
            break;
          case 2:
            d = packet_bytes(fake, fake.last_id(), header(fake, kind, fake.last_id() + at % 3));
            break;
          default:
            d = packet_bytes(fake, 0, header(fake, kind, 0));
            break;
        }
        break;
      }
      case Origin::past_end:  // where the leader gives the block's end
        if (!b.sized || b.short_frame || b.all_in) return;
        d = packet_bytes(fake, 1, header(fake, kind, b.packets + r_.in(1u, 3u)));
        break;
      case Origin::over_long: {  // bytes appended, where the leader shows them too many
        if (!payload || !b.sized || b.short_frame) return;
        const std::size_t n = d.size();
        d.resize(n + r_.in(1u, 64u));
        fill(d.data() + n, r_.next(), 0, d.size() - n);
        break;
      }
      default: {  // the real packet in a format nobody knows
        static constexpr std::uint8_t unknown[] = {0, 7, 8, 9, 12, 15};
        d[4] = std::byte((std::to_integer<unsigned>(d[4]) & 0x80) | unknown[r_.below(6)]);
        break;
      }
    }
    const Nanos at = std::max<Nanos>(0, e.t + delay() + r_.in<Nanos>(-3, 3) * sc_.pace);
    queue(std::move(d), {e.block, p, origin}, at, host, port);
  }

  // The sender answers a resend command from the run it is in and the
  // blocks it still holds.
  void answer(const Request &q, Nanos now) {
    const Nanos reach = now + r_.in<Nanos>(20, 300) * us;
    int current = -1, held = -1;
    for (std::size_t i = 0; i < sc_.blocks.size() && sc_.blocks[i].sent_at[0] <= reach; ++i) {
      current = static_cast<int>(i);
    }
    if (current < 0) return;
    const Block &now_sending = sc_.blocks[current];
    for (int i = current; i >= 0 && current - i < sc_.history; --i) {
      if (sc_.blocks[i].run != now_sending.run) break;
      if (sc_.blocks[i].id == q.block_id) {
        held = i;
        break;
      }
    }
    const HeaderKind kind = sc_.settings.kind;
    const std::uint16_t port = sc_.ports[now_sending.run];
    Block gone = now_sending;
    gone.id = q.block_id;
    const Block &b = held >= 0 ? sc_.blocks[held] : gone;
    Nanos t = reach + r_.in<Nanos>(10, 200) * us;
    for (std::uint32_t p = q.first; p <= q.last && p - q.first <= 4096; ++p, t += sc_.pace) {
      const bool sent = held >= 0 && p <= b.last_id() && b.sent_at[p] != never;
      if (sent && b.sent_at[p] <= reach) {
        if (r_.chance(f_.not_yet)) {
          transmit(packet_bytes(b, p, header(b, kind, p, gvsp::status_packet_not_yet_available)),
                   {held, p, Origin::answer, false}, t, port);
          t += r_.in<Nanos>(100 * us, 2 * ms);
        }
        gvsp::Header h = header(b, kind, p);
        if (kind == HeaderKind::extended) {
          h.flags = gvsp::flag_packet_resent;
        } else if (r_.chance(.5)) {
          h.status = gvsp::status_packet_resent;
        }
        transmit(packet_bytes(b, p, h), {held, p, Origin::answer}, t, port);
      } else if (!sent && sc_.unavailable) {
        // Not held, never sent, or sent before a restart: gone.
        transmit(packet_bytes(b, p, header(b, kind, p, gvsp::status_packet_unavailable)),
                 {held, p, Origin::answer, false}, t, port);
      }
    }
  }

  void tick(Nanos t) {
    sc_.trace.push_back({t, -1});
    seam_.tick(t);
  }

  // True when datagrams came.
  bool receive(Nanos wake) {
    const std::size_t before = sc_.trace.size();
    std::vector<const Datagram *> batch;
    auto flush = [&] {
      if (batch.empty()) return;
      seam_.deliver(batch, sc_.scatter);
      tick(batch.back()->at);
      batch.clear();
    };
    for (; !pending_.empty() && pending_.top().at <= wake; pending_.pop()) {
      const Pending p = pending_.top();
      const Tag &tag = sc_.tags[p.datagram];
      // Until the sender's first leader came, the stream has no sender to
      // tell strays from.
      if (!genuine(tag) && !leader_seen_) continue;
      leader_seen_ |= genuine(tag) && tag.packet == 0 && tag.data;
      sc_.trace.push_back({p.at, p.datagram});
      batch.push_back(&sc_.datagrams[p.datagram]);
      if (batch.size() == Seam::batch_size) flush();
    }
    flush();
    tick(wake);
    for (; answered_ < seam_.requests.size(); ++answered_) answer(seam_.requests[answered_], wake);
    return sc_.trace.size() > before + 1;
  }

  Scenario &sc_;
  Rng &r_;
  const Family &f_;
  Seam seam_;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending_;
  std::uint64_t seq_ = 0;
  int burst_left_ = 0;
  bool leader_seen_ = false;
  std::size_t answered_ = 0;
};

std::unique_ptr<Seam> replay(const Scenario &sc, const std::vector<Step> &trace) {
  auto seam = std::make_unique<Seam>(sc.settings);
  std::vector<const Datagram *> batch;
  for (const Step &s : trace) {
    if (s.datagram >= 0) {
      batch.push_back(&sc.datagrams[s.datagram]);
      continue;
    }
    if (!batch.empty()) seam->deliver(batch, sc.scatter);
    batch.clear();
    seam->tick(s.t);
  }
  if (!batch.empty()) seam->deliver(batch, sc.scatter);
  settle(*seam, trace.empty() ? 0 : trace.back().t);
  return seam;
}

// ---------------------------------------------------------------------------
// The reference model: what must have come out of what went in.

struct Violation {
  std::string property, detail;
};

std::string counts_text(const Counts &c) {
  return format("complete %" PRIu64 " incomplete %" PRIu64 " dropped %" PRIu64
                " not available %" PRIu64 " unseen %" PRIu64 " requests %" PRIu64 " ok %" PRIu64
                " failed %" PRIu64 " block timeouts %" PRIu64 " refused %" PRIu64,
                c.complete, c.incomplete, c.dropped, c.not_available, c.unseen, c.requests,
                c.requests_ok, c.requests_failed, c.block_timeouts, c.refused);
}

// What reached the core of one block as the sender sent it, counting only
// what came while the core could know it for the sender's.
struct Seen {
  std::vector<Nanos> at;              // first arrival of each packet's data
  std::vector<std::size_t> step;      // its trace step (1-based), 0 none
  std::vector<std::size_t> original;  // step of the first of the sender's first sending
  std::vector<std::size_t> any;       // step of each packet's first arrival, locked or not
  std::vector<Nanos> times;           // every arrival of the sender's for it
  std::size_t first = 0;              // step of the first that reached the core at all
  int distinct = 0;
  bool full = false;          // a full-length payload packet came
  std::size_t full_step = 0;  // the step of the first
  bool long_first = false;    // an over-long copy came before any full packet
  bool overtaken = false;     // a packet came before the leader
  unsigned strays = 0;        // origins of datagrams not the sender's that named it
  bool surely() const { return step[0] != 0 || distinct >= 3; }
};

std::vector<Violation> check(const Scenario &sc, const std::vector<Step> &trace, const Seam &seam) {
  std::vector<Violation> v;
  auto fail = [&](const std::string &p, std::string d) { v.push_back({p, std::move(d)}); };
  const Settings &s = sc.settings;
  const std::size_t nb = sc.blocks.size(), runs = sc.ports.size();
  // The core can tell its sender's datagrams from strays only once it has
  // a leader of it: from the first leader of each run of the sender that
  // arrived until the first of a later run's.
  std::vector<std::size_t> lock(runs, 0), unlock(runs, trace.size() + 1), lock_block(runs, 0);
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const Tag t = trace[i].datagram < 0 ? Tag{} : sc.tags[trace[i].datagram];
    if (!genuine(t) || !t.data || t.packet != 0) continue;
    const auto run = static_cast<std::size_t>(sc.blocks[t.block].run);
    if (lock[run] != 0) continue;
    lock[run] = i + 1;
    lock_block[run] = static_cast<std::size_t>(t.block);
    for (std::size_t r = 0; r < run; ++r) unlock[r] = std::min(unlock[r], i + 1);
  }
  std::vector<Seen> seen(nb);
  for (std::size_t i = 0; i < nb; ++i) {
    seen[i].at.assign(sc.blocks[i].last_id() + 1, never);
    seen[i].step.assign(sc.blocks[i].last_id() + 1, 0);
    seen[i].original = seen[i].any = seen[i].step;
  }
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const Tag t = trace[i].datagram < 0 ? Tag{} : sc.tags[trace[i].datagram];
    if (t.block < 0) continue;
    Seen &x = seen[t.block];
    const Block &b = sc.blocks[t.block];
    x.long_first |= t.origin == Origin::over_long && !x.full;
    if (!genuine(t)) {
      // Copies with bytes appended, and packets past the end, can only do
      // harm before the real packet, or the leader, came.
      const std::uint32_t before = t.origin == Origin::past_end ? 0 : t.packet;
      if (t.origin < Origin::past_end || before >= x.step.size() || x.step[before] == 0) {
        x.strays |= 1u << static_cast<unsigned>(t.origin);
      }
      continue;
    }
    if (x.first == 0) x.first = i + 1;
    if (t.data && x.any[t.packet] == 0) x.any[t.packet] = i + 1;
    if (lock[b.run] == 0 || i + 1 < lock[b.run] || i + 1 >= unlock[b.run]) continue;
    x.times.push_back(trace[i].t);
    if (!t.data) continue;
    x.overtaken |= x.step[0] == 0 && t.packet != 0;
    if (x.step[t.packet] == 0) {
      x.step[t.packet] = i + 1;
      x.at[t.packet] = trace[i].t;
      ++x.distinct;
    }
    if (t.origin != Origin::answer && x.original[t.packet] == 0) x.original[t.packet] = i + 1;
    x.full |= !b.all_in && t.packet != 0 && t.packet < b.last_id() && b.length(t.packet) == b.psize;
    if (x.full && x.full_step == 0) x.full_step = i + 1;
  }
  // The sender's own word that a packet is gone (0x800C), by block id and
  // packet id: a packet that comes after it came too late, as the core must
  // believe its sender.
  std::multimap<std::pair<std::uint64_t, std::uint32_t>, std::size_t> gone;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const int d = trace[i].datagram;
    if (d < 0 || sc.tags[d].origin != Origin::answer || sc.tags[d].data) continue;
    const auto h = gvsp::parse_header(gvsp::bytes(sc.datagrams[d].bytes));
    if (h && h.value.status == gvsp::status_packet_unavailable) {
      gone.emplace(std::pair(h.value.block_id, h.value.packet_id), i + 1);
    }
  }
  auto gone_before = [&](std::size_t b, std::uint32_t p, std::size_t step) {
    auto [lo, hi] = gone.equal_range(std::pair(sc.blocks[b].id, p));
    return std::any_of(lo, hi,
                       [&](const auto &g) { return g.second > seen[b].first && g.second < step; });
  };
  std::multimap<std::uint64_t, const Request *> asked;
  for (const Request &q : seam.requests) asked.emplace(q.block_id, &q);
  auto first_request = [&](std::size_t b, std::uint32_t p) -> const Request * {
    auto [lo, hi] = asked.equal_range(sc.blocks[b].id);
    for (auto it = lo; it != hi; ++it) {
      const Request &q = *it->second;
      if (q.step >= seen[b].first && q.first <= p && p <= q.last) return &q;
    }
    return nullptr;
  };
  // The block of this id the core had heard of by `step`: the newest run's.
  auto newest = [&](std::uint64_t id, std::size_t step) {
    int found = -1;
    for (std::size_t i = 0; i < nb; ++i) {
      if (sc.blocks[i].id == id && seen[i].first != 0 && seen[i].first <= step &&
          (found < 0 || seen[i].first > seen[found].first)) {
        found = static_cast<int>(i);
      }
    }
    return found;
  };
  // The circumstance most likely to blame for a failure about block i, so
  // that each kind of failure is counted and shrunk apart; a block handed
  // over with the status of a resend answer is told apart.
  auto cause = [&](std::size_t i, std::uint16_t status = 0) {
    const Block &b = sc.blocks[i];
    bool reused = false;
    for (std::size_t j = 0; j < nb; ++j)
      reused |= j != i && sc.blocks[j].id == b.id && seen[j].first;
    if (b.short_frame) return std::string("-short-frame");
    if (reused) return std::string("-restart");
    if (status == gvsp::status_packet_not_yet_available) return std::string("-not-yet");
    // A datagram of unknown format harms nothing of itself: never the one to blame.
    for (auto o = static_cast<unsigned>(Origin::other_port);
         o < static_cast<unsigned>(Origin::unknown_format); ++o) {
      if ((seen[i].strays >> o & 1) != 0) return std::string("-") + origin_names[o];
    }
    return std::string(seen[i].overtaken ? "-overtaken" : "");
  };

  std::vector<int> claimed(nb, -1);  // what was handed over for each block
  // A sender restarted on the same port whose new block came without its
  // leader first, while the old run's block of that id was open: to any
  // receiver the new block's packets are the old one's missing or late
  // packets (the same source, id and lengths; nothing in a payload packet
  // names its run), so the two may come out as one, whole, and the new
  // block vanish into it. Returns that old block, -1 none. With `leader`,
  // also a new block whose leader came first to an old one still without
  // its own: nothing but times tells the two apart, and not always.
  auto old_of = [&](std::size_t i, bool leader = false) {
    const Block &b = sc.blocks[i];
    const Seen &x = seen[i];
    if (x.first == 0 || (!leader && x.any[0] != 0 && x.any[0] <= x.first)) return -1;
    for (std::size_t j = 0; j < i; ++j) {
      const Block &old = sc.blocks[j];
      const bool blends = !leader || x.any[0] == 0 || x.any[0] > x.first || seen[j].any[0] == 0 ||
                          seen[j].any[0] > x.first;
      if (old.id == b.id && old.run < b.run && sc.ports[old.run] == sc.ports[b.run] &&
          seen[j].first != 0 && seen[j].first < x.first && blends &&
          (claimed[j] < 0 || seam.handed[claimed[j]].step >= x.first)) {
        return static_cast<int>(j);
      }
    }
    return -1;
  };
  auto blended = [&](std::uint64_t id, std::size_t step) {
    for (std::size_t i = 0; i < nb; ++i) {
      if (sc.blocks[i].id == id && seen[i].first != 0 && seen[i].first <= step) {
        if (const int j = old_of(i); j >= 0) return j;
      }
    }
    return -1;
  };

  // Blocks handed over: whole ones exactly as sent, none invented or twice.
  std::set<std::uint64_t> wrong_whole;
  std::uint64_t whole = 0, broken = 0, timed_out = 0;
  Bytes sent;
  for (std::size_t h = 0; h < seam.handed.size(); ++h) {
    const Handed &out = seam.handed[h];
    (out.status == 0 ? whole : broken) += 1;
    timed_out += out.status == ZOK_BLOCK_STATUS_BLOCK_TIMEOUT;
    int match = -1;
    const int latest = newest(out.block_id, out.step);
    for (std::size_t i = 0; i < nb; ++i) {
      const Block &b = sc.blocks[i];
      if (b.id != out.block_id || seen[i].first == 0 || seen[i].first > out.step) continue;
      sent.resize(b.size);
      fill(sent.data(), b.salt, 0, b.size);
      if (out.status == 0 ? b.timestamp == out.timestamp && out.data == sent &&
                                out.payload_type == gvsp::payload_type_base(b.type)
                          : claimed[i] < 0 && (match < 0 || b.timestamp == out.timestamp)) {
        match = static_cast<int>(i);
      }
    }
    const std::string id = std::to_string(out.block_id);
    const int old = out.status == 0 && match < 0 ? blended(out.block_id, out.step) : -1;
    if (old >= 0 && claimed[old] < 0) {
      claimed[old] = static_cast<int>(h);
      wrong_whole.insert(out.block_id);
    } else if (out.status == 0 && match < 0) {
      std::string why = "the sender sent no block of that id";
      if (latest >= 0) {
        const Block &b = sc.blocks[latest];
        sent.resize(b.size);
        fill(sent.data(), b.salt, 0, b.size);
        std::size_t at = 0;
        while (at < std::min<std::size_t>(b.size, out.data.size()) && sent[at] == out.data[at])
          ++at;
        why = format("%zu bytes, ts %" PRIx64
                     ", first wrong byte %zu (packet %zu); sent %u, ts %" PRIx64,
                     out.data.size(), out.timestamp, at, at / b.psize + 1, b.size, b.timestamp);
      }
      wrong_whole.insert(out.block_id);
      fail("whole-bytes" + (latest >= 0 ? cause(latest) : std::string()),
           "block " + id + " handed over with status 0: " + why);
    } else if (match < 0 && latest < 0) {
      fail("invented",
           format("block %s status %#x handed over; the sender sent none", id.c_str(), out.status));
    } else if (match < 0 || claimed[match] >= 0) {
      fail("twice", format("block %s status %#x handed over again", id.c_str(), out.status));
    } else {
      claimed[match] = static_cast<int>(h);
    }
  }

  // Every block sent is accounted for once: from the block whose leader
  // the core first had of each run to the last it surely saw, none may go
  // uncounted. Those it never surely saw can only be counted from the ids.
  const Counts c = seam.counts();
  std::uint64_t known = 0, unsure = 0;
  for (std::size_t run = 0; run < runs; ++run) {
    if (lock[run] == 0) continue;
    std::size_t hi = 0;
    for (std::size_t i = lock_block[run]; i < nb; ++i) {
      if (sc.blocks[i].run == static_cast<int>(run) && seen[i].surely()) hi = i;
    }
    known += hi - lock_block[run] + 1;
    for (std::size_t i = lock_block[run]; i <= hi; ++i) unsure += !seen[i].surely();
  }
  // New blocks that may have gone into an old one, or been refused for it.
  std::uint64_t vanished = 0;
  for (std::size_t i = 0; i < nb; ++i) vanished += old_of(i) >= 0;
  known -= std::min(known, vanished);
  // A new run whose first datagram to reach the core is no leader, or a
  // leader with no leader of the old run before it to compare times with,
  // goes on from the old run's ids as after a gap of lost blocks: no
  // receiver can tell the ids between, never sent, from lost ones.
  std::uint64_t untellable = 0;
  for (std::size_t run = 1; run < runs; ++run) {
    std::size_t first = 0, last_old = nb;
    for (std::size_t i = 0; i < nb; ++i) {
      const auto r = static_cast<std::size_t>(sc.blocks[i].run);
      if (r < run) last_old = i;
      if (r == run && seen[i].first != 0 && (first == 0 || seen[i].first < first)) {
        first = seen[i].first;
      }
    }
    if (first == 0 || last_old == nb) continue;
    // The ids go on from the old runs' last block the core had then, which
    // need not be the last they sent.
    for (std::size_t i = last_old + 1; i-- > 0;) {
      if (sc.blocks[i].run < static_cast<int>(run) && seen[i].first != 0 && seen[i].first < first) {
        last_old = i;
        break;
      }
    }
    const Tag t = sc.tags[trace[first - 1].datagram];
    bool old_leader = false;
    for (std::size_t r = 0; r < run; ++r) old_leader |= lock[r] != 0 && lock[r] < first;
    const std::uint64_t from = sc.blocks[last_old].id, seen_id = sc.blocks[t.block].id;
    if ((t.packet == 0 && t.data && old_leader) || !gvsp::block_id_before(from, seen_id, s.kind)) {
      continue;
    }
    const std::uint64_t gap = gvsp::block_id_distance(from, seen_id, s.kind);
    std::set<std::uint64_t> sent_between;  // ids a block sent since has
    for (std::size_t i = last_old + 1; i < nb; ++i) {
      const std::uint64_t d = gvsp::block_id_distance(from, sc.blocks[i].id, s.kind);
      if (sc.blocks[i].run <= static_cast<int>(run) && d != 0 && d < gap) sent_between.insert(d);
    }
    untellable += gap - 1 - std::min<std::uint64_t>(gap - 1, sent_between.size());
  }
  const std::uint64_t accounted = seam.handed.size() + c.dropped + c.not_available + c.unseen;
  if (accounted > nb + untellable || accounted < known) {
    fail(accounted > nb + untellable                    ? "accounting-over"
         : c.unseen == 0 && known - accounted <= unsure ? "accounting-unseen"
                                                        : "accounting-lost",
         format("%zu handed over, %" PRIu64 " accounted in all; %zu sent, at least %" PRIu64
                " of them known to the core, %" PRIu64 " barely (%s)",
                seam.handed.size(), accounted, nb, known, unsure, counts_text(c).c_str()));
  }

  // A block all of whose packets arrived in time must be handed over whole:
  // no quiet spell of a block timeout before its last packet, and each
  // packet asked for came before the core could have given up on it.
  // Blocks the program had dropped out of order, blocks without a buffer
  // and whole blocks with wrong bytes are not judged here.
  const bool resends = s.resend && s.num_retries > 0;
  auto in_time = [&](std::size_t i) {
    const Block &b = sc.blocks[i];
    const Seen &x = seen[i];
    if (!b.finished || x.long_first || b.room() > s.buffer_size ||
        x.distinct != static_cast<int>(b.last_id() + 1)) {
      return false;
    }
    const Nanos done = *std::max_element(x.at.begin(), x.at.end());
    for (std::size_t k = 1; k < x.times.size() && x.times[k - 1] < done; ++k) {
      if (x.times[k] - x.times[k - 1] >= s.block_timeout - ms) return false;
    }
    for (std::uint32_t p = 0; p <= b.last_id(); ++p) {
      if (gone_before(i, p, x.step[p])) return false;
      const Request *q = first_request(i, p);
      if (q != nullptr && q->step < x.step[p]) {
        const Nanos margin = std::min(ms, s.resend_timeout / 4);
        if (x.at[p] >= q->at + s.num_retries * s.resend_timeout - margin) return false;
      } else if (x.at[p] > x.at[b.last_id()] && !resends) {
        return false;
      }
    }
    return true;
  };
  std::vector<bool> no_buffer(nb);  // opened by the datagram the core had when it found none
  for (std::size_t step : seam.no_buffer) {
    const int d = step <= trace.size() ? trace[step - 1].datagram : -1;
    if (d >= 0 && sc.tags[d].block >= 0) no_buffer[sc.tags[d].block] = true;
  }
  for (std::size_t i = 0; i < nb && s.booo == ZOK_BOOO_ALWAYS_RETURN; ++i) {
    const Block &b = sc.blocks[i];
    const int h = claimed[i];
    if (!in_time(i) || no_buffer[i] || wrong_whole.count(b.id) != 0 ||
        (h >= 0 && seam.handed[h].status == 0)) {
      continue;
    }
    fail("late" + cause(i, h >= 0 ? seam.handed[h].status : 0),
         format("block %" PRIu64 " (run %d) arrived whole and in time: %s", b.id, b.run,
                h >= 0 ? format("status %#x", seam.handed[h].status).c_str() : "not handed over"));
  }

  // Requests: only for blocks the sender sent and packets not received, and
  // never past a block's end once its trailer or leader said where that is.
  // Packets asked for, per block; the same with each new block that may
  // have blended into the old one of its id counted as that one.
  std::set<std::pair<std::size_t, std::uint32_t>> asked_packets, asked_blended, needless;
  std::uint64_t asked_total = 0;
  for (const Request &q : seam.requests) {
    asked_total += q.last - q.first + 1;
    const int found = newest(q.block_id, q.step);
    const std::string where = format("step %zu: asked for block %" PRIu64, q.step, q.block_id);
    if (found < 0) {
      // Known to the core only from datagrams that merely named it.
      if (std::none_of(sc.blocks.begin(), sc.blocks.end(), [&](const Block &b) {
            return b.id == q.block_id && b.sent_at[0] <= q.at;
          })) {
        fail("request-unsent", where + ", which the sender never sent");
      }
      continue;
    }
    const auto i = static_cast<std::size_t>(found);
    const Block &b = sc.blocks[i];
    const Seen &x = seen[i];
    const std::uint32_t last = b.last_id();
    // Where the block ends the core knows from its trailer, or from a
    // leader that gives its size (a short frame's gives more than was
    // sent) once a full packet showed the block's packet size (the sender
    // may have changed it since the last block); with those lost, a
    // datagram past the end is as good as a packet.
    const bool end_known = (x.step[last] != 0 && x.step[last] <= q.step) ||
                           (!b.short_frame && b.sized && x.step[0] != 0 && x.step[0] <= q.step &&
                            x.full_step != 0 && x.full_step <= q.step);
    bool told = false;
    const int blend = old_of(i, true);
    for (std::uint64_t p = q.first; p <= q.last && p <= q.first + 100000; ++p) {
      const auto pid = static_cast<std::uint32_t>(p);
      asked_packets.emplace(i, pid);
      asked_blended.emplace(blend >= 0 ? static_cast<std::size_t>(blend) : i, pid);
      if (p > last && !told && end_known) {
        fail("request-past-end" + cause(i),
             where + format(" packet %u; its last is %u", pid, last));
        told = true;
      }
      if (p > last) continue;
      // What lies past the buffer the core cannot keep.
      const bool fits = b.all_in || pid == 0 || pid == last ||
                        std::uint64_t{pid - 1} * b.psize + b.length(pid) <= s.buffer_size;
      if (!told && fits && x.step[pid] != 0 && x.step[pid] <= q.step && old_of(i) < 0) {
        fail("request-received" + cause(i),
             where + format(" packet %u, received at step %zu", pid, x.step[pid]));
        told = true;
      }
      if (x.original[pid] > q.step) needless.emplace(i, pid);
    }
  }

  // Counters agree with each other and with what came out.
  const std::uint64_t settled = c.requests_ok + c.requests_failed;
  if (c.complete + c.incomplete != seam.handed.size() + c.dropped || whole > c.complete ||
      broken > c.incomplete || timed_out > c.block_timeouts || c.block_timeouts > c.incomplete ||
      c.requests != seam.requests.size() || c.max_retries > s.num_retries ||
      settled > asked_total) {
    fail("counters",
         format("handed over %" PRIu64 " whole, %" PRIu64 " not, %" PRIu64
                " of them timed out; %zu commands for %zu packets; max retries %" PRIu64 " (%s)",
                whole, broken, timed_out, seam.requests.size(), asked_packets.size(), c.max_retries,
                counts_text(c).c_str()));
  }

  // Every packet asked for ends counted once, answered or failed, however
  // its block ended (given up, timed out, overrun, the sender restarted).
  if (settled < asked_blended.size() || settled > asked_packets.size()) {
    fail("requests-counted" + (runs > 1 ? std::string("-restart") : std::string()),
         format("%zu packets asked for, %" PRIu64 " counted answered, %" PRIu64 " failed",
                asked_packets.size(), c.requests_ok, c.requests_failed));
  }

  // Buffers, and a core that comes to rest.
  for (const std::string &m : seam.misuse) fail("buffers", m);
  if (seam.overdue != 0) {
    fail("deadline",
         format("the tick of step %zu left a deadline due at or before its time", seam.overdue));
  }
  if (!seam.guards_intact()) fail("buffers", "written past the end of a buffer");
  if (seam.held_by_core() != 0 || seam.next_deadline() != never) {
    fail("stuck", format("after the stream ended the core holds %zu buffers, next deadline %s",
                         seam.held_by_core(), seam.next_deadline() == never ? "none" : "set"));
  }

  // With answers that always come, every packet missing from a block whose
  // end the core knew is asked for before the block ends.
  for (std::size_t i = 0; i < nb && (sc.family->flags & check_clean) != 0 && resends; ++i) {
    const Block &b = sc.blocks[i];
    const Seen &x = seen[i];
    if (claimed[i] < 0 || !b.finished || x.step[0] == 0) continue;
    const Handed &end = seam.handed[claimed[i]];
    const std::size_t trailer = x.step[b.last_id()];
    if (!(b.sized && x.full) && (trailer == 0 || trailer > end.step)) continue;
    for (std::uint32_t p = 1; p <= b.last_id(); ++p) {
      if ((x.any[p] == 0 || x.any[p] > end.step) && first_request(i, p) == nullptr) {
        fail("unasked", format("packet %u of block %" PRIu64 " lost and never asked for before "
                               "the block ended (status %#x)",
                               p, b.id, end.status));
        break;
      }
    }
  }
  // Without loss, packets asked for that were only late stay rare once the
  // core has seen how this sender reorders.
  if ((sc.family->flags & check_reorder) != 0) {
    std::uint64_t payloads = 0, later = 0;
    for (std::size_t i = nb / 2; i < nb; ++i) payloads += sc.blocks[i].packets;
    for (const auto &[i, p] : needless) later += i >= nb / 2;
    if (later > payloads / 20 + 2) {
      fail("spurious", format("%" PRIu64 " of the later blocks' %" PRIu64
                              " payload packets asked for, though only late (no loss)",
                              later, payloads));
    }
  }
  return v;
}

// ---------------------------------------------------------------------------
// Shrinking and printing.

bool fails_with(const Scenario &sc, const std::vector<Step> &trace, const std::string &property) {
  // As in the live run, nothing but the sender's reaches a stream before its
  // first leader: the core could not tell a stray from the sender then.
  for (const Step &s : trace) {
    if (s.datagram < 0) continue;
    const Tag &t = sc.tags[s.datagram];
    if (!genuine(t)) return false;
    if (t.packet == 0 && t.data) break;
  }
  const auto seam = replay(sc, trace);
  const auto found = check(sc, trace, *seam);
  return std::any_of(found.begin(), found.end(),
                     [&](const Violation &x) { return x.property == property; });
}

// Removes ever smaller runs of steps while the same property still fails.
std::vector<Step> shrink(const Scenario &sc, const std::string &property) {
  std::vector<Step> trace = sc.trace;
  int budget = 4000;
  for (std::size_t chunk = std::max<std::size_t>(1, trace.size() / 2); budget > 0;) {
    bool removed = false;
    for (std::size_t i = 0; i < trace.size() && budget > 0; --budget) {
      std::vector<Step> candidate(trace.begin(), trace.begin() + i);
      candidate.insert(candidate.end(), trace.begin() + std::min(trace.size(), i + chunk),
                       trace.end());
      if (fails_with(sc, candidate, property)) {
        trace = std::move(candidate);
        removed = true;
      } else {
        i += chunk;
      }
    }
    if (!removed && chunk == 1) break;
    if (!removed) chunk /= 2;
  }
  return trace;
}

std::string describe(const Scenario &sc, const Datagram &d, const Tag &tag) {
  const auto parsed = gvsp::parse_packet(gvsp::bytes(d.bytes));
  const auto h = gvsp::parse_header(gvsp::bytes(d.bytes));
  std::string what = format("blk %" PRIu64 " pkt %u ", h.value.block_id, h.value.packet_id);
  if (!parsed) {
    what += format("format %u, %zu bytes (refused: %s)", h.value.format, d.bytes.size(),
                   std::string(gvsp::error_name(parsed.error)).c_str());
  } else {
    const gvsp::Packet &p = parsed.value;
    static constexpr const char *kinds[] = {"leader", "trailer", "payload", "all-in",
                                            "header only"};
    what += kinds[static_cast<int>(p.kind)];
    if (p.kind == gvsp::PacketKind::leader || p.kind == gvsp::PacketKind::all_in) {
      what += format(" type %#x ts %" PRIx64, p.leader.payload_type, p.leader.timestamp);
    }
    if (p.kind == gvsp::PacketKind::trailer) what += format(" size_y %u", p.trailer.size_y);
    if (!p.data.empty()) what += format(" %zu bytes", p.data.size());
    if (p.header.status != 0) what += format(" status %#06x", p.header.status);
  }
  std::string from = format("port %u", ntohs(d.port));
  if (d.host != sc.host) {
    from = format("host %08x", ntohl(d.host));
  } else if (tag.block >= 0 && d.port == sc.ports[sc.blocks[tag.block].run]) {
    from = format("run %d:%u", sc.blocks[tag.block].run, ntohs(d.port));
  }
  return format("%-14s %-13s %s", origin_names[static_cast<int>(tag.origin)], from.c_str(),
                what.c_str());
}

void print_trace(const Scenario &sc, const std::vector<Step> &trace) {
  const auto seam = replay(sc, trace);
  std::size_t q = 0, h = 0;
  // What the core did during step `upto` (1-based), or at any later step.
  auto outputs = [&](std::size_t upto) {
    for (; q < seam->requests.size() && seam->requests[q].step <= upto; ++q) {
      const Request &r = seam->requests[q];
      std::printf("%8s%12.3f ms  -> resend blk %" PRIu64 " pkts %u..%u\n", "",
                  static_cast<double>(r.at) / ms, r.block_id, r.first, r.last);
    }
    for (; h < seam->handed.size() && seam->handed[h].step <= upto; ++h) {
      const Handed &x = seam->handed[h];
      std::printf("%8s%12.3f ms  -> block %" PRIu64 " status %#06x, %zu bytes, ts %" PRIx64 "\n",
                  "", static_cast<double>(x.at) / ms, x.block_id, x.status, x.data.size(),
                  x.timestamp);
    }
  };
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const Step &s = trace[i];
    std::printf("  %4zu %12.3f ms  %s\n", i + 1, static_cast<double>(s.t) / ms,
                s.datagram < 0
                    ? "tick"
                    : describe(sc, sc.datagrams[s.datagram], sc.tags[s.datagram]).c_str());
    outputs(i + 1);
  }
  std::printf("       then the core's own deadlines:\n");
  outputs(std::numeric_limits<std::size_t>::max());
  std::printf("  counters: %s\n", counts_text(seam->counts()).c_str());
}

void print_scenario(const Scenario &sc) {
  const Settings &s = sc.settings;
  std::printf("  family %s, %s ids, resend %s, retries %u, block timeout %" PRId64
              " ms, resend timeout %" PRId64
              " ms, booo %u%s, %zu buffers of %zu bytes%s, %s "
              "receive, %zu blocks in %zu runs, %zu receiver pauses\n",
              sc.family->name, s.kind == HeaderKind::extended ? "64-bit" : "16-bit",
              s.resend ? "on" : "off", s.num_retries, s.block_timeout / ms, s.resend_timeout / ms,
              s.booo, s.drop_incomplete ? ", incomplete dropped" : "", s.buffers, s.buffer_size,
              s.app_delay != 0 ? " held by a slow program" : "", sc.scatter ? "in-place" : "plain",
              sc.blocks.size(), sc.ports.size(), sc.pauses.size());
}

struct Outcome {
  Scenario scenario;
  std::vector<Violation> violations;
};

std::vector<std::string> split(const std::string &list) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t end = std::min(list.find(',', at), list.size());
    if (end > at) out.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// The properties checked: all when empty, else those named by a prefix.
std::vector<std::string> checked;

Outcome run_scenario(std::uint64_t seed, const Family *only) {
  Rng r{mix(seed)};
  std::vector<Emission> emissions;
  Outcome o{make_scenario(seed, only, r, emissions), {}};
  Live live(o.scenario, r);
  live.run(emissions);
  o.violations = check(o.scenario, o.scenario.trace, live.seam());
  std::erase_if(o.violations, [](const Violation &v) {
    return !checked.empty() && std::none_of(checked.begin(), checked.end(),
                                            [&](auto &p) { return v.property.starts_with(p); });
  });
  return o;
}

// The violation of `property` (the first one when empty), shrunk.
void report(const Outcome &o, const std::string &property, const char *program,
            const Family *only) {
  const Scenario &sc = o.scenario;
  const Violation &v = *std::find_if(o.violations.begin(), o.violations.end(), [&](auto &x) {
    return property.empty() || x.property == property;
  });
  std::printf("FAIL seed %" PRIu64 ": %s: %s\n  replay: %s --seed %" PRIu64 "%s%s\n", sc.seed,
              v.property.c_str(), v.detail.c_str(), program, sc.seed,
              only != nullptr ? " --family " : "", only != nullptr ? only->name : "");
  print_scenario(sc);
  if (!fails_with(sc, sc.trace, v.property)) {
    std::printf("  (its replay does not fail: the run is not deterministic)\n");
    return;
  }
  if (std::getenv("SIM_FULL") != nullptr) print_trace(sc, sc.trace);
  const std::vector<Step> small = shrink(sc, v.property);
  std::printf("  shrunk from %zu to %zu steps:\n", sc.trace.size(), small.size());
  print_trace(sc, small);
  for (const Violation &x : check(sc, small, *replay(sc, small))) {
    if (x.property == v.property)
      std::printf("  => %s: %s\n", x.property.c_str(), x.detail.c_str());
  }
}

int main_(int argc, char **argv) {
  std::uint64_t count = 1000, first = 1, seed = 0, show = 1;
  double seconds = 0;
  const Family *only = nullptr;
  bool one = false;
  std::vector<std::uint64_t> seeds;
  for (int i = 1; i < argc; i += 2) {
    const std::string a = argv[i];
    const char *val = i + 1 < argc ? argv[i + 1] : "";
    const bool list = a == "--only" || a == "--seeds";
    if (a == "--only") checked = split(val);
    if (a == "--seeds") {
      for (const std::string &x : split(val)) seeds.push_back(std::strtoull(x.c_str(), nullptr, 0));
    }
    for (const Family &f : families)
      only = a == "--family" && f.name == std::string(val) ? &f : only;
    std::uint64_t *number = a == "--count"   ? &count
                            : a == "--first" ? &first
                            : a == "--show"  ? &show
                            : a == "--seed"  ? &seed
                                             : nullptr;
    if (number != nullptr) *number = std::strtoull(val, nullptr, 0);
    if (a == "--seconds") seconds = std::strtod(val, nullptr);
    one |= a == "--seed";
    if (!*val || (!number && !list && a != "--seconds" && (a != "--family" || !only))) {
      std::fprintf(stderr,
                   "usage: %s [--count N | --seconds S | --seeds SEED,...] [--first SEED] "
                   "[--family NAME] [--show N] [--only PROPERTY,...]\n"
                   "       %s --seed SEED [--family NAME] [--only PROPERTY,...]\n",
                   argv[0], argv[0]);
      return 2;
    }
  }
  if (one) {
    const Outcome o = run_scenario(seed, only);
    if (o.violations.empty()) {
      std::printf("seed %" PRIu64 ": every property holds\n", seed);
      print_scenario(o.scenario);
      print_trace(o.scenario, o.scenario.trace);
      return 0;
    }
    report(o, "", argv[0], only);
    for (const Violation &v : o.violations) {
      std::printf("  also: %s: %s\n", v.property.c_str(), v.detail.c_str());
    }
    return 1;
  }
  if (!seeds.empty()) {
    count = seeds.size();
    seconds = 0;
  }
  if (seconds > 0 && first == 1) {
    first = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  }
  std::string properties = checked.empty() ? "every property" : "properties";
  for (const std::string &p : checked) properties += " " + p + "*";
  std::printf("sim_core: %s, %s, %s\n",
              seeds.empty() ? format("seeds from %" PRIu64, first).c_str() : "listed seeds",
              seconds > 0 ? format("for %.0f s", seconds).c_str()
                          : format("%" PRIu64 " scenarios", count).c_str(),
              properties.c_str());
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> tally;  // failures, first seed
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> per_family;  // ran, failed
  std::uint64_t ran = 0, failed = 0;
  for (std::uint64_t i = 0; seconds > 0 ? elapsed() < seconds : ran < count; ++i, ++ran) {
    const std::uint64_t s = seeds.empty() ? first + i : seeds[i];
    const Outcome o = run_scenario(s, only);
    auto &[family_ran, family_failed] = per_family[o.scenario.family->name];
    ++family_ran;
    if (o.violations.empty()) continue;
    ++failed;
    ++family_failed;
    std::set<std::string> properties;
    for (const Violation &v : o.violations) properties.insert(v.property);
    if (show == 0) {
      std::printf("seed %" PRIu64 ":", s);
      for (const std::string &p : properties) std::printf(" %s", p.c_str());
      std::printf("\n");
      std::fflush(stdout);
    }
    for (const std::string &p : properties) {
      auto &[n, seed_of_first] = tally[p];
      if (n++ == 0) seed_of_first = s;
      if (n <= show) report(o, p, argv[0], only);
    }
  }
  std::printf("\nsim_core: %" PRIu64 " scenarios in %.1f s, %" PRIu64 " failed\n", ran, elapsed(),
              failed);
  for (const auto &[name, n] : per_family) {
    std::printf("  family %-9s %8" PRIu64 " scenarios, %8" PRIu64 " failed\n", name.c_str(),
                n.first, n.second);
  }
  for (const auto &[p, t] : tally) {
    std::printf("  property %-32s failed in %8" PRIu64 " scenarios, first seed %" PRIu64 "\n",
                p.c_str(), t.first, t.second);
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace sim

int main(int argc, char **argv) {
  return sim::main_(argc, argv);
}
