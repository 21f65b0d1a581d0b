#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "gvsp/gvsp.h"
#include "lib/bytes.h"
#include "lib/gvsp_packets.h"

namespace {

using gvsp::Error;
using gvsp::HeaderKind;
using testlib::Exact;
using testlib::exact;
using testlib::header;
using testlib::wire;

constexpr HeaderKind kStd = HeaderKind::standard;
constexpr HeaderKind kExt = HeaderKind::extended;

std::vector<std::byte> buffer(std::size_t n = gvsp::max_datagram_size) {
  return std::vector<std::byte>(n, std::byte{0xEE});
}

// parse over the first n bytes, copied to exactly that length so that a read
// past the datagram is the sanitizer's to see; the copy lives as long as the
// views the parse keeps into it.
template <typename T>
struct Parsed : gvsp::Result<T> {
  Exact bytes;
};
template <typename T>
Parsed<T> parsed(const std::vector<std::byte> &v, std::size_t n,
                 gvsp::Result<T> (*parse)(gvsp::bytes)) {
  Parsed<T> p;
  p.bytes = exact(v, n);
  static_cast<gvsp::Result<T> &>(p) = parse(p.bytes.span);
  return p;
}

// The refusal (or ok) for the first n bytes.
template <typename T>
Error parse_prefix(const std::vector<std::byte> &v, std::size_t n,
                   gvsp::Result<T> (*parse)(gvsp::bytes)) {
  return parsed(v, n, parse).error;
}

gvsp::Leader make_leader(std::uint16_t type) {
  gvsp::Leader l;
  l.payload_type = type;
  l.timestamp = 0x0102030405060708ull;
  switch (gvsp::payload_type_base(type)) {
    case gvsp::payload_type_image:
    case gvsp::payload_type_extended_chunk:
      l.pixel_format = gvsp::pixel_format_mono8;
      l.size_x = 640;
      l.size_y = 480;
      l.offset_x = 3;
      l.offset_y = 5;
      l.padding_x = 7;
      l.padding_y = 9;
      break;
    case gvsp::payload_type_raw:
      l.payload_data_size = 0x1'0000'0001ull;
      break;
    case gvsp::payload_type_file:
      l.payload_data_size = 1234;
      l.file_name = "frame.bin";
      break;
    default:
      break;
  }
  return l;
}

gvsp::Trailer make_trailer(std::uint16_t type) {
  gvsp::Trailer t;
  t.payload_type = type;
  const auto base = gvsp::payload_type_base(type);
  if (base == gvsp::payload_type_image || base == gvsp::payload_type_extended_chunk ||
      base == gvsp::payload_type_multizone) {
    t.size_y = 479;
  }
  if (base == gvsp::payload_type_chunk || base == gvsp::payload_type_extended_chunk ||
      gvsp::payload_type_has_chunks(type)) {
    t.chunk_data_payload_length = 0xA0B0C0D0;
  }
  if (base == gvsp::payload_type_extended_chunk || gvsp::payload_type_has_chunks(type)) {
    t.chunk_layout_id = 0x11223344;
  }
  return t;
}

void expect_same_leader(const gvsp::Leader &a, const gvsp::Leader &b) {
  EXPECT_EQ(a.field_info, b.field_info);
  EXPECT_EQ(a.generic_flags, b.generic_flags);
  EXPECT_EQ(a.payload_type, b.payload_type);
  EXPECT_EQ(a.timestamp, b.timestamp);
  EXPECT_EQ(a.pixel_format, b.pixel_format);
  EXPECT_EQ(a.size_x, b.size_x);
  EXPECT_EQ(a.size_y, b.size_y);
  EXPECT_EQ(a.offset_x, b.offset_x);
  EXPECT_EQ(a.offset_y, b.offset_y);
  EXPECT_EQ(a.padding_x, b.padding_x);
  EXPECT_EQ(a.padding_y, b.padding_y);
  EXPECT_EQ(a.payload_data_size, b.payload_data_size);
  EXPECT_EQ(a.timestamp_tick_frequency, b.timestamp_tick_frequency);
  EXPECT_EQ(a.data_format, b.data_format);
  EXPECT_EQ(a.file_name, b.file_name);
}

void expect_same_trailer(const gvsp::Trailer &a, const gvsp::Trailer &b) {
  EXPECT_EQ(a.payload_type, b.payload_type);
  EXPECT_EQ(a.size_y, b.size_y);
  EXPECT_EQ(a.chunk_data_payload_length, b.chunk_data_payload_length);
  EXPECT_EQ(a.chunk_layout_id, b.chunk_layout_id);
}

// ---------------------------------------------------------------------------
// Id and size arithmetic

TEST(GvspIds, BlockIdNextSkipsZero) {
  struct Case {
    std::uint64_t id;
    HeaderKind kind;
    std::uint64_t next;
  } cases[] = {
      {1, kStd, 2},
      {65534, kStd, 65535},
      {65535, kStd, 1},
      {0, kStd, 1},
      {1, kExt, 2},
      {65535, kExt, 65536},
      {0xFFFFFFFFull, kExt, 0x100000000ull},
      {~0ull, kExt, 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(gvsp::block_id_next(c.id, c.kind), c.next) << c.id;
  }
}

TEST(GvspIds, BlockIdBeforeComparesOnTheRing) {
  struct Case {
    std::uint64_t a, b;
    HeaderKind kind;
    bool before;
  } cases[] = {
      {1, 2, kStd, true},
      {2, 1, kStd, false},
      {5, 5, kStd, false},
      {65535, 1, kStd, true},  // the wrap: 1 follows 65535
      {1, 65535, kStd, false},
      {65534, 2, kStd, true},
      {1, 32768, kStd, true},   // 32767 steps ahead: still after
      {1, 32769, kStd, false},  // 32768 steps ahead: nearer behind
      {1, 2, kExt, true},
      {65535, 65536, kExt, true},
      {65536, 1, kExt, false},
      {~0ull, 1, kExt, true},
      {0x100000000ull, 0xFFFFFFFFull, kExt, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(gvsp::block_id_before(c.a, c.b, c.kind), c.before) << c.a << " vs " << c.b;
  }
}

TEST(GvspIds, BlockIdDistanceCountsNextSteps) {
  EXPECT_EQ(gvsp::block_id_distance(65535, 1, kStd), 1u);
  EXPECT_EQ(gvsp::block_id_distance(65534, 3, kStd), 4u);
  EXPECT_EQ(gvsp::block_id_distance(7, 7, kStd), 0u);
  EXPECT_EQ(gvsp::block_id_distance(2, 1, kStd), 65534u);
  EXPECT_EQ(gvsp::block_id_distance(0xFFFFFFFFull, 0x100000002ull, kExt), 3u);
  EXPECT_EQ(gvsp::block_id_distance(~0ull - 3, 17, kExt), 20u);  // 0 is skipped
  EXPECT_EQ(gvsp::block_id_distance(17, ~0ull - 3, kExt), ~0ull - 20);
  // Walking the whole 16-bit ring with block_id_next agrees with the distance.
  std::uint64_t id = 1;
  for (unsigned steps = 0; steps < 70000; ++steps) {
    ASSERT_EQ(gvsp::block_id_distance(1, id, kStd), steps % 65535) << steps;
    id = gvsp::block_id_next(id, kStd);
  }
}

TEST(GvspSizes, PacketArithmetic) {
  EXPECT_EQ(gvsp::packet_data_capacity(1500, kStd), 1500u - 20 - 8 - 8);
  EXPECT_EQ(gvsp::packet_data_capacity(1500, kExt), 1500u - 20 - 8 - 20);
  EXPECT_EQ(gvsp::packet_data_capacity(36, kStd), 0u);
  EXPECT_EQ(gvsp::packet_data_capacity(37, kStd), 1u);
  EXPECT_EQ(gvsp::packet_data_capacity(10, kExt), 0u);
  EXPECT_EQ(gvsp::stream_packet_size(1472), 1500u);

  struct Case {
    std::uint64_t bytes, per_packet, count;
  } counts[] = {
      {0, 1464, 0},
      {1, 1464, 1},
      {1464, 1464, 1},
      {1465, 1464, 2},
      {2928, 1464, 2},
      {1048576, 1464, 717},
      {1ull << 40, 1, 1ull << 40},
      {100, 0, 0},
  };
  for (const Case &c : counts) {
    EXPECT_EQ(gvsp::expected_packet_count(c.bytes, c.per_packet), c.count) << c.bytes;
  }
  EXPECT_EQ(gvsp::payload_data_offset(1, 1464), 0u);
  EXPECT_EQ(gvsp::payload_data_offset(2, 1464), 1464u);
  EXPECT_EQ(gvsp::payload_data_offset(0xFFFFFFFFu, 9000), 0xFFFFFFFEull * 9000);
  EXPECT_EQ(gvsp::payload_data_offset(0, 1464), 0u);
}

TEST(GvspSizes, PacketRangeValid) {
  EXPECT_TRUE(gvsp::packet_range_valid(1, 1, 5));
  EXPECT_TRUE(gvsp::packet_range_valid(0, 5, 5));
  EXPECT_FALSE(gvsp::packet_range_valid(3, 2, 5));
  EXPECT_FALSE(gvsp::packet_range_valid(1, 6, 5));
  EXPECT_TRUE(gvsp::packet_range_valid(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
}

// ---------------------------------------------------------------------------
// Exact bytes, so that a round trip cannot hide a mistake made symmetrically

TEST(GvspWire, StandardRawLeaderBytes) {
  gvsp::Header h = header(0x1234, 0, kStd);
  gvsp::Leader l = make_leader(gvsp::payload_type_raw);
  auto out = buffer();
  ASSERT_EQ(gvsp::build_leader(out, h, l), 28u);
  out.resize(28);
  EXPECT_EQ(out, wire({0x00, 0x00, 0x12, 0x34, 0x01, 0x00, 0x00, 0x00,  //
                       0x00, 0x00, 0x00, 0x02, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                       0x07, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}));
}

TEST(GvspWire, ExtendedPayloadHeaderBytes) {
  gvsp::Header h = header(0x0102030405060708ull, 0xA1B2C3D4, kExt);
  h.status = gvsp::status_packet_resent;
  h.device_flags = 0x5A;
  h.flags = gvsp::flag_packet_resent;
  const auto data = wire({0xDE, 0xAD});
  auto out = buffer();
  ASSERT_EQ(gvsp::build_payload(out, h, data), 22u);
  out.resize(22);
  EXPECT_EQ(out, wire({0x01, 0x00, 0x5A, 0x01, 0x83, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03,
                       0x04, 0x05, 0x06, 0x07, 0x08, 0xA1, 0xB2, 0xC3, 0xD4, 0xDE, 0xAD}));
}

TEST(GvspWire, ImageLeaderAndTrailerBytes) {
  gvsp::Leader l = make_leader(gvsp::payload_type_image);
  l.field_info = 0x10;
  auto out = buffer();
  ASSERT_EQ(gvsp::build_leader(out, header(1, 0, kStd), l), 8u + 36u);
  out.resize(44);
  EXPECT_EQ(out, wire({0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                       0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x01, 0x08,
                       0x00, 0x01, 0x00, 0x00, 0x02, 0x80, 0x00, 0x00, 0x01, 0xE0, 0x00,
                       0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0x07, 0x00, 0x09}));

  auto t = buffer();
  ASSERT_EQ(
      gvsp::build_trailer(t, header(1, 0xFFFFFF, kStd), make_trailer(gvsp::payload_type_image)),
      16u);
  t.resize(16);
  EXPECT_EQ(t, wire({0x00, 0x00, 0x00, 0x01, 0x02, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00,
                     0x00, 0x01, 0xDF}));
}

TEST(GvspWire, ResendCommandBytes) {
  gvsp::ResendCommand c;
  c.req_id = 0x0102;
  c.channel = 3;
  c.block_id = 0xBEEF;
  c.first_packet_id = 0x10;
  c.last_packet_id = 0xFFFFFF;
  auto out = buffer();
  ASSERT_EQ(gvsp::build_resend_command(out, c), 20u);
  out.resize(20);
  EXPECT_EQ(out, wire({0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x01, 0x02, 0x00, 0x03,
                       0xBE, 0xEF, 0x00, 0x00, 0x00, 0x10, 0x00, 0xFF, 0xFF, 0xFF}));

  c.kind = kExt;
  c.block_id = 0x0000000100000002ull;
  c.last_packet_id = 0x01000000;
  auto ext = buffer();
  ASSERT_EQ(gvsp::build_resend_command(ext, c), 28u);
  ext.resize(28);
  EXPECT_EQ(ext, wire({0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x01, 0x02, 0x00, 0x03,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02}));
}

// ---------------------------------------------------------------------------
// Headers

TEST(GvspHeader, RoundTripsAtTheIdBoundaries) {
  struct Case {
    HeaderKind kind;
    std::uint64_t block_id;
    std::uint32_t packet_id;
  } cases[] = {
      {kStd, 1, 0},
      {kStd, 65535, 0xFFFFFF},
      {kExt, 1, 0},
      {kExt, 65536, 0x1000000},
      {kExt, (1ull << 32) + 5, 0xFFFFFFFF},
      {kExt, ~0ull, 1},
  };
  for (const Case &c : cases) {
    gvsp::Header h = header(c.block_id, c.packet_id, c.kind);
    h.status = gvsp::status_data_overrun;
    h.format = 3;
    if (c.kind == kExt) {
      h.flags = gvsp::flag_packet_resent | gvsp::flag_resend_range_error;
      h.device_flags = 0x80;
    }
    auto out = buffer();
    const std::size_t n = gvsp::build_header(out, h);
    ASSERT_EQ(n, gvsp::header_size(c.kind));
    const auto r = parsed(out, n, gvsp::parse_header);
    ASSERT_TRUE(r.ok()) << gvsp::error_name(r.error);
    EXPECT_EQ(r.value.kind, c.kind);
    EXPECT_EQ(r.value.block_id, c.block_id);
    EXPECT_EQ(r.value.packet_id, c.packet_id);
    EXPECT_EQ(r.value.status, h.status);
    EXPECT_EQ(r.value.format, 3);
    EXPECT_EQ(r.value.flags, h.flags);
    EXPECT_EQ(r.value.device_flags, h.device_flags);
  }
}

TEST(GvspHeader, BuilderRefusesWhatTheHeaderCannotCarry) {
  auto out = buffer();
  EXPECT_EQ(gvsp::build_header(out, header(65536, 1, kStd)), 0u);
  EXPECT_EQ(gvsp::build_header(out, header(1, 0x1000000, kStd)), 0u);
  gvsp::Header bad_format = header(1, 1, kStd);
  bad_format.format = 16;
  EXPECT_EQ(gvsp::build_header(out, bad_format), 0u);
  EXPECT_EQ(gvsp::build_header(gvsp::out_bytes(out).first(7), header(1, 1, kStd)), 0u);
  EXPECT_EQ(gvsp::build_header(gvsp::out_bytes(out).first(19), header(1, 1, kExt)), 0u);
  EXPECT_EQ(gvsp::build_payload(gvsp::out_bytes(out).first(9), header(1, 1, kStd), wire({1, 2})),
            0u);
}

TEST(GvspHeader, ParserRefusesShortHeadersAndBlockZero) {
  auto out = buffer();
  for (auto [kind, size] : {std::pair{kExt, 20u}, std::pair{kStd, 8u}}) {
    ASSERT_EQ(gvsp::build_header(out, header(9, 9, kind)), size);
    for (std::size_t n = 0; n < size; ++n) {
      EXPECT_EQ(parse_prefix(out, n, gvsp::parse_header), Error::truncated) << size << " " << n;
    }
  }
  const auto zero_std = wire({0, 0, 0, 0, 3, 0, 0, 1});
  EXPECT_EQ(gvsp::parse_header(zero_std).error, Error::bad_block_id);
  auto zero_ext = wire({0, 0, 0, 0, 0x83, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  EXPECT_EQ(gvsp::parse_header(zero_ext).error, Error::bad_block_id);
}

// ---------------------------------------------------------------------------
// Leaders, trailers, packets

const std::uint16_t kTypes[] = {
    gvsp::payload_type_image,
    gvsp::payload_type_raw,
    gvsp::payload_type_file,
    gvsp::payload_type_chunk,
    gvsp::payload_type_extended_chunk,
    gvsp::payload_type_image | gvsp::payload_type_chunk_bit,
    gvsp::payload_type_raw | gvsp::payload_type_chunk_bit,
};

TEST(GvspPacket, LeadersOfEveryTypeRoundTripInBothHeaders) {
  for (HeaderKind kind : {kStd, kExt}) {
    for (std::uint16_t type : kTypes) {
      const gvsp::Leader l = make_leader(type);
      auto out = buffer();
      const std::size_t n = gvsp::build_leader(out, header(65535, 0, kind), l);
      ASSERT_EQ(n, gvsp::header_size(kind) + gvsp::leader_size(l)) << type;
      const auto r = parsed(out, n, gvsp::parse_packet);
      ASSERT_TRUE(r.ok()) << type << ": " << gvsp::error_name(r.error);
      EXPECT_EQ(r.value.kind, gvsp::PacketKind::leader);
      EXPECT_EQ(r.value.header.format, 1);
      expect_same_leader(r.value.leader, l);
      // Every shorter datagram is refused as truncated, never read past.
      const std::size_t need =
          gvsp::header_size(kind) +
          (gvsp::payload_type_base(type) == gvsp::payload_type_file ? 20 : gvsp::leader_size(l));
      for (std::size_t k = 0; k < need; ++k) {
        EXPECT_EQ(parse_prefix(out, k, gvsp::parse_packet), Error::truncated)
            << type << " at " << k;
      }
    }
  }
}

TEST(GvspPacket, LeaderSizesFollowTheTypeLayouts) {
  EXPECT_EQ(gvsp::leader_size(make_leader(gvsp::payload_type_image)), 36u);
  EXPECT_EQ(gvsp::leader_size(make_leader(gvsp::payload_type_raw)), 20u);
  EXPECT_EQ(gvsp::leader_size(make_leader(gvsp::payload_type_file)), 20u + 9 + 1);
  EXPECT_EQ(gvsp::leader_size(make_leader(gvsp::payload_type_chunk)), 12u);
  EXPECT_EQ(gvsp::leader_size(make_leader(gvsp::payload_type_extended_chunk)), 36u);
  EXPECT_EQ(gvsp::leader_size(make_leader(0x8001)), 12u);
  EXPECT_EQ(gvsp::trailer_size(gvsp::payload_type_image), 8u);
  EXPECT_EQ(gvsp::trailer_size(gvsp::payload_type_raw), 4u);
  EXPECT_EQ(gvsp::trailer_size(gvsp::payload_type_file), 4u);
  EXPECT_EQ(gvsp::trailer_size(gvsp::payload_type_chunk), 8u);
  EXPECT_EQ(gvsp::trailer_size(gvsp::payload_type_extended_chunk), 16u);
  EXPECT_EQ(gvsp::trailer_size(gvsp::payload_type_raw | gvsp::payload_type_chunk_bit), 12u);
  EXPECT_EQ(gvsp::trailer_size(gvsp::payload_type_image | gvsp::payload_type_chunk_bit), 16u);
}

TEST(GvspPacket, OtherPayloadTypesKeepTheCommonLeaderPart) {
  gvsp::Leader l;
  l.payload_type = 0x8123;
  l.timestamp = ~0ull;
  l.field_info = 0x21;
  l.generic_flags = 0x80;
  auto out = buffer();
  ASSERT_EQ(gvsp::build_leader(out, header(5, 0, kExt), l), 32u);
  // Devices pad short packets; the padding is not the parser's concern.
  const auto r = parsed(out, 60, gvsp::parse_packet);
  ASSERT_TRUE(r.ok());
  expect_same_leader(r.value.leader, l);
  EXPECT_FALSE(gvsp::payload_type_known(0x8123));

  gvsp::Trailer t;
  t.payload_type = 0x8123;
  ASSERT_EQ(gvsp::build_trailer(out, header(5, 2, kExt), t), 24u);
  const auto rt = parsed(out, 24, gvsp::parse_packet);
  ASSERT_TRUE(rt.ok());
  EXPECT_EQ(rt.value.trailer.payload_type, 0x8123);
}

TEST(GvspPacket, FileNameFillsTheLeader) {
  // A 9000-byte stream packet with the name taking every byte after the
  // fixed fields, NUL included.
  const std::size_t udp = 9000 - 28;
  const std::string name(udp - 8 - 20 - 1, 'n');
  gvsp::Leader l = make_leader(gvsp::payload_type_file);
  l.file_name = name;
  auto out = buffer();
  ASSERT_EQ(gvsp::build_leader(out, header(2, 0, kStd), l), udp);
  auto r = parsed(out, udp, gvsp::parse_packet);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.leader.file_name, name);
  // Without its NUL the name still ends with the datagram, never beyond.
  r = parsed(out, udp - 1, gvsp::parse_packet);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.leader.file_name, name);
  r = parsed(out, udp - 5, gvsp::parse_packet);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.leader.file_name.size(), name.size() - 4);

  l.file_name = "";
  ASSERT_EQ(gvsp::build_leader(out, header(2, 0, kStd), l), 8u + 21u);
  r = parsed(out, 29, gvsp::parse_packet);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.leader.file_name, "");
  EXPECT_EQ(gvsp::build_leader(gvsp::out_bytes(out).first(28), header(2, 0, kStd), l), 0u);
}

TEST(GvspPacket, TrailersOfEveryTypeRoundTrip) {
  for (HeaderKind kind : {kStd, kExt}) {
    for (std::uint16_t type : kTypes) {
      const gvsp::Trailer t = make_trailer(type);
      const std::uint32_t id = kind == kStd ? 0xFFFFFF : 0xFFFFFFFF;
      auto out = buffer();
      const std::size_t n =
          gvsp::build_trailer(out, header(0x100000001ull & gvsp::max_block_id(kind), id, kind), t);
      ASSERT_EQ(n, gvsp::header_size(kind) + gvsp::trailer_size(type));
      const auto r = parsed(out, n, gvsp::parse_packet);
      ASSERT_TRUE(r.ok()) << type << ": " << gvsp::error_name(r.error);
      EXPECT_EQ(r.value.kind, gvsp::PacketKind::trailer);
      EXPECT_EQ(r.value.header.packet_id, id);
      expect_same_trailer(r.value.trailer, t);
      for (std::size_t k = 0; k < n; ++k) {
        EXPECT_EQ(parse_prefix(out, k, gvsp::parse_packet), Error::truncated)
            << type << " at " << k;
      }
    }
  }
}

TEST(GvspPacket, PayloadPacketsEmptyAndFull) {
  for (HeaderKind kind : {kStd, kExt}) {
    const std::size_t hn = gvsp::header_size(kind);
    std::vector<std::byte> data(gvsp::max_datagram_size - hn);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::byte(i * 7);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, data.size()}) {
      auto out = buffer();
      const auto in = gvsp::bytes(data).first(size);
      const std::size_t n = gvsp::build_payload(out, header(3, 1, kind), in);
      ASSERT_EQ(n, hn + size);
      const auto r = parsed(out, n, gvsp::parse_packet);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value.kind, gvsp::PacketKind::payload);
      ASSERT_EQ(r.value.data.size(), size);
      EXPECT_TRUE(std::equal(in.begin(), in.end(), r.value.data.begin()));
    }
    auto out = buffer(hn + data.size() - 1);
    EXPECT_EQ(gvsp::build_payload(out, header(3, 1, kind), data), 0u);
  }
}

TEST(GvspPacket, AllInPacketsCarryLeaderTrailerAndData) {
  const auto data = wire({1, 2, 3, 4, 5});
  for (HeaderKind kind : {kStd, kExt}) {
    for (std::uint16_t type : kTypes) {
      const gvsp::Leader l = make_leader(type);
      const gvsp::Trailer t = make_trailer(type);
      for (std::size_t size : {std::size_t{0}, data.size()}) {
        auto out = buffer();
        const std::size_t n =
            gvsp::build_all_in(out, header(77, 0, kind), l, t, gvsp::bytes(data).first(size));
        ASSERT_EQ(n,
                  gvsp::header_size(kind) + gvsp::leader_size(l) + gvsp::trailer_size(type) + size);
        const auto r = parsed(out, n, gvsp::parse_packet);
        ASSERT_TRUE(r.ok()) << type << ": " << gvsp::error_name(r.error);
        EXPECT_EQ(r.value.kind, gvsp::PacketKind::all_in);
        EXPECT_EQ(r.value.header.format, 4);
        expect_same_leader(r.value.leader, l);
        expect_same_trailer(r.value.trailer, t);
        ASSERT_EQ(r.value.data.size(), size);
        EXPECT_TRUE(std::equal(r.value.data.begin(), r.value.data.end(), data.begin()));
        if (size == 0) {
          for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(parse_prefix(out, k, gvsp::parse_packet), Error::truncated)
                << type << " at " << k;
          }
        }
      }
    }
  }
}

TEST(GvspPacket, AllInOfUnknownLayoutOrWithATrailerOfAnotherTypeIsRefused) {
  gvsp::Leader h264;
  h264.payload_type = gvsp::payload_type_h264;
  gvsp::Trailer h264_trailer;
  h264_trailer.payload_type = gvsp::payload_type_h264;
  const std::tuple<gvsp::Leader, gvsp::Trailer, std::vector<std::byte>> cases[] = {
      {h264, h264_trailer, wire({9, 9})}, {make_leader(2), make_trailer(4), wire({1, 2, 3, 4, 5})}};
  for (const auto &[l, t, data] : cases) {
    auto out = buffer();
    const std::size_t n = gvsp::build_all_in(out, header(1, 0, kStd), l, t, data);
    ASSERT_NE(n, 0u) << l.payload_type;
    EXPECT_EQ(parse_prefix(out, n, gvsp::parse_packet), Error::bad_payload_type) << l.payload_type;
  }
}

TEST(GvspPacket, ErrorPacketsAreHeaderOnly) {
  for (HeaderKind kind : {kStd, kExt}) {
    gvsp::Header h = header(65535, 12, kind);
    h.format = 3;
    auto out = buffer();
    const std::size_t n = gvsp::build_error(out, h, gvsp::status_packet_unavailable);
    ASSERT_EQ(n, gvsp::header_size(kind));
    const auto r = parsed(out, n, gvsp::parse_packet);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value.kind, gvsp::PacketKind::error);
    EXPECT_EQ(r.value.header.status, 0x800C);
    EXPECT_EQ(r.value.header.packet_id, 12u);
    EXPECT_TRUE(r.value.data.empty());
    // A leader-format error is not parsed as a leader (it has no leader data).
    h.format = 1;
    h.packet_id = 0;
    ASSERT_EQ(gvsp::build_error(out, h, gvsp::status_packet_removed), n);
    EXPECT_EQ(parsed(out, n, gvsp::parse_packet).value.kind, gvsp::PacketKind::error);
  }
}

TEST(GvspPacket, ResentMarksDependOnTheHeader) {
  gvsp::Header h = header(1, 1, kStd);
  EXPECT_FALSE(gvsp::is_resent(h));
  h.status = gvsp::status_packet_resent;
  EXPECT_TRUE(gvsp::is_resent(h));
  h = header(1, 1, kExt);
  h.flags = gvsp::flag_packet_resent;
  EXPECT_TRUE(gvsp::is_resent(h));
  EXPECT_FALSE(gvsp::status_is_error(gvsp::status_packet_resent));
  EXPECT_TRUE(gvsp::status_is_error(gvsp::status_packet_unavailable));
}

TEST(GvspPacket, RefusesImpossiblePacketIdsAndUnknownFormats) {
  auto out = buffer();
  std::size_t n = gvsp::build_leader(out, header(1, 1, kStd), make_leader(2));
  EXPECT_EQ(parse_prefix(out, n, gvsp::parse_packet), Error::bad_packet_id);
  n = gvsp::build_all_in(out, header(1, 5, kExt), make_leader(2), make_trailer(2), {});
  EXPECT_EQ(parse_prefix(out, n, gvsp::parse_packet), Error::bad_packet_id);
  n = gvsp::build_payload(out, header(1, 0, kStd), wire({1}));
  EXPECT_EQ(parse_prefix(out, n, gvsp::parse_packet), Error::bad_packet_id);
  n = gvsp::build_trailer(out, header(1, 0, kExt), make_trailer(2));
  EXPECT_EQ(parse_prefix(out, n, gvsp::parse_packet), Error::bad_packet_id);

  for (std::uint8_t format : {0, 5, 6, 7, 8, 15}) {
    for (HeaderKind kind : {kStd, kExt}) {
      gvsp::Header h = header(1, 1, kind);
      h.format = format;
      n = gvsp::build_header(out, h);
      ASSERT_NE(n, 0u);
      out[n] = std::byte{0};
      EXPECT_EQ(parse_prefix(out, n + 1, gvsp::parse_packet), Error::bad_format) << int(format);
    }
  }
}

// ---------------------------------------------------------------------------
// PACKETRESEND_CMD

TEST(GvcpResend, RoundTripsBothForms) {
  struct Case {
    HeaderKind kind;
    std::uint64_t block_id;
    std::uint32_t first, last;
  } cases[] = {
      {kStd, 1, 0, 0},
      {kStd, 65535, 1, 0xFFFFFF},
      {kExt, 65536, 0x1000000, 0xFFFFFFFF},
      {kExt, (1ull << 32) + 1, 7, 7},
      {kExt, ~0ull, 0, 1},
  };
  for (const Case &c : cases) {
    gvsp::ResendCommand cmd;
    cmd.kind = c.kind;
    cmd.req_id = 0xFFFF;
    cmd.channel = 0x0102;
    cmd.block_id = c.block_id;
    cmd.first_packet_id = c.first;
    cmd.last_packet_id = c.last;
    auto out = buffer();
    const std::size_t n = gvsp::build_resend_command(out, cmd);
    ASSERT_EQ(n, c.kind == kStd ? 20u : 28u);
    const auto r = parsed(out, n, gvsp::parse_resend_command);
    ASSERT_TRUE(r.ok()) << gvsp::error_name(r.error);
    EXPECT_EQ(r.value.kind, c.kind);
    EXPECT_EQ(r.value.req_id, 0xFFFF);
    EXPECT_EQ(r.value.channel, 0x0102);
    EXPECT_EQ(r.value.block_id, c.block_id);
    EXPECT_EQ(r.value.first_packet_id, c.first);
    EXPECT_EQ(r.value.last_packet_id, c.last);
    for (std::size_t k = 0; k < n; ++k) {
      EXPECT_EQ(parse_prefix(out, k, gvsp::parse_resend_command), Error::truncated) << k;
    }
  }
  gvsp::ResendCommand wide;
  wide.block_id = 65536;
  auto out = buffer();
  EXPECT_EQ(gvsp::build_resend_command(out, wide), 0u);
  wide.block_id = 1;
  wide.last_packet_id = 0x1000000;
  EXPECT_EQ(gvsp::build_resend_command(out, wide), 0u);
}

TEST(GvcpResend, RefusesMalformedCommandsWithTheirReason) {
  const auto good = wire({0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03});
  ASSERT_TRUE(gvsp::parse_resend_command(good).ok());
  auto mutate = [&](std::size_t at, unsigned v) {
    auto m = good;
    m[at] = std::byte(v);
    return gvsp::parse_resend_command(m).error;
  };
  EXPECT_EQ(mutate(0, 0x43), Error::bad_key);
  EXPECT_EQ(mutate(3, 0x41), Error::unknown_command);
  EXPECT_EQ(mutate(2, 0x01), Error::unknown_command);
  EXPECT_EQ(mutate(5, 0x10), Error::bad_length);
  EXPECT_EQ(mutate(5, 0x14), Error::bad_length);
  EXPECT_EQ(mutate(1, 0x10), Error::bad_length);  // extended flag with the 1.x length
  EXPECT_EQ(mutate(11, 0x00), Error::bad_block_id);
  EXPECT_EQ(mutate(12, 0x01), Error::bad_packet_id);  // 25-bit id in the 1.x form
  EXPECT_EQ(mutate(15, 0x04), Error::bad_range);
  EXPECT_EQ(mutate(1, 0x01), Error::ok);  // an acknowledge request changes nothing here
  auto longer = good;
  longer.push_back(std::byte{0});
  EXPECT_EQ(gvsp::parse_resend_command(longer).error, Error::bad_length);
  EXPECT_EQ(gvsp::parse_resend_command({}).error, Error::truncated);
}

}  // namespace
