#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "block_internal.h"
#include "pattern_internal.h"

namespace {

// Short, and the same for every block: the file type only needs a name.
constexpr char file_name[] = "strobix.bin";

gvsp::Header header_for(const block_layout &layout, std::uint64_t block_id,
                        std::uint32_t packet_id) {
  gvsp::Header h;
  h.kind = layout.kind;
  h.block_id = block_id;
  h.packet_id = packet_id;
  return h;
}

}  // namespace

block_layout make_block_layout(const strobix_options &opts) {
  block_layout l{};
  l.kind = opts.header_kind;
  l.block_bytes = opts.block_bytes;
  l.data = opts.camera    ? block_data_kind::image
           : opts.pattern ? block_data_kind::pattern
                          : block_data_kind::zeros;
  l.image_bytes = opts.block_bytes;
  const bool chunks = opts.camera && (opts.chunk_control & 0x1) != 0;
  if (chunks) {
    l.chunk_control = opts.chunk_control;
    l.image_bytes = opts.block_bytes - chunk_bytes(opts.chunk_control);
  }
  const std::uint16_t type =
      chunks ? static_cast<std::uint16_t>(opts.payload_type | gvsp::payload_type_chunk_bit)
             : opts.payload_type;
  l.leader.payload_type = type;
  l.trailer.payload_type = type;
  switch (opts.payload_type) {
    case gvsp::payload_type_image:
    case gvsp::payload_type_extended_chunk:
      l.leader.pixel_format = opts.pixel_format;
      l.leader.size_x = opts.width;
      l.leader.size_y = opts.height;
      l.leader.offset_x = opts.offset_x;
      l.leader.offset_y = opts.offset_y;
      l.trailer.size_y = opts.height;
      break;
    case gvsp::payload_type_file:
      l.leader.file_name = file_name;
      break;
    default:
      break;
  }
  l.leader.payload_data_size = opts.block_bytes;
  if (opts.payload_type == gvsp::payload_type_chunk ||
      opts.payload_type == gvsp::payload_type_extended_chunk || chunks) {
    l.trailer.chunk_data_payload_length = static_cast<std::uint32_t>(opts.block_bytes);
  }
  // A new layout id whenever another set of chunks follows the image.
  if (chunks) l.trailer.chunk_layout_id = opts.chunk_control;
  const std::size_t header = gvsp::header_size(l.kind);
  l.leader_bytes = header + gvsp::leader_size(l.leader);
  l.bytes_per_packet = gvsp::packet_data_capacity(opts.packet_size, l.kind);
  const std::size_t udp_room = opts.packet_size > gvsp::ip_header_size + gvsp::udp_header_size
                                   ? opts.packet_size - gvsp::ip_header_size - gvsp::udp_header_size
                                   : 0;
  l.all_in = opts.all_in &&
             l.leader_bytes + gvsp::trailer_size(opts.payload_type) + opts.block_bytes <= udp_room;
  if (l.all_in) {
    l.payload_packets = 0;
    l.last_packet_id = 0;
  } else {
    l.payload_packets = gvsp::expected_packet_count(opts.block_bytes, l.bytes_per_packet);
    l.last_packet_id = l.payload_packets + 1;
  }
  return l;
}

data_range packet_data(const block_layout &layout, std::uint32_t packet_id) {
  if (layout.all_in) {
    return packet_id == 0 ? data_range{0, static_cast<std::size_t>(layout.block_bytes)}
                          : data_range{0, 0};
  }
  if (packet_id == 0 || packet_id > layout.payload_packets) return {0, 0};
  const std::uint64_t offset = gvsp::payload_data_offset(packet_id, layout.bytes_per_packet);
  return {offset,
          static_cast<std::size_t>(std::min(layout.bytes_per_packet, layout.block_bytes - offset))};
}

std::size_t data_window_size(const block_layout &layout) {
  // The image is sent as it lies in memory, whole.
  if (layout.data == block_data_kind::image) return static_cast<std::size_t>(layout.block_bytes);
  // An all-in block is smaller than a payload packet's data.
  const std::uint64_t period = layout.data == block_data_kind::pattern ? pattern_period : 0;
  return static_cast<std::size_t>(std::min(layout.block_bytes, period + layout.bytes_per_packet));
}

std::uint64_t data_window_offset(const block_layout &layout, std::uint64_t offset) {
  switch (layout.data) {
    case block_data_kind::zeros:
      return 0;
    case block_data_kind::image:
      return offset;
    case block_data_kind::pattern:
      break;
  }
  return layout.block_bytes <= data_window_size(layout) ? offset : offset % pattern_period;
}

bool data_made_per_block(const block_layout &layout, const data_range &r) {
  if (r.length == 0) return false;
  if (layout.data == block_data_kind::pattern) return true;
  return layout.data == block_data_kind::image && layout.chunk_control != 0 &&
         r.offset + r.length > layout.image_bytes;
}

void make_packet_data(const block_layout &layout, const block_record &block, const data_range &r,
                      std::span<const std::byte> window, std::span<std::byte> out) {
  if (layout.data == block_data_kind::pattern) {
    fill_pattern(out.first(r.length), block.block_id, r.offset);
    return;
  }
  std::memcpy(out.data(), window.data() + data_window_offset(layout, r.offset), r.length);
  write_chunks(out.first(r.length), r.offset, layout.image_bytes, layout.chunk_control,
               {block.timestamp, block.block_id, block.exposure_us});
}

std::size_t build_packet_head(const block_layout &layout, const block_record &block,
                              std::uint32_t packet_id, bool resent, std::span<std::byte> head) {
  gvsp::Header h = header_for(layout, block.block_id, packet_id);
  if (resent) {
    if (layout.kind == gvsp::HeaderKind::extended) {
      h.flags = gvsp::flag_packet_resent;
    } else {
      h.status = gvsp::status_packet_resent;
    }
  }
  if (!layout.all_in && packet_id != 0) {
    if (packet_id == layout.last_packet_id) return gvsp::build_trailer(head, h, layout.trailer);
    h.format = static_cast<std::uint8_t>(gvsp::Format::payload);
    return gvsp::build_header(head, h);
  }
  gvsp::Leader leader = layout.leader;
  leader.timestamp = block.timestamp;
  // An all-in packet's data goes out from its own buffer: only leader and
  // trailer here.
  return layout.all_in ? gvsp::build_all_in(head, h, leader, layout.trailer, {})
                       : gvsp::build_leader(head, h, leader);
}

std::size_t build_unavailable(const block_layout &layout, std::uint64_t block_id,
                              std::uint32_t packet_id, std::span<std::byte> head) {
  gvsp::Header h = header_for(layout, block_id, packet_id);
  // The format of the packet it stands for, so a dissector can place it.
  gvsp::Format f = gvsp::Format::payload;
  if (layout.all_in) {
    f = gvsp::Format::all_in;
  } else if (packet_id == 0) {
    f = gvsp::Format::leader;
  } else if (packet_id == layout.last_packet_id) {
    f = gvsp::Format::trailer;
  }
  h.format = static_cast<std::uint8_t>(f);
  return gvsp::build_error(head, h, gvsp::status_packet_unavailable);
}

void fill_pattern(std::span<std::byte> out, std::uint64_t block_id, std::uint64_t offset) {
  const auto id_hi = std::byte((block_id >> 8) & 0xFF);
  const auto id_lo = std::byte(block_id & 0xFF);
  std::size_t i = 0;
  // Up to the next word boundary byte by byte, then whole words.
  for (; i < out.size() && (offset + i) % 4 != 0; ++i) {
    const std::uint64_t o = offset + i;
    const std::uint64_t word = o / 4;
    switch (o % 4) {
      case 1:
        out[i] = id_lo;
        break;
      case 2:
        out[i] = std::byte((word >> 8) & 0xFF);
        break;
      default:
        out[i] = std::byte(word & 0xFF);
        break;
    }
  }
  std::uint64_t word = (offset + i) / 4;
  // Whole words as one big-endian store each: this runs over every block.
  const std::uint32_t id16 = static_cast<std::uint32_t>(block_id & 0xFFFF) << 16;
  for (; i + 4 <= out.size(); i += 4, ++word) {
    const std::uint32_t v = htonl(id16 | static_cast<std::uint32_t>(word & 0xFFFF));
    std::memcpy(out.data() + i, &v, 4);
  }
  const std::byte tail[3] = {id_hi, id_lo, std::byte((word >> 8) & 0xFF)};
  for (std::size_t t = 0; i < out.size(); ++i, ++t) out[i] = tail[t];
}
