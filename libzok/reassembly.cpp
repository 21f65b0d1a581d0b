#include <algorithm>
#include <cstring>

#include "reassembly_internal.h"

namespace zok {

namespace {

bool means_unavailable(std::uint16_t status) {
  return status == gvsp::status_packet_unavailable ||
         status == gvsp::status_packet_and_prev_removed || status == gvsp::status_packet_removed;
}

// Data bytes a leader announces, when its layout says so. Chunk data (the
// chunk types, or the chunk bit on any type) adds bytes no leader counts.
bool announced_data(const gvsp::Leader &l, std::uint64_t &size) {
  if ((l.payload_type & gvsp::payload_type_chunk_bit) != 0) return false;
  switch (l.payload_type) {
    case gvsp::payload_type_raw:
    case gvsp::payload_type_file:
    case gvsp::payload_type_jpeg:
    case gvsp::payload_type_jpeg2000:
      size = l.payload_data_size;
      return true;
    case gvsp::payload_type_image: {
      // PFNC keeps the bits per pixel in bits 16-23.
      const std::uint64_t bits = (l.pixel_format >> 16) & 0xFFu;
      const std::uint64_t line = std::uint64_t{l.size_x} * bits / 8 + l.padding_x;
      size = line * l.size_y + l.padding_y;
      return true;
    }
    default:
      return false;
  }
}

// Image and extended chunk leaders share their geometry fields.
template <typename Geometry>
void fill_geometry(Geometry &g, const gvsp::Leader &l) {
  g.pixel_type = l.pixel_format;
  g.size_x = l.size_x;
  g.size_y = l.size_y;
  g.offset_x = l.offset_x;
  g.offset_y = l.offset_y;
  g.padding_x = l.padding_x;
  g.padding_y = l.padding_y;
}

void fill_leader(zok_block_desc &d, const gvsp::Leader &l) {
  d.payload_type = gvsp::payload_type_base(l.payload_type);
  d.timestamp = static_cast<std::uint32_t>(l.timestamp);
  d.timestamp_high = static_cast<std::uint32_t>(l.timestamp >> 32);
  switch (d.payload_type) {
    case gvsp::payload_type_image:
      fill_geometry(d.image, l);
      break;
    case gvsp::payload_type_raw:
      d.raw_data.payload_data_size = l.payload_data_size;
      break;
    case gvsp::payload_type_file: {
      d.file.payload_data_size = l.payload_data_size;
      const std::size_t n = std::min(l.file_name.size(), sizeof d.file.filename - 1);
      std::memcpy(d.file.filename, l.file_name.data(), n);
      d.file.filename[n] = '\0';
      break;
    }
    case gvsp::payload_type_extended_chunk:
      fill_geometry(d.extended_chunk, l);
      break;
    default:
      break;
  }
}

bool opens_with_leader(gvsp::PacketKind kind) {
  return kind == gvsp::PacketKind::leader || kind == gvsp::PacketKind::all_in;
}

}  // namespace

void PacketBits::clear_through(std::uint32_t up_to) noexcept {
  if (packets_ == 0) return;
  const std::uint32_t last = std::min(up_to, packets_ - 1);
  std::memset(words_.get(), 0, (last / 64 + 1) * sizeof(std::uint64_t));
}

void Reassembly::arm_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept {
  drop_block_.store(block_id, std::memory_order_relaxed);
  drop_packet_.store(packet_id, std::memory_order_relaxed);
  drop_armed_.store(true, std::memory_order_release);
}

bool Reassembly::takes_forced_drop(std::uint64_t block_id, std::uint32_t packet_id) noexcept {
  if (!drop_armed_.load(std::memory_order_acquire) ||
      packet_id != drop_packet_.load(std::memory_order_relaxed) ||
      block_id != drop_block_.load(std::memory_order_relaxed)) {
    return false;
  }
  drop_armed_.store(false, std::memory_order_relaxed);
  return true;
}

void Reassembly::note_newest(std::uint64_t block_id) noexcept {
  if (!have_newest_ || gvsp::block_id_before(newest_, block_id, config_.kind)) {
    have_newest_ = true;
    newest_ = block_id;
  }
}

void Reassembly::refuse_or_overrun(Block &b) noexcept {
  // Data past the buffer ends the block with an overrun, unless the packet
  // is all there is of it, and then it is no block of ours.
  if (b.received == 0) {
    refuse();
  } else {
    close_block(b, Ending::overrun);
  }
}

void Reassembly::note_hold_released() noexcept {
  ++hold_generation_;
  after_hold_ = true;
}

Reassembly::Block *Reassembly::find(std::uint64_t block_id) noexcept {
  for (Block &b : blocks_) {
    if (b.open && b.block_id == block_id) return &b;
  }
  return nullptr;
}

const Reassembly::Closed *Reassembly::recently_closed(std::uint64_t block_id) const noexcept {
  // Newest first: a restarted sender may have reused the id already.
  for (std::size_t i = 1; i <= closed_.size(); ++i) {
    const Closed &c = closed_[(closed_next_ + closed_.size() - i) % closed_.size()];
    if (c.used && c.block_id == block_id) return &c;
  }
  return nullptr;
}

void Reassembly::remember_closed(std::uint64_t block_id, const Block *b) noexcept {
  Closed &c = closed_[closed_next_];
  c.block_id = block_id;
  c.used = true;
  c.leader = b != nullptr && b->leader;
  c.timestamp = c.leader ? (std::uint64_t{b->desc.timestamp_high} << 32) | b->desc.timestamp : 0;
  closed_next_ = (closed_next_ + 1) % closed_.size();
}

// A leader for a finished block is a new block when the sender started its
// count again: it names another time than that block's leader did, or
// (senders that leave the time at 0) other blocks came in between. A leader
// the block never got is the late answer to asking for it.
bool Reassembly::restarts(const Closed &c, const gvsp::Packet &packet) const noexcept {
  if (!opens_with_leader(packet.kind) || !c.leader) return false;
  return packet.leader.timestamp != c.timestamp || !have_newest_ ||
         newest_ != packet.header.block_id;
}

bool Reassembly::may_open(const gvsp::Packet &packet) const noexcept {
  switch (packet.kind) {
    case gvsp::PacketKind::leader:
    case gvsp::PacketKind::all_in:
      return true;
    case gvsp::PacketKind::payload:
    case gvsp::PacketKind::trailer: {
      // Before any block the stream's first one may have lost its leader:
      // it opens on what came, so its leader is asked for and the block is
      // accounted for like any other.
      if (have_newest_) {
        const std::uint64_t d =
            gvsp::block_id_distance(newest_, packet.header.block_id, config_.kind);
        if (d < 1 || d > open_window) return false;
      }
      // It must also fit a buffer like those seen so far, or a stray packet
      // would take (or find no) buffer in the name of the next block.
      const std::uint64_t p = packet.header.packet_id;
      if (largest_buffer_ == 0) return true;
      if (p >= packet_capacity(largest_buffer_)) return false;
      if (packet.kind == gvsp::PacketKind::trailer) return true;
      const std::uint64_t n = packet.data.size();
      if (n == 0 || (stream_psize_ != 0 && n > stream_psize_)) return false;
      return stream_psize_ == 0 ||
             gvsp::payload_data_offset(p, stream_psize_) + n <= largest_buffer_;
    }
    case gvsp::PacketKind::error:
      return false;
  }
  return false;
}

void Reassembly::on_packet(gvsp::bytes datagram, Arrival at) noexcept {
  now_ = at.now;
  advance_flow(at.now);
  const gvsp::Result<gvsp::Packet> parsed = gvsp::parse_packet(datagram);
  if (!parsed) {
    refuse();
    return;
  }
  const gvsp::Packet &packet = parsed.value;
  const gvsp::Header &h = packet.header;
  if (!from_sender(at.source)) {
    refuse();
    return;
  }

  if (packet.kind != gvsp::PacketKind::error && takes_forced_drop(h.block_id, h.packet_id)) {
    if (Block *b = find(h.block_id)) {
      b->forced = true;
      b->forced_packet = h.packet_id;
    } else {
      pending_forced_ = true;
      pending_block_ = h.block_id;
      pending_packet_ = h.packet_id;
    }
    return;
  }

  Block *b = find(h.block_id);
  bool opened = false;
  if (b == nullptr) {
    if (packet.kind == gvsp::PacketKind::error) return;
    // Late resends and duplicates of finished blocks, and answers about
    // them, are normal traffic: dropped without counting.
    const Closed *closed = recently_closed(h.block_id);
    const bool restarted = closed != nullptr && restarts(*closed, packet);
    if (closed != nullptr && !restarted) return;
    if (!may_open(packet)) {
      refuse();
      return;
    }
    // The sender counts from here again.
    if (restarted) {
      have_newest_ = true;
      newest_ = h.block_id;
    }
    b = open_block(h.block_id, at);
    if (b == nullptr) return;
    opened = true;
    b->opener_id = h.packet_id;
  }
  b->last_arrival = at.now;
  b->epoch_ns = at.epoch_ns;

  switch (packet.kind) {
    case gvsp::PacketKind::leader:
      if (!b->confirmed && b->received != 0) forget_strays(*b);
      on_leader(*b, packet.leader);
      break;
    case gvsp::PacketKind::trailer:
      on_trailer(*b, h.packet_id, packet.trailer);
      break;
    case gvsp::PacketKind::payload:
      if (packet.data.size() > std::numeric_limits<std::uint32_t>::max()) {
        refuse();
        return;
      }
      if (!accept_payload(*b, h.packet_id, packet.data.data(),
                          static_cast<std::uint32_t>(packet.data.size()))) {
        return;
      }
      break;
    case gvsp::PacketKind::all_in:
      on_all_in(*b, packet);
      if (!b->open) return;
      break;
    case gvsp::PacketKind::error:
      on_error(*b, h.status, h.packet_id);
      break;
  }
  if (opened) {
    if (b->open && b->received == 0) {
      // The packet that opened the block was refused: it was never a block.
      b->open = false;
      shell_.recycle(b->buffer);
      return;
    }
    if (b->open && b->leader) {
      if (host_ == 0) host_ = at.source;
      note_newest(h.block_id);
      ask_tails();
    }
    if (at.source != 0) first_host_ = at.source;
  }
  if (b->open) maybe_finish(*b);
}

bool Reassembly::from_sender(std::uint32_t source) const noexcept {
  return source == 0 || host_ == 0 || source == host_;
}

void Reassembly::on_placed(const Prediction &p, std::uint32_t data_length, Arrival at) noexcept {
  now_ = at.now;
  advance_flow(at.now);
  if (p.slot >= blocks_.size()) return;
  Block &b = blocks_[p.slot];
  if (!b.open || b.block_id != p.block_id || data_length > p.length || !from_sender(at.source)) {
    refuse();
    return;
  }
  if (takes_forced_drop(p.block_id, p.packet_id)) {
    // The data is in the buffer already; it stays unreceived and is
    // overwritten when the packet is sent again.
    b.forced = true;
    b.forced_packet = p.packet_id;
    return;
  }
  b.last_arrival = at.now;
  b.epoch_ns = at.epoch_ns;
  if (accept_payload(b, p.packet_id, nullptr, data_length, p.psize) && b.open) maybe_finish(b);
}

Reassembly::Block *Reassembly::open_block(std::uint64_t block_id, Arrival at) noexcept {
  auto free_slot =
      std::find_if(blocks_.begin(), blocks_.end(), [](const Block &b) { return !b.open; });
  if (free_slot == blocks_.end()) {
    evict_oldest();
    free_slot =
        std::find_if(blocks_.begin(), blocks_.end(), [](const Block &b) { return !b.open; });
  }
  Buffer *buffer = shell_.take_buffer();
  if (buffer == nullptr) {
    note_newest(block_id);
    bump(counters_.blocks_not_available);
    if (after_hold_) bump(counters_.blocked_blocks_dropped);
    remember_closed(block_id, nullptr);
    have_last_ = true;
    last_judged_ = block_id;
    return nullptr;
  }
  largest_buffer_ = std::max(largest_buffer_, buffer->size);
  Block &b = *free_slot;
  b = Block{};
  b.open = true;
  b.buffer = buffer;
  b.block_id = block_id;
  b.order = ++order_;
  b.last_arrival = at.now;
  b.epoch_ns = at.epoch_ns;
  b.hold_generation = hold_generation_;
  b.after_hold = after_hold_;
  if (pending_forced_ && pending_block_ == block_id) {
    pending_forced_ = false;
    b.forced = true;
    b.forced_packet = pending_packet_;
  }
  return &b;
}

// A newer block started: the gaps older blocks still wait on are lost, and
// so are the last packets or trailer of one that still lacks its trailer.
// Those are asked for when the leader said how much data to expect.
void Reassembly::ask_tails() noexcept {
  if (!config_.resend || config_.num_retries == 0) return;
  for (Block &b : blocks_) {
    if (!b.open || b.order == order_) continue;
    // The sender has moved on: what the older block still lacks is lost.
    for (std::size_t i = 0; i < b.range_count && b.waiting != 0; ++i) {
      ResendRange &r = b.ranges[i];
      if (r.active && r.tries == 0) r.deadline = std::min(r.deadline, flow_);
    }
    if (b.trailer || b.tail_asked) continue;
    if (!b.sized || b.psize == 0) continue;
    const std::uint64_t packets = gvsp::expected_packet_count(b.expected_data, b.psize);
    const std::uint64_t trailer_id = packets + 1;
    const std::uint64_t first = static_cast<std::uint64_t>(b.highest + 1);
    if (trailer_id >= b.buffer->received.size() || first > trailer_id) continue;
    b.tail_asked = true;
    // Asked for at the end of the batch: packets of it later in the same
    // batch were only overtaken.
    ask(b, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(trailer_id), flow_);
  }
}

void Reassembly::evict_oldest() noexcept {
  Block *oldest = nullptr;
  for (Block &b : blocks_) {
    if (b.open && (oldest == nullptr || b.order < oldest->order)) oldest = &b;
  }
  if (oldest != nullptr) close_block(*oldest, Ending::incomplete);
}

void Reassembly::on_leader(Block &b, const gvsp::Leader &l) noexcept {
  if (b.buffer->received.test(0)) return;
  b.leader = true;
  b.confirmed = true;
  fill_leader(b.desc, l);
  // A size of 0 is what senders that do not fill the field send.
  b.sized = announced_data(l, b.expected_data) && b.expected_data != 0;
  if (b.sized && b.payloads != 0 && !b.trailer) {
    // Packets that came before it past the end it gives were strays.
    const std::uint64_t last = last_payload(b, b.psize);
    for (std::uint64_t id = last + 1; id <= b.touched; ++id) {
      if (b.buffer->received.test(static_cast<std::uint32_t>(id))) {
        unplace(b, static_cast<std::uint32_t>(id));
      }
    }
    b.highest = std::min<std::int64_t>(b.highest, static_cast<std::int64_t>(last));
  }
  b.buffer->received.set(0);
  ++b.received;
  note_received(b, 0, now_);
}

namespace {

void fill_trailer(zok_block_desc &d, const gvsp::Trailer &t, bool leader_seen) {
  const std::uint16_t type = gvsp::payload_type_base(t.payload_type);
  if (!leader_seen) d.payload_type = type;
  switch (type) {
    case gvsp::payload_type_image:
      d.image.trailer_size_y = t.size_y;
      break;
    case gvsp::payload_type_chunk:
      d.chunk_data.data_payload_len = t.chunk_data_payload_length;
      break;
    case gvsp::payload_type_extended_chunk:
      d.extended_chunk.trailer_size_y = t.size_y;
      d.extended_chunk.data_payload_len = t.chunk_data_payload_length;
      d.extended_chunk.chunk_layout_id = t.chunk_layout_id;
      break;
    default:
      break;
  }
}

}  // namespace

void Reassembly::on_trailer(Block &b, std::uint32_t packet_id, const gvsp::Trailer &t) noexcept {
  if (b.trailer) {
    if (packet_id != b.trailer_id) refuse();
    return;
  }
  // A trailer must come after every packet of its block, where the leader
  // puts the block's end, and the block must fit the buffer's packet state.
  // A short packet it does not end with was not the last one after all.
  if (b.short_id != 0 && b.short_id + 1 < packet_id) drop_short(b);
  const std::uint64_t last = last_payload(b, b.psize);
  if (static_cast<std::int64_t>(packet_id) <= b.highest || packet_id >= b.buffer->received.size() ||
      (last != 0 && packet_id != last + 1) || (b.short_id != 0 && b.short_id + 1 != packet_id)) {
    refuse();
    return;
  }
  b.trailer = true;
  b.trailer_id = packet_id;
  fill_trailer(b.desc, t, b.leader);
  b.buffer->received.set(packet_id);
  ++b.received;
  note_received(b, packet_id, now_);
}

// Leader, trailer and data in one packet: the block is whole at once.
void Reassembly::on_all_in(Block &b, const gvsp::Packet &p) noexcept {
  if (b.highest >= 0) {
    refuse();
    return;
  }
  b.sender_status = p.header.status;
  if (p.data.size() > b.buffer->size) {
    b.leader = true;
    b.confirmed = true;
    fill_leader(b.desc, p.leader);
    fill_trailer(b.desc, p.trailer, true);
    close_block(b, Ending::overrun);
    return;
  }
  std::memcpy(b.buffer->data, p.data.data(), p.data.size());
  b.span_end = p.data.size();
  on_leader(b, p.leader);
  b.trailer = true;
  b.trailer_id = 0;
  fill_trailer(b.desc, p.trailer, true);
  // A status the sender put on it is no whole block.
  if (gvsp::status_is_error(b.sender_status)) close_block(b, Ending::incomplete);
}

void Reassembly::on_error(Block &b, std::uint16_t status, std::uint32_t packet_id) noexcept {
  if (!means_unavailable(status)) {
    b.sender_status = status;
    return;
  }
  Buffer &buf = *b.buffer;
  if (packet_id >= buf.received.size() || buf.received.test(packet_id) ||
      buf.unavailable.test(packet_id)) {
    return;
  }
  buf.unavailable.set(packet_id);
  b.touched = std::max(b.touched, packet_id);
  for (std::size_t i = 0; i < b.range_count; ++i) {
    ResendRange &r = b.ranges[i];
    if (!r.active || packet_id < r.first || packet_id > r.last) continue;
    if (r.tries == 0) {
      --b.waiting;
    } else {
      bump(counters_.resend_requests_failed);
      --b.outstanding;
    }
    --r.remaining;
    if (r.remaining == 0) r.active = false;
    break;
  }
}

std::uint64_t Reassembly::last_payload(Block &b, std::uint32_t psize) noexcept {
  if (b.trailer) return b.trailer_id - 1;
  if (!b.sized || psize == 0) return 0;
  if (psize != b.last_for_psize) {
    b.last_for_psize = psize;
    b.last_by_size = gvsp::expected_packet_count(b.expected_data, psize);
  }
  return b.last_by_size;
}

bool Reassembly::fits_geometry(Block &b, std::uint32_t packet_id, std::uint32_t length) noexcept {
  // Until a packet of this block set its packet size, this one would.
  const std::uint32_t psize = b.psize != 0 ? b.psize : length;
  const std::uint64_t last = last_payload(b, psize);
  if (last != 0 && packet_id > last) return false;
  if (b.psize == 0) return true;
  if (length > b.psize) {
    // Longer than the packets so far: right only when the one packet so far
    // was the block's short last one.
    if (!b.sized) return true;
    const std::uint64_t last_then = gvsp::expected_packet_count(b.expected_data, length);
    return b.payloads == 1 && b.first_payload_id == last_then &&
           b.first_payload_len == b.expected_data - gvsp::payload_data_offset(last_then, length);
  }
  if (last != 0 && packet_id == last) {
    // The last packet carries what is left, no more and no less.
    if (!b.sized) return true;
    return length == b.expected_data - gvsp::payload_data_offset(last, psize);
  }
  if (length == b.psize) {
    // A full packet after the short one: that was not the last after all.
    if (b.short_id != 0 && packet_id > b.short_id) drop_short(b);
    return true;
  }
  // Shorter: only the last packet, so nothing may follow it.
  if (last != 0 || static_cast<std::int64_t>(packet_id) < b.highest) return false;
  return b.short_id == 0 || b.short_id == packet_id;
}

void Reassembly::unplace(Block &b, std::uint32_t packet_id) noexcept {
  b.buffer->received.reset(packet_id);
  --b.received;
  if (--b.payloads == 0) {
    b.psize = 0;
    b.span_end = 0;
  }
  if (b.short_id == packet_id) b.short_id = 0;
  refuse();
}

void Reassembly::drop_short(Block &b) noexcept {
  const std::uint32_t id = b.short_id;
  unplace(b, id);
  // A later packet showed the sender past it: lost, not reordered.
  ask(b, id, id, flow_);
}

bool Reassembly::accept_payload(Block &b, std::uint32_t packet_id, const std::byte *src,
                                std::uint32_t length, std::uint32_t placed_psize) noexcept {
  Buffer &buf = *b.buffer;
  if (length == 0 || (b.trailer && packet_id >= b.trailer_id)) {
    refuse();
    return false;
  }
  if (packet_id >= buf.received.size()) {
    if (b.sized || b.trailer) {
      refuse();
    } else {
      refuse_or_overrun(b);
    }
    return false;
  }
  if (b.sized && b.payloads == 1 && length != b.psize && length == stream_psize_) {
    // One packet so far, and this one has another length, the stream's
    // packet size: the lone one stays only as the block's short last one.
    const std::uint64_t last_then = gvsp::expected_packet_count(b.expected_data, length);
    if (b.first_payload_id != last_then ||
        b.first_payload_len != b.expected_data - gvsp::payload_data_offset(last_then, length)) {
      unplace(b, b.first_payload_id);
    }
  }
  if (!fits_geometry(b, packet_id, length)) {
    refuse();
    return false;
  }
  if (b.psize == 0) {
    b.psize = length;
  } else if (length > b.psize) {
    // Only the last packet of a block is short. When the one packet seen so
    // far was that short last one, the real packet size is this one and the
    // short packet moves to where it belongs.
    const std::uint64_t moved_to = gvsp::payload_data_offset(b.first_payload_id, length);
    if (b.payloads != 1 || b.first_payload_len != b.psize || packet_id > b.first_payload_id ||
        moved_to + b.first_payload_len > buf.size) {
      refuse();
      return false;
    }
    const std::uint64_t moved_from = gvsp::payload_data_offset(b.first_payload_id, b.psize);
    std::memmove(buf.data + moved_to, buf.data + moved_from, b.first_payload_len);
    b.psize = length;
    b.span_end = moved_to + b.first_payload_len;
    if (b.first_payload_id != packet_id) b.short_id = b.first_payload_id;
  }
  const std::uint64_t offset = gvsp::payload_data_offset(packet_id, b.psize);
  if (offset + length > buf.size) {
    refuse_or_overrun(b);
    return false;
  }
  if (buf.received.test(packet_id)) return true;
  buf.received.set(packet_id);
  ++b.received;
  if (b.payloads++ == 0) {
    b.first_payload_id = packet_id;
    b.first_payload_len = length;
  }
  if (length < b.psize) b.short_id = packet_id;
  if (src != nullptr) {
    std::memcpy(buf.data + offset, src, length);
  } else if (placed_psize != b.psize) {
    // Predicted with the last block's packet size, which this block does not
    // share: the data moves to its place, which is no other packet's.
    std::memmove(buf.data + offset, buf.data + gvsp::payload_data_offset(packet_id, placed_psize),
                 length);
  }
  b.span_end = std::max(b.span_end, offset + length);
  note_received(b, packet_id, now_);
  return true;
}

void Reassembly::note_received(Block &b, std::uint32_t packet_id, Nanos) noexcept {
  b.touched = std::max(b.touched, packet_id);
  // Ranges lie below the highest packet seen, but for an asked-for tail.
  if ((b.outstanding | b.waiting) != 0 &&
      (static_cast<std::int64_t>(packet_id) < b.highest || b.tail_asked)) {
    for (std::size_t i = 0; i < b.range_count; ++i) {
      ResendRange &r = b.ranges[i];
      if (!r.active || packet_id < r.first || packet_id > r.last) continue;
      if (b.buffer->unavailable.test(packet_id)) break;
      // Before its window ran out the packet was only late, not lost.
      if (r.tries == 0) {
        --b.waiting;
      } else {
        bump(counters_.resend_requests_ok);
        --b.outstanding;
      }
      --r.remaining;
      if (r.remaining == 0) r.active = false;
      break;
    }
  }
  if (!b.confirmed) {
    confirm(b, packet_id);
    return;
  }
  // An asked-for tail already covers everything above the highest packet.
  if (static_cast<std::int64_t>(packet_id) > b.highest + 1 && !b.tail_asked) {
    ask(b, static_cast<std::uint32_t>(b.highest + 1), packet_id - 1,
        flow_ + config_.reorder_window);
  }
  b.highest = std::max<std::int64_t>(b.highest, packet_id);
  if (b.waiting != 0 && b.trailer && packet_id == b.trailer_id) {
    // The sender is done with the block: what is missing is lost. Asked
    // for at the end of the batch, which may still bring some of it.
    for (std::size_t i = 0; i < b.range_count; ++i) {
      ResendRange &r = b.ranges[i];
      if (r.active && r.tries == 0) r.deadline = std::min(r.deadline, flow_);
    }
  }
}

// A block opened without its leader asks for nothing while its packets may
// be strays. A packet that follows on from the highest one (full as the one
// before it, or the trailer), or a third full packet of one length (a sender
// that sends out of order), shows the sender is at it; all that lies below
// is asked for then.
void Reassembly::confirm(Block &b, std::uint32_t packet_id) noexcept {
  const bool follows = b.received >= 2 && static_cast<std::int64_t>(packet_id) == b.highest + 1 &&
                       (b.short_id == 0 || packet_id == b.trailer_id);
  const std::uint32_t full = b.payloads - (b.short_id != 0 ? 1 : 0);
  const std::uint32_t top =
      static_cast<std::uint32_t>(std::max<std::int64_t>(b.highest, packet_id));
  b.highest = top;
  if (!follows && full < 3) return;
  b.confirmed = true;
  std::uint32_t last_missing = top - 1;
  while (last_missing > 0 && b.buffer->received.test(last_missing)) --last_missing;
  // Below a trailer the sender is done; otherwise the gaps get the reorder
  // window like any other.
  const bool done = b.trailer && packet_id == b.trailer_id;
  ask(b, 0, last_missing, done ? flow_ : flow_ + config_.reorder_window);
  note_newest(b.block_id);
  ask_tails();
}

// The leader came to a block that its packets alone did not confirm: they
// named the block before the sender began it. They count as refused and the
// block starts from the leader.
void Reassembly::forget_strays(Block &b) noexcept {
  bump(counters_.datagrams_refused, b.received);
  b.buffer->received.clear_through(b.touched);
  b.buffer->unavailable.clear_through(b.touched);
  Block fresh;
  fresh.open = true;
  fresh.buffer = b.buffer;
  fresh.block_id = b.block_id;
  fresh.order = b.order;
  fresh.last_arrival = b.last_arrival;
  fresh.epoch_ns = b.epoch_ns;
  fresh.forced = b.forced;
  fresh.forced_packet = b.forced_packet;
  fresh.hold_generation = b.hold_generation;
  fresh.after_hold = b.after_hold;
  b = fresh;
}

void Reassembly::ask(Block &b, std::uint32_t first, std::uint32_t last, Nanos due) noexcept {
  if (!config_.resend || config_.num_retries == 0) return;
  ResendRange *slot = nullptr;
  for (std::size_t i = 0; i < b.range_count; ++i) {
    if (!b.ranges[i].active) {
      slot = &b.ranges[i];
      break;
    }
  }
  if (slot == nullptr) {
    if (b.range_count == b.ranges.size()) return;
    slot = &b.ranges[b.range_count++];
  }
  std::uint32_t missing = 0;
  for (std::uint32_t p = first; p <= last; ++p) {
    if (!b.buffer->received.test(p) && !b.buffer->unavailable.test(p)) ++missing;
  }
  if (missing == 0) return;
  *slot = ResendRange{first, last, 0, missing, due, true};
  b.waiting += missing;
}

Nanos Reassembly::send_command(Block &b, std::uint32_t first, std::uint32_t last) noexcept {
  const Nanos left = shell_.send_resend(b.block_id, first, last);
  if (left == not_sent) return not_sent;
  bump(counters_.resend_requests);
  ++b.commands;
  if (!b.asked) {
    b.asked = true;
    b.first_asked = first;
  }
  // The wait runs from when the command left, which can be well after the
  // arrival of the packets behind it when the socket holds a backlog.
  const Nanos sent = std::max(now_, left);
  b.last_asked = std::max(b.last_asked, sent);
  return sent;
}

// The end of a range's reorder window (its first request) or of a resend
// wait (asked again, or given up).
void Reassembly::expire_range(Block &b, ResendRange &r, Nanos now) noexcept {
  const bool first_request = r.tries == 0;
  if (first_request) {
    b.waiting -= r.remaining;
    b.outstanding += r.remaining;
  } else {
    bump(counters_.resend_timeouts);
    if (r.tries >= config_.num_retries) {
      bump(counters_.resend_requests_failed, r.remaining);
      b.outstanding -= r.remaining;
      r.remaining = 0;
      r.active = false;
      return;
    }
  }
  ++r.tries;
  Nanos sent = now;
  // Ask only for what is still missing, one command per run. A command that
  // never left is not waited on: its packets are given up at once, and count
  // as failed requests only if an earlier command asked for them.
  const Buffer &buf = *b.buffer;
  std::uint32_t p = r.first;
  while (p <= r.last) {
    if (buf.received.test(p) || buf.unavailable.test(p)) {
      ++p;
      continue;
    }
    const std::uint32_t run_first = p;
    while (p < r.last && !buf.received.test(p + 1) && !buf.unavailable.test(p + 1)) ++p;
    const Nanos left = send_command(b, run_first, p);
    if (left != not_sent) {
      sent = std::max(sent, left);
    } else {
      const std::uint32_t run = std::min(p - run_first + 1, r.remaining);
      if (!first_request) bump(counters_.resend_requests_failed, run);
      r.remaining -= run;
      b.outstanding -= run;
    }
    if (p == r.last) break;
    ++p;
  }
  if (r.remaining == 0) {
    r.active = false;
    return;
  }
  raise_to(counters_.max_resend_retries, r.tries);
  r.deadline = sent + config_.resend_timeout;
}

void Reassembly::maybe_finish(Block &b) noexcept {
  if (!b.trailer) return;
  if (b.received == b.trailer_id + 1) {
    close_block(b, Ending::complete);
  } else if (b.outstanding == 0 && b.waiting == 0) {
    close_block(b, Ending::incomplete);
  }
}

void Reassembly::on_tick(Nanos now) noexcept {
  now_ = now;
  for (Block &b : blocks_) {
    if (!b.open) continue;
    if ((b.outstanding | b.waiting) != 0) {
      for (std::size_t i = 0; i < b.range_count; ++i) {
        ResendRange &r = b.ranges[i];
        if (r.active && (r.tries == 0 ? flow_ : now) >= r.deadline) expire_range(b, r, now);
      }
      maybe_finish(b);
      if (!b.open) continue;
    }
    if (now - quiet_since(b) >= config_.block_timeout) close_block(b, Ending::timeout);
  }
}

Nanos Reassembly::next_deadline() const noexcept {
  Nanos next = never;
  for (const Block &b : blocks_) {
    if (!b.open) continue;
    next = std::min(next, quiet_since(b) + config_.block_timeout);
    // Reorder windows end only with arrivals, which wake the loop anyway.
    for (std::size_t i = 0; i < b.range_count; ++i) {
      const ResendRange &r = b.ranges[i];
      if (r.active && r.tries != 0) next = std::min(next, r.deadline);
    }
  }
  return next;
}

void Reassembly::abandon_all(Nanos now) noexcept {
  now_ = now;
  for (Block &b : blocks_) {
    if (b.open) close_block(b, Ending::timeout);
  }
}

std::size_t Reassembly::predict(std::span<Prediction> out) const noexcept {
  const Block *newest = nullptr;
  for (const Block &b : blocks_) {
    if (b.open && (newest == nullptr || b.order > newest->order)) newest = &b;
  }
  if (newest == nullptr || newest->trailer) return 0;
  const std::uint32_t psize = newest->psize != 0 ? newest->psize : stream_psize_;
  if (psize == 0) return 0;
  const Buffer &buf = *newest->buffer;
  std::size_t n = 0;
  std::uint64_t p = static_cast<std::uint64_t>(std::max<std::int64_t>(newest->highest + 1, 1));
  for (; n < out.size() && p < buf.received.size(); ++p, ++n) {
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
  return n;
}

// Judged against the last block handed over or dropped: the next id always
// goes; older ids are "lt", ids past a gap "gt".
bool Reassembly::hands_over(std::uint64_t block_id) const noexcept {
  if (!have_last_) return true;
  if (block_id == gvsp::block_id_next(last_judged_, config_.kind)) return true;
  const bool lt =
      block_id == last_judged_ || gvsp::block_id_before(block_id, last_judged_, config_.kind);
  switch (config_.booo) {
    case ZOK_BOOO_ALWAYS_DROP:
      return false;
    case ZOK_BOOO_RETURN_LT:
      return lt;
    case ZOK_BOOO_RETURN_GT:
      return !lt;
    default:
      return true;
  }
}

// A block ending unconfirmed was never the sender's: its packets named a
// block nobody sent. They count as refused and leave no trace, so the real
// block of that id still opens.
void Reassembly::discard_stray(Block &b) noexcept {
  bump(counters_.datagrams_refused, std::max<std::uint32_t>(b.received, 1));
  if (b.outstanding != 0) bump(counters_.resend_requests_failed, b.outstanding);
  b.buffer->received.clear_through(b.touched);
  b.buffer->unavailable.clear_through(b.touched);
  b.open = false;
  shell_.recycle(b.buffer);
}

void Reassembly::close_block(Block &b, Ending how) noexcept {
  if (!b.confirmed) {
    discard_stray(b);
    return;
  }
  Buffer &buf = *b.buffer;
  const bool complete = how == Ending::complete;
  std::uint16_t status = b.sender_status;
  switch (how) {
    case Ending::complete:
      break;
    case Ending::incomplete:
      if (!gvsp::status_is_error(status)) status = ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE;
      break;
    case Ending::timeout:
      status = ZOK_BLOCK_STATUS_BLOCK_TIMEOUT;
      break;
    case Ending::overrun:
      status = ZOK_BLOCK_STATUS_DATA_OVERRUN;
      break;
  }
  // Packets asked for and still missing are given up with the block.
  if (b.outstanding != 0) bump(counters_.resend_requests_failed, b.outstanding);
  bump(complete ? counters_.blocks_complete : counters_.blocks_incomplete);
  if (how == Ending::timeout) bump(counters_.block_timeouts);
  if (complete) stream_psize_ = b.psize;

  FinishedBlock out;
  out.desc = b.desc;
  out.desc.payload_length = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(b.span_end, std::numeric_limits<std::uint32_t>::max()));
  out.desc.payload = buf.data;
  out.desc.buffer = buf.descriptor;
  out.desc.status = status;
  out.desc.block_id = b.block_id;
  out.desc.epoch_time_ns = b.epoch_ns;
  out.status = zok_block_status{};
  out.status.status = status;
  out.status.block_id = b.block_id;
  out.status.dropped_packet_id = b.forced ? b.forced_packet : (b.asked ? b.first_asked : 0);
  out.status.resend_request = b.commands;
  out.status.next_request_id = shell_.next_request_id();

  const bool handed = !(config_.drop_incomplete && !complete) && hands_over(b.block_id);
  const bool lost = !handed || !complete;
  if (lost && (b.hold_generation != hold_generation_ || b.after_hold || after_hold_)) {
    bump(counters_.blocked_blocks_dropped);
  }
  have_last_ = true;
  last_judged_ = b.block_id;
  remember_closed(b.block_id, &b);
  buf.received.clear_through(b.touched);
  buf.unavailable.clear_through(b.touched);
  b.open = false;
  if (handed) {
    shell_.hand_over(out);
  } else {
    bump(counters_.blocks_dropped);
    shell_.recycle(&buf);
  }
}

}  // namespace zok
