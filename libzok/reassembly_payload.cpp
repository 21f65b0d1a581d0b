// Payload packets: where their data goes, which of them a block can hold,
// and the regions the socket loop lets the kernel fill in advance.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "reassembly_internal.h"

namespace zok {

void Reassembly::on_placed(const Prediction &p, std::uint32_t data_length, Arrival at) noexcept {
  took_datagram();
  now_ = at.now;
  advance_flow(at.now);
  if (p.slot >= blocks_.size()) return;
  Block &b = blocks_[p.slot];
  const Source from = b.open() ? source_of(false, p.block_id, at) : Source::other;
  if (!b.open() || b.block_id != p.block_id || data_length > p.length || from != Source::sender ||
      !predicted_ || predicted_->block != &b) {
    refused();
    return;
  }
  if (takes_forced_drop(p.block_id, p.packet_id)) {
    // The data is in the buffer already; it stays unreceived and is
    // overwritten when the packet is sent again.
    b.forced_packet = p.packet_id;
    return;
  }
  b.last_arrival = at.now;
  b.epoch_ns = at.epoch_ns;
  b.heard_from(at.port);
  // A write of this batch in another packet size moved its data aside; and
  // where the block's packet size is not the prediction's, the data moves
  // aside before anything of this packet (another moved into place) could
  // write over it.
  if (p.psize != b.geometry.packet_size()) set_aside(b, p.packet_id, data_length);
  const std::byte *moved = aside(b, p.packet_id);
  if (moved == nullptr && predicted_->buffer != b.buffer) {
    // The block the region was predicted for ended in this batch and its
    // slot opened again: the data lies in a buffer no longer its own.
    refused();
    return;
  }
  if (accept_payload(b, p.packet_id, moved, data_length, moved ? 0 : p.psize, false) && b.open()) {
    maybe_finish(b);
  }
}

bool Reassembly::set_aside(const Block &b, std::uint32_t packet_id, std::uint32_t length) noexcept {
  if (!predicted_ || predicted_->block != &b || predicted_->buffer != b.buffer ||
      packet_id < predicted_->first || packet_id - predicted_->first >= predicted_->count ||
      (predicted_->evacuated >> (packet_id - predicted_->first) & 1u) != 0) {
    return true;
  }
  --predicted_->taken;  // its own region is still to be read
  const bool room =
      make_room(b, 0, gvsp::payload_data_offset(packet_id, predicted_->psize), length);
  ++predicted_->taken;
  return room;
}

const std::byte *Reassembly::aside(const Block &b, std::uint32_t packet_id) const noexcept {
  if (!predicted_ || predicted_->block != &b || packet_id < predicted_->first ||
      packet_id - predicted_->first >= predicted_->count) {
    return nullptr;
  }
  const std::uint32_t k = packet_id - predicted_->first;
  return (predicted_->evacuated >> k & 1u) != 0
             ? scratch_.get() + std::size_t{k} * predicted_->psize
             : nullptr;
}

std::size_t Reassembly::predict(std::span<Prediction> out) noexcept {
  predicted_.reset();
  Block *newest = nullptr;
  for (Block &b : open_blocks()) {
    if (newest == nullptr || b.order > newest->order) newest = &b;
  }
  if (newest == nullptr || newest->geometry.trailer()) return 0;
  const std::uint32_t psize =
      newest->geometry.packet_size() != 0 ? newest->geometry.packet_size() : stream_psize_;
  if (psize == 0) return 0;
  const Buffer &buf = *newest->buffer;
  const auto first = static_cast<std::uint32_t>(std::max<std::int64_t>(newest->highest + 1, 1));
  std::size_t n = 0;
  const std::size_t most = std::min(out.size(), max_predicted);
  for (std::uint64_t p = first; n < most && p < buf.received.size(); ++p, ++n) {
    const std::uint64_t offset = gvsp::payload_data_offset(p, psize);
    if (offset >= buf.size) break;
    out[n] =
        Prediction{buf.data + offset,
                   static_cast<std::uint32_t>(std::min<std::uint64_t>(psize, buf.size - offset)),
                   newest->block_id,
                   static_cast<std::uint32_t>(p),
                   static_cast<std::uint32_t>(newest - blocks_.data()),
                   psize};
  }
  if (n != 0) {
    predicted_ = Predicted{newest, psize, first, static_cast<std::uint32_t>(n), 0, 0, &buf};
  }
  return n;
}

bool Reassembly::make_room(const Block &b, std::uint32_t packet_id, std::uint64_t offset,
                           std::uint32_t length) noexcept {
  Predicted &p = *predicted_;
  // Regions m of the prediction lie at (m - 1) * psize, one for each slot
  // of the batch in turn: those this write reaches, of slots after this
  // datagram's, may hold a datagram still to be taken in. They move to the
  // scratch first, and are taken in from there.
  const std::uint64_t lo =
      std::max<std::uint64_t>(offset / p.psize + 1, std::uint64_t{p.first} + p.taken);
  const std::uint64_t hi = std::min<std::uint64_t>((offset + length - 1) / p.psize + 1,
                                                   std::uint64_t{p.first} + p.count - 1);
  for (std::uint64_t m = lo; m <= hi; ++m) {
    const auto k = static_cast<std::uint32_t>(m - p.first);
    if (m == packet_id || b.buffer->received.test(static_cast<std::uint32_t>(m)) ||
        (p.evacuated >> k & 1u) != 0) {
      continue;
    }
    const std::size_t need = std::size_t{p.count} * p.psize;
    if (scratch_size_ < need) {
      std::unique_ptr<std::byte[]> bigger(new (std::nothrow) std::byte[need]);
      if (!bigger) return false;
      if (scratch_size_ != 0) std::memcpy(bigger.get(), scratch_.get(), scratch_size_);
      scratch_ = std::move(bigger);
      scratch_size_ = need;
    }
    const std::uint64_t from = gvsp::payload_data_offset(m, p.psize);
    std::memcpy(scratch_.get() + std::size_t{k} * p.psize, b.buffer->data + from,
                std::min<std::uint64_t>(p.psize, b.buffer->size - from));
    p.evacuated |= std::uint64_t{1} << k;
  }
  return true;
}

void Reassembly::overrun_or_note(Block &b, std::uint32_t packet_id) noexcept {
  // Data past the buffer ends the block with an overrun once it is the
  // sender's; before, the packet may be a stray's, and the block ends so
  // only when it proves the sender's. The refused packets count in that
  // proof, or a block too long for the buffers would end as strays when
  // nothing follows it, counted nowhere.
  if (b.confirmed()) {
    // Proved by its packets alone, the block's first stray past the end
    // must not end it: the packet that follows on from the highest, or a
    // second one past the end, shows the sender there.
    const bool follows = static_cast<std::int64_t>(packet_id) == b.highest + 1;
    b.past_end.proves(packet_id, b.received, b.highest);
    if (b.leader_timestamp || follows || b.past_end.count > 1) close_block(b, Ending::overrun);
    return;
  }
  b.overran = b.overran || b.received != 0;
  if (b.past_end.proves(packet_id, b.received, b.highest) && b.received != 0 &&
      !(b.new_run && !b.leader_timestamp)) {
    ends_too_long(b);
  }
}

void Reassembly::refuse_or_overrun(Block &b, std::uint32_t packet_id) noexcept {
  overrun_or_note(b, packet_id);
  if (b.open()) refused();
}

bool Reassembly::accept_payload(Block &b, std::uint32_t packet_id, const std::byte *src,
                                std::uint32_t length, std::uint32_t placed_psize,
                                bool resent) noexcept {
  Buffer &buf = *b.buffer;
  const std::optional<std::uint32_t> trailer = b.geometry.trailer();
  const std::uint32_t psize_before = b.geometry.packet_size();
  if (length == 0 || (trailer && packet_id >= *trailer)) {
    refused();
    return false;
  }
  if (packet_id >= buf.received.size()) {
    if (b.geometry.announced() || trailer) {
      refused();
    } else {
      refuse_or_overrun(b, packet_id);
    }
    return false;
  }
  if (b.payloads == 1 && b.first_payload_id == packet_id && length < b.first_payload_length &&
      buf.received.test(packet_id) && b.short_id != packet_id) {
    // The lone packet again, shorter: the first was a copy with bytes
    // appended (copies come longer, never shorter). It gives way.
    unplace(b, packet_id);
  }
  Fit fit = b.geometry.fit(packet_id, length);
  if (fit == Fit::wrong_length && b.geometry.packet_size() == 0 &&
      b.geometry.trailer() == packet_id + 1) {
    // The first payload packet is the last one the trailer names: the size
    // announced tells the full packets' length.
    if (const auto psize = implied_packet_size(b.geometry, packet_id, length)) {
      b.geometry.set_packet_size(*psize);
      fit = b.geometry.fit(packet_id, length);
    }
  }
  switch (fit) {
    case Fit::full:
      // A full packet after the short one: that was not the last after all.
      // Before the leader, which may yet give the size, it may as well name
      // a packet past the end: the short one stays, and the trailer or the
      // leader's size settles it.
      if (b.short_id && packet_id > *b.short_id) {
        if (!b.leader_timestamp) {
          refused();
          return false;
        }
        drop_short(b);
      }
      break;
    case Fit::last:
      break;
    case Fit::short_packet:
      // Shorter: only the last packet, so nothing may follow it.
      if (static_cast<std::int64_t>(packet_id) >= b.highest &&
          (!b.short_id || *b.short_id == packet_id)) {
        break;
      }
      if (!b.short_id && unplace_past(b, packet_id)) break;
      [[fallthrough]];
    case Fit::wrong_length:
      if (length < b.geometry.packet_size() && static_cast<std::int64_t>(packet_id) >= b.highest &&
          (!b.short_id || *b.short_id == packet_id) &&
          ends_frame_early(b, b.geometry, packet_id, length)) {
        break;
      }
      [[fallthrough]];
    case Fit::longer:
    case Fit::past_end:
      if (!learn_packet_size(b, packet_id, length, fit) &&
          !vote_packet_size(b, packet_id, length)) {
        if (b.open()) refused();
        return false;
      }
      // The vote may have set the data aside from where the kernel put it.
      if (src == nullptr) src = aside(b, packet_id);
      break;
  }
  if (b.geometry.packet_size() == 0) {
    // The first payload packet, shorter than the stream's packets and where
    // the block's last one of that length goes: it is that last one.
    Geometry usual = b.geometry;
    usual.set_packet_size(stream_psize_);
    b.geometry.set_packet_size(stream_psize_ > length && usual.fit(packet_id, length) == Fit::last
                                   ? stream_psize_
                                   : length);
  }
  const std::uint64_t offset = b.geometry.offset(packet_id);
  if (offset + length > buf.size) {
    // A size guessed from the last block's that puts the first packet past
    // the buffer held nothing: the next packet guesses afresh. (One learnt
    // from a longer packet, whose lone packet went past the end, stands.)
    // The sender may have changed its packet size: the short last packet
    // waits for a full one to tell where it goes.
    if (b.payloads == 0 && psize_before == 0) {
      if (b.geometry.packet_size() == stream_psize_ && length < stream_psize_) {
        hold_last(
            b, packet_id,
            src != nullptr ? src : buf.data + gvsp::payload_data_offset(packet_id, placed_psize),
            length, resent);
      }
      b.geometry.set_packet_size(0);
    }
    refuse_or_overrun(b, packet_id);
    return false;
  }
  if (b.geometry.packet_size() != psize_before && !trailer) {
    // The packet size, with the size announced, tells where the block ends:
    // what was asked for past that (on the last block's packet size) was
    // never sent.
    const std::optional<std::uint64_t> last = b.geometry.last_payload();
    if (last && *last + 1 < buf.received.size()) {
      bump(counters_.resend_requests_failed,
           b.ranges.cut_above(static_cast<std::uint32_t>(*last) + 1, buf));
    }
  }
  if (buf.received.test(packet_id)) {
    if (b.short_id == packet_id && length < b.short_length) {
      // Two lengths for the block's last packet, and nothing announced to
      // tell which: copies are made longer (padded), never shorter. (Placed
      // by the kernel, the data is where the prediction put it already.)
      if (src != nullptr) {
        std::memcpy(buf.data + offset, src, length);
      } else if (placed_psize != b.geometry.packet_size()) {
        std::memmove(buf.data + offset,
                     buf.data + gvsp::payload_data_offset(packet_id, placed_psize), length);
      }
      b.short_length = length;
      recompute_span(b);
    }
    if (src != nullptr && b.settle_early(packet_id) &&
        std::memcmp(buf.data + offset, src, length) != 0) {
      // It came before its leader, and the sender, at the block now, sends
      // other bytes for it: the first was a stray naming the block early.
      std::memcpy(buf.data + offset, src, length);
      refused();
      return true;
    }
    // Other bytes for a packet it holds, from the sender's port: two runs
    // of the sender (restarted on its port, its new leader lost) or another
    // program there wrote into the block, and nothing tells which copy is
    // the block's. (Copies with bytes appended differ only past the end.)
    const std::uint32_t placed =
        b.short_id == packet_id ? b.short_length : b.geometry.packet_size();
    if (src != nullptr && std::memcmp(buf.data + offset, src, std::min(length, placed)) != 0) {
      b.conflict(packet_id);
    }
    note_duplicate(b, packet_id, resent);
    return true;
  }
  // A datagram taken from its slot leaves its own packet's region alone only
  // when it is the one the kernel put there: another of that id (the real
  // one, where this is a copy with bytes appended) may wait there still.
  if (predicted_ && predicted_->block == &b && predicted_->buffer == b.buffer &&
      predicted_->psize != b.geometry.packet_size() &&
      !make_room(b, src == nullptr ? packet_id : 0, offset, length)) [[unlikely]] {
    // Its place still holds a datagram of this batch the kernel put there
    // for another packet size, and there was no room to move that: taken
    // for lost, it is asked for again.
    return false;
  }
  buf.received.set(packet_id);
  ++b.received;
  if (b.payloads++ == 0) {
    b.first_payload_id = packet_id;
    b.first_payload_length = length;
  }
  if (length < b.geometry.packet_size()) {
    b.short_id = packet_id;
    b.short_length = length;
  }
  if (src != nullptr) {
    std::memcpy(buf.data + offset, src, length);
  } else if (placed_psize != b.geometry.packet_size()) {
    // Predicted with another packet size than this block's: the data moves
    // to its place.
    std::memmove(buf.data + offset, buf.data + gvsp::payload_data_offset(packet_id, placed_psize),
                 length);
  }
  b.span_end = std::max(b.span_end, offset + length);
  note_received(b, packet_id, resent);
  if (held_ && held_->block_id == b.block_id && held_->order == b.order && b.open() &&
      b.geometry.packet_size() != held_->psize) {
    // The block's packet size is known now: the held packet goes where it
    // puts it (or is refused again).
    const Held h = *held_;
    held_.reset();
    counters_.datagrams_refused.fetch_sub(1, std::memory_order_relaxed);
    accept_payload(b, h.packet_id, held_data_.get(), h.length, 0, h.resent);
  }
  return true;
}

void Reassembly::hold_last(const Block &b, std::uint32_t packet_id, const std::byte *data,
                           std::uint32_t length, bool resent) noexcept {
  if (held_size_ < length) {
    held_data_.reset(new (std::nothrow) std::byte[length]);
    held_size_ = held_data_ ? length : 0;
    if (!held_data_) return;
  }
  std::memcpy(held_data_.get(), data, length);
  held_ = Held{b.block_id, b.order, packet_id, length, b.geometry.packet_size(), resent};
}

// A payload packet contradicts the packet size the block has. While one
// packet alone set that size, the two tell the story between them: the lone
// one may be the block's short last packet (it then moves), or one of the
// two is a stray. An over-long copy is likelier than a real packet shorter
// than the block's own, and the stream's packet size, when the last block
// had one, settles it.
bool Reassembly::learn_packet_size(Block &b, std::uint32_t packet_id, std::uint32_t length,
                                   Fit fit) noexcept {
  const std::uint32_t psize = b.geometry.packet_size();
  const std::uint32_t lone = b.first_payload_id;
  if (b.payloads == 1 && b.short_id == lone && lone != packet_id && length > b.short_length) {
    // The packet size was the last block's, a guess made for a short last
    // packet alone: a packet that the short one can end gives the block's.
    Geometry other = b.geometry;
    other.set_packet_size(length);
    if (other.fit(packet_id, length) == Fit::full && other.fit(lone, b.short_length) == Fit::last) {
      if (other.offset(lone) + b.short_length > b.buffer->size) {
        return lone_lies_past(b, b.short_length, other);
      }
      move_packet(b, lone, b.short_length, other);
      return true;
    }
  }
  // The other packet may be a short one of the new length, full then; or
  // the short last one under the new length, shorter than it.
  const bool other_short = b.payloads == 2 && b.short_id && *b.short_id != lone &&
                           b.short_length == length && length < psize;
  bool short_last = false;
  if (b.payloads == 2 && b.short_id && *b.short_id != lone && b.short_length < length &&
      length < psize && packet_id < *b.short_id) {
    Geometry under = b.geometry;
    under.set_packet_size(length);
    const Fit f = under.fit(*b.short_id, b.short_length);
    short_last = (f == Fit::last || f == Fit::short_packet) &&
                 under.offset(*b.short_id) + b.short_length <= b.buffer->size;
  }
  // The lone packet itself again, at the short one's length, or shorter
  // and still longer than the short one that ends the block: it was a copy
  // with bytes appended, and set a packet size that was not the block's.
  if (psize == 0 || !(b.payloads == 1 || other_short || short_last) ||
      b.first_payload_length != psize || (lone == packet_id && !other_short && !short_last)) {
    return false;
  }
  Geometry other = b.geometry;
  other.set_packet_size(length);
  const Fit fits_other = other.fit(packet_id, length);
  if (fits_other != Fit::full && fits_other != Fit::last) return false;
  // Longer than the lone packet, which has the stream's packet size: a copy
  // with bytes appended.
  if (fit == Fit::longer && psize == stream_psize_) return false;
  if (fit == Fit::longer && b.payloads == 1) {
    // Longer than the lone packet: right when that one was the short last.
    const Fit lone_fit = other.fit(lone, psize);
    const bool lone_is_last =
        lone_fit == Fit::last || (packet_id < lone && (lone_fit == Fit::short_packet ||
                                                       ends_frame_early(b, other, lone, psize)));
    if (lone_is_last && other.offset(lone) + psize > b.buffer->size) {
      return lone_lies_past(b, psize, other);
    }
    if (lone_is_last) {
      b.short_id = lone;
      b.short_length = psize;
      move_packet(b, lone, psize, other);
      return true;
    }
  }
  // Between two packets of their own ids, the vote decides.
  if (lone != packet_id) return false;
  const bool prefer_new = length == stream_psize_ || (stream_psize_ != psize && length < psize);
  if (!prefer_new) return false;
  // The real packet of that id may have come already and been taken for a
  // copy: it is asked for.
  unplace(b, lone);
  if (lone != packet_id) ask(b, lone, lone, flow_ + window_.get());
  if (other_short) {
    const std::uint32_t kept = *b.short_id;
    if (other.fit(kept, length) != Fit::full && other.fit(kept, length) != Fit::last) {
      unplace(b, kept);
    } else {
      b.short_id.reset();
      move_packet(b, kept, length, other);
    }
  } else if (short_last) {
    move_packet(b, *b.short_id, b.short_length, other);
  }
  b.geometry = other;
  return true;
}

// The lone packet, the block's last under the packet size a longer one
// gives, ends past the buffer: the block does not fit. It leaves its place
// for what lay past the end, where it counts in proving the block the
// sender's, and the longer packet goes where that size puts it.
bool Reassembly::lone_lies_past(Block &b, std::uint32_t lone_length,
                                const Geometry &other) noexcept {
  const std::uint32_t lone = b.first_payload_id;
  unplace(b, lone);
  b.geometry = other;
  b.past_end.last.emplace(lone, lone_length);
  overrun_or_note(b, lone);
  if (!b.open()) return false;
  b.overran = true;
  return true;
}

// While a block holds only a few payload packets, one of them may be a copy
// with bytes appended (or a stray of a real length) that set the packet size.
// They and the packet that contradicts them vote: each for its own length
// (a full packet) and for the size that makes it the block's last where the
// announced size puts the end. Copies come longer, never shorter, so a
// packet that arrives again shorter votes in place of the one placed.
bool Reassembly::vote_packet_size(Block &b, std::uint32_t packet_id,
                                  std::uint32_t length) noexcept {
  constexpr std::size_t most = 3;
  const std::uint32_t psize = b.geometry.packet_size();
  if (!b.open() || psize == 0 || b.payloads == 0 || b.payloads > most) return false;
  struct Vote {
    std::uint32_t id, length;
  };
  std::array<Vote, most + 1> votes{};
  std::size_t n = 0;
  const std::uint32_t trailer = b.geometry.trailer().value_or(0);
  for (std::uint32_t id = 1; id <= b.touched && n < most; ++id) {
    if (id != trailer && b.buffer->received.test(id)) {
      votes[n++] = {id, b.short_id == id ? b.short_length : psize};
    }
  }
  // The packet may be one placed already, weighed again as the block learnt
  // more of its shape; or it came again, shorter.
  bool again = false, placed = false;
  for (std::size_t k = 0; k < n; ++k) {
    if (votes[k].id != packet_id) continue;
    placed = length == votes[k].length;
    if (length > votes[k].length) return false;
    votes[k].length = length;
    again = !placed;
  }
  if (!again && !placed) {
    // In id order, as the placed ones are.
    std::size_t k = n++;
    for (; k > 0 && votes[k - 1].id > packet_id; --k) votes[k] = votes[k - 1];
    votes[k] = {packet_id, length};
  }
  const Vote &self = *std::find_if(votes.begin(), votes.begin() + n,
                                   [&](const Vote &v) { return v.id == packet_id; });
  // A packet stands where it is a full one, the last one, or, shorter with
  // the highest id while the end is unknown, maybe the last.
  const std::uint32_t top = votes[n - 1].id;
  auto stands = [&](const Geometry &g, const Vote &v) {
    const Fit f = g.fit(v.id, v.length);
    return (f == Fit::full || f == Fit::last || (f == Fit::short_packet && v.id == top)) &&
           g.offset(v.id) + v.length <= b.buffer->size;
  };
  // The size under which most packets are full ones or the last for certain
  // wins. Between those, the stream's packet size, or the length of a packet
  // that the block's end shows to be a full one, yet shorter than the size
  // (of two lengths one was a copy's, and copies are the longer); then the
  // size that leaves fewest packets unexplained, where a size also explains
  // a packet longer than its place holds (a copy); then the larger size (a
  // sender's packets are as long as its packet size; one packet many times
  // another's length is no copy of it).
  const std::optional<std::uint64_t> last = b.geometry.last_payload();
  auto score = [&](std::uint32_t size) {
    Geometry g = b.geometry;
    g.set_packet_size(size);
    std::size_t firm = 0, explained = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const Vote &v = votes[k];
      const Fit f = g.fit(v.id, v.length);
      const std::optional<std::uint64_t> end = g.announced();
      const bool copy =
          f == Fit::longer || (f == Fit::wrong_length && end && g.last_payload() == v.id &&
                               g.offset(v.id) + v.length > *end);
      firm += f == Fit::full || f == Fit::last;
      explained += stands(g, v) || copy;
    }
    const bool preferred =
        size == stream_psize_ || (size == length && length < psize && last && packet_id < *last);
    return std::array<std::size_t, 4>{firm, preferred, explained, size};
  };
  std::uint32_t best = psize;
  std::array<std::size_t, 4> best_score = score(psize);
  for (std::size_t k = 0; k < n; ++k) {
    std::array<std::optional<std::uint32_t>, 2> sizes{
        votes[k].length, implied_packet_size(b.geometry, votes[k].id, votes[k].length)};
    for (const std::optional<std::uint32_t> &size : sizes) {
      if (!size || *size == psize || *size == 0) continue;
      if (const auto s = score(*size); s > best_score) {
        best = *size;
        best_score = s;
      }
    }
  }
  Geometry to = b.geometry;
  to.set_packet_size(best);
  if (!stands(to, self)) return false;
  // Before the leader, which may give the size, a packet above the highest
  // placed one that this size makes short may as well name a packet past
  // the end: it is refused, and the short one stays the last so far.
  if (!again && !placed && !b.leader_timestamp && !to.trailer() && !to.announced() && n >= 2) {
    const Vote &below = votes[n - 1].id == packet_id ? votes[n - 2] : votes[n - 1];
    if (below.id < packet_id && to.fit(below.id, below.length) == Fit::short_packet) return false;
  }
  if (best == psize) {
    if (!again) return false;
    // The same size, and the packet again shorter: the copy placed gives way.
    unplace(b, packet_id);
    b.geometry = to;
    return true;
  }
  // The kernel may have put this packet's data where the prediction for
  // this batch had it, where a move below may land: it goes aside first.
  const Geometry from = b.geometry;
  if (!placed && !set_aside(b, packet_id, length)) return false;
  // Packets that do not stand under the size chosen were not the sender's
  // (or were copies): taken back and, but for this one, asked for.
  for (std::size_t k = 0; k < n; ++k) {
    const Vote &v = votes[k];
    if (v.id == packet_id) {
      if (again) unplace(b, packet_id);
    } else if (!stands(to, v)) {
      unplace(b, v.id);
      ask(b, v.id, v.id, flow_ + window_.get());
    }
  }
  // The rest move to their places under it, in an order in which no move
  // lands on a packet still to be moved: up the ids when the size shrinks,
  // down them when it grows.
  b.short_id.reset();
  for (std::size_t i = 0; i < n; ++i) {
    const Vote &v = votes[best < psize ? i : n - 1 - i];
    if ((v.id == packet_id && !placed) || !b.buffer->received.test(v.id)) continue;
    move_data(b, v.id, v.length, from, to);
    if (v.length < best) {
      b.short_id = v.id;
      b.short_length = v.length;
    }
  }
  b.geometry = to;
  if (b.payloads != 0) {
    for (std::size_t k = 0; k < n; ++k) {
      if ((votes[k].id != packet_id || placed) && b.buffer->received.test(votes[k].id)) {
        b.first_payload_id = votes[k].id;
        b.first_payload_length = votes[k].length;
        break;
      }
    }
  }
  recompute_span(b);
  return true;
}

std::optional<std::uint32_t> implied_packet_size(const Geometry &g, std::uint32_t last,
                                                 std::uint32_t length) noexcept {
  const std::optional<std::uint64_t> size = g.announced();
  if (!size || last < 2 || *size <= length || (*size - length) % (last - 1) != 0) {
    return std::nullopt;
  }
  const std::uint64_t psize = (*size - length) / (last - 1);
  if (psize < length || psize > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(psize);
}

// An image whose trailer is still to come may hold fewer lines than its
// leader announced (a line-scan camera ends a frame early): a packet that
// ends on a line boundary before the announced end may be its last. The
// trailer settles it.
bool Reassembly::ends_frame_early(const Block &b, const Geometry &g, std::uint32_t packet_id,
                                  std::uint32_t length) const noexcept {
  if (!b.leader_timestamp || b.desc.payload_type != gvsp::payload_type_image || g.trailer() ||
      g.packet_size() == 0 || !g.announced()) {
    return false;
  }
  const zok_image_fields &im = b.desc.image;
  const std::uint64_t line =
      std::uint64_t{im.size_x} * ((im.pixel_type >> 16) & 0xFFu) / 8 + im.padding_x;
  const std::uint64_t end = g.offset(packet_id) + length;
  if (line == 0 || end <= im.padding_y || end >= *g.announced()) return false;
  const std::uint64_t lines = end - im.padding_y;
  return lines % line == 0 && lines / line < im.size_y;
}

// A short packet from the sender, so the block's last, below full ones:
// those named packets past the block's end (a short packet is never a
// stray's: copies with bytes appended come longer).
bool Reassembly::unplace_past(Block &b, std::uint32_t last) noexcept {
  const std::uint32_t trailer = b.geometry.trailer().value_or(0);
  bool any = false;
  for (std::uint32_t id = last + 1; id <= b.touched; ++id) {
    if (id == trailer || !b.buffer->received.test(id)) continue;
    unplace(b, id);
    any = true;
  }
  return any;
}

void Reassembly::move_packet(Block &b, std::uint32_t packet_id, std::uint32_t length,
                             const Geometry &to) noexcept {
  move_data(b, packet_id, length, b.geometry, to);
  b.geometry = to;
  recompute_span(b);
}

void Reassembly::move_data(Block &b, std::uint32_t packet_id, std::uint32_t length,
                           const Geometry &from, const Geometry &to) noexcept {
  const std::uint64_t at = to.offset(packet_id);
  if (predicted_ && predicted_->block == &b && predicted_->buffer == b.buffer) {
    make_room(b, packet_id, at, length);
  }
  std::memmove(b.buffer->data + at, b.buffer->data + from.offset(packet_id), length);
}

void Reassembly::unplace(Block &b, std::uint32_t packet_id) noexcept {
  b.buffer->received.reset(packet_id);
  b.unconflict(packet_id);
  b.ranges.missing_again(packet_id);
  --b.received;
  --b.payloads;
  if (b.short_id == packet_id) b.short_id.reset();
  if (b.payloads == 0) {
    b.geometry.set_packet_size(0);
  } else if (b.first_payload_id == packet_id) {
    // Another packet stands for the block's packets now.
    for (std::uint32_t id = 1; id <= b.touched; ++id) {
      if (b.buffer->received.test(id) && id != b.geometry.trailer().value_or(0)) {
        b.first_payload_id = id;
        b.first_payload_length = b.short_id == id ? b.short_length : b.geometry.packet_size();
        break;
      }
    }
  }
  if (static_cast<std::int64_t>(packet_id) == b.highest) {
    while (b.highest > 0 && !b.buffer->received.test(static_cast<std::uint32_t>(b.highest))) {
      --b.highest;
    }
    if (b.highest == 0 && !b.buffer->received.test(0)) b.highest = -1;
  }
  recompute_span(b);
  refused();
}

void Reassembly::recompute_span(Block &b) noexcept {
  b.span_end = 0;
  const std::uint32_t trailer = b.geometry.trailer().value_or(0);
  for (std::uint32_t id = b.touched; id >= 1; --id) {
    if (id == trailer || !b.buffer->received.test(id)) continue;
    const std::uint32_t length = b.short_id == id ? b.short_length : b.geometry.packet_size();
    b.span_end = b.geometry.offset(id) + length;
    break;
  }
}

void Reassembly::drop_short(Block &b) noexcept {
  const std::uint32_t id = *b.short_id;
  unplace(b, id);
  // A later packet showed the sender past it: lost, not reordered.
  ask(b, id, id, flow_);
}

}  // namespace zok
