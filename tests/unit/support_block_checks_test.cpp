#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <support/block_checks.h>
#include <support/process_state.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "lib/capture.h"
#include "lib/pattern.h"

namespace {

std::string sequence_report(std::vector<uint64_t> ids, bool extended = false) {
  block_sequence sequence;
  sequence.extended_ids = extended;
  return printed([&](FILE *out) {
    for (uint64_t id : ids) check_block_sequence(out, &sequence, id);
  });
}

// Ids as handed over, 1.x (16-bit, never 0) or 2.x, and what the check says.
TEST(BlockSequence, ReportsEachGapOnce) {
  const struct {
    std::vector<uint64_t> ids;
    bool extended;
    const char *report;
  } cases[] = {
      {{1, 2, 3}, false, ""},
      {{1, 2, 5, 6}, false, "Got block id5, expected 3\n"},  // then it follows the new id
      {{65534, 65535, 1}, false, ""},
      {{65535, 0}, false, "Got block id0, expected 1\n"},
      {{40000}, false, ""},  // the first block is never reported
      {{0, 1}, false, ""},
      {{70000, 70001}, false, "Got block id70001, expected 4465\n"},
      {{65534, 65535, 65536, 65537}, true, ""},
      {{0xfffffffffffffffe, 0xffffffffffffffff, 1}, true, ""},
      {{5000000000, 5000000002}, true, "Got block id5000000002, expected 5000000001\n"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(sequence_report(c.ids, c.extended), c.report)
        << c.ids.front() << ", " << c.ids.back();
  }
}

TEST(HexDump, FullRowsAShortTailAndWideOffsets) {
  unsigned char bytes[17];
  for (int i = 0; i < 17; ++i) bytes[i] = static_cast<unsigned char>(0xa0 + i);
  EXPECT_EQ(printed([&](FILE *out) { hex_dump(out, bytes, 16); }),
            "0000: a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af\n");
  EXPECT_EQ(printed([&](FILE *out) { hex_dump(out, bytes, 17); }),
            "0000: a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af\n"
            "0010: b0 \n");
  EXPECT_EQ(printed([&](FILE *out) { hex_dump(out, bytes, 5); }), "0000: a0 a1 a2 a3 a4 \n");
  EXPECT_EQ(printed([&](FILE *out) { hex_dump(out, bytes, 0); }), "");
  EXPECT_EQ(printed([&](FILE *out) { hex_dump(out, bytes, -3); }), "");
  // Offsets grow past four digits.
  std::vector<unsigned char> large(0x10010, 0);
  std::string text =
      printed([&](FILE *out) { hex_dump(out, large.data(), static_cast<int32_t>(large.size())); });
  EXPECT_NE(text.find("\n10000: 00 00"), std::string::npos);
}

// A raw-data block carrying strobix's pattern for block_id.
struct raw_block {
  std::vector<unsigned char> bytes;
  zok_block_desc desc = {};

  raw_block(uint64_t block_id, size_t length) : bytes(length) {
    testlib::fill_pattern(bytes.data(), length, block_id);
    desc.payload_type = GVSP_PAYLOAD_TYPE_RAW_DATA;
    desc.block_id = block_id;
    desc.payload = bytes.data();
    desc.payload_length = static_cast<uint32_t>(length);
    desc.raw_data.payload_data_size = length;
  }
};

struct verdict {
  int rc;
  std::string err;
};

verdict verify(const zok_block_desc &desc, bool detail_line) {
  verdict v{};
  v.err = printed([&](FILE *out) { v.rc = verify_payload(out, desc, detail_line); });
  return v;
}

// A 64-byte block of id 1, changed by each case; detail: plaingrab's extra
// line on a size mismatch (workergrab prints none).
TEST(VerifyPayload, VerdictsAndWhatTheySay) {
  const struct {
    const char *name;
    void (*change)(raw_block &);
    bool detail;
    int rc;
    const char *err;
  } cases[] = {
      {"the pattern", [](raw_block &) {}, true, 0, ""},
      {"another payload type", [](raw_block &b) { b.desc.payload_type = GVSP_PAYLOAD_TYPE_IMAGE; },
       true, EINVAL, "Verify payload only works with GVSP_PAYLOAD_TYPE_RAW_DATA\n"},
      {"a size mismatch", [](raw_block &b) { b.desc.raw_data.payload_data_size = 5000000000; },
       true, EINVAL,
       "Payload size does not match payload data size\n"
       "payload_length: 64, payload_data_size: 5000000000\n"},
      {"a size mismatch, no detail",
       [](raw_block &b) { b.desc.raw_data.payload_data_size = 5000000000; }, false, EINVAL,
       "Payload size does not match payload data size\n"},
      {"words 2 and 3 wrong",
       [](raw_block &b) {
         b.bytes[9] = 0x07;   // word 2: 00 07 -> 0x700
         b.bytes[13] = 0x09;  // word 3, never reached
         b.bytes[10] = 0xff;  // bytes 2-3 are not examined
       },
       true, EINVAL, "Verify payload failed. have:0x700, expected:0x100\n"},
      {"a partial last word",
       [](raw_block &b) {
         b.bytes = {0xde, 0xad, 0xbe};
         b.desc.payload = b.bytes.data();
         b.desc.payload_length = b.desc.raw_data.payload_data_size = 3;
       },
       true, 0, ""},
  };
  for (const auto &c : cases) {
    raw_block block(1, 64);
    c.change(block);
    const verdict v = verify(block.desc, c.detail);
    EXPECT_EQ(v.rc, c.rc) << c.name;
    EXPECT_EQ(v.err, c.err) << c.name;
  }
  raw_block block(0x1234, 64);
  verbosity = 1;
  const verdict v = verify(block.desc, true);
  verbosity = 0;
  EXPECT_EQ(v.rc, 0);
  EXPECT_EQ(v.err, "(verify_payload): Verify block ok\n");
}

TEST(VerifyPayload, FindsTheFirstMismatchAnywhereInALargeBlock) {
  // 1000 words and a partial one: not a whole number of any chunk size.
  const std::size_t words = 1000;
  for (std::size_t bad : {std::size_t{0}, std::size_t{63}, std::size_t{64}, std::size_t{500},
                          std::size_t{959}, std::size_t{960}, words - 1}) {
    raw_block block(0x0203, words * 4 + 2);
    block.bytes[bad * 4 + 1] = 0x05;                           // the id's low byte: 0x0205
    if (bad + 1 < words) block.bytes[(words - 1) * 4] = 0x09;  // a later one, never reported
    verdict v = verify(block.desc, true);
    EXPECT_EQ(v.rc, EINVAL) << bad;
    EXPECT_EQ(v.err, "Verify payload failed. have:0x502, expected:0x302\n") << bad;
  }
  raw_block whole(0x0203, words * 4 + 2);
  EXPECT_EQ(verify(whole.desc, true).rc, 0);
}

TEST(ZeroWords, CountsWholeZeroWordsOnly) {
  std::vector<unsigned char> bytes(8 * 5 + 7, 0);
  bytes[8] = 1;   // word 1 not zero
  bytes[39] = 1;  // word 4 not zero
  EXPECT_EQ(count_zero_words(bytes.data(), static_cast<uint32_t>(bytes.size())), 3u);
  EXPECT_EQ(count_zero_words(bytes.data(), 7), 0u);
}

std::string leader(const zok_block_desc &block) {
  bool known = false;
  std::string text = printed([&](FILE *out) { known = print_block_leader(out, block); });
  return known ? text : "unknown";
}

TEST(BlockLeader, EachPayloadTypePrintsItsOwnFields) {
  zok_block_desc b = {};
  b.payload_type = GVSP_PAYLOAD_TYPE_IMAGE;
  b.timestamp = 4000000000u;
  b.epoch_time_ns = 1700000000000000007;
  b.image = {0x01080001, 640, 480, 1, 2, 3, 4, 5};
  EXPECT_EQ(leader(b),
            "Timestamp: 4000000000\nepoc time: 1700000000.7\npixel type: 0x01080001\n"
            "size_x: 640\nsize y: 480\noffset x: 1\noffset y: 2\n"
            "padding x: 3\npadding y: 4\ntrailer size y: 5\n");

  b = {};
  b.payload_type = GVSP_PAYLOAD_TYPE_RAW_DATA;
  b.timestamp = 9;
  b.raw_data.payload_data_size = 5000000000;
  EXPECT_EQ(leader(b), "Timestamp: 9\npayload data size: 5000000000\n");

  b = {};
  b.payload_type = GVSP_PAYLOAD_TYPE_FILE;
  b.file.payload_data_size = 12;
  std::memset(b.file.filename, 'f', sizeof b.file.filename);  // no NUL in the field
  EXPECT_EQ(leader(b),
            "Timestamp: 0\npayload data size: 12\nfilename: " + std::string(48, 'f') + "\n");

  b = {};
  b.payload_type = GVSP_PAYLOAD_TYPE_CHUNK_DATA;
  b.timestamp = 9;
  b.epoch_time_ns = 5;
  b.chunk_data.data_payload_len = 77;
  EXPECT_EQ(leader(b), "data payload len: 77\n");

  // The extended chunk type reads its own layout.
  b = {};
  b.payload_type = GVSP_PAYLOAD_TYPE_EXTENDED_CHUNK;
  b.epoch_time_ns = 2000000000;
  auto &f = b.extended_chunk;
  f.pixel_type = 0x02100005;
  f.size_x = 10;
  f.size_y = 20;
  f.offset_x = 30;
  f.offset_y = 40;
  f.padding_x = 50;
  f.padding_y = 60;
  f.trailer_size_y = 70;
  f.data_payload_len = 80;
  f.chunk_layout_id = 90;
  EXPECT_EQ(leader(b),
            "Timestamp: 0\nepoc time: 2.0\npixel type: 0x02100005\n"
            "size_x: 10\nsize y: 20\noffset x: 30\noffset y: 40\n"
            "padding x: 50\npadding y: 60\ntrailer size y: 70\n"
            "data payload len: 80\nchunk layout id: 90\n");
}

TEST(BlockLeaderDeathTest, UnknownTypeEndsTheProcess) {
  zok_block_desc b = {};
  b.payload_type = 6;
  EXPECT_EQ(leader(b), "unknown");
  EXPECT_EXIT(dump_block_leader(b), testing::ExitedWithCode(255),
              "^Invalid payload type : Invalid argument \\(errno=22\\)\n$");
}

TEST(PrintVerbose, CutsTheMessageTo127CharactersAndPrintsBlockStatusInSixLines) {
  std::string long_text(300, 'x');
  EXPECT_EQ(printed([&](FILE *out) { print_verbose(out, "main", "%s", long_text.c_str()); }),
            "(main): " + std::string(127, 'x') + "\n");

  // A block's status: six lines in order.
  zok_block_status s = {};
  s.status = 0x800c;
  s.block_id = 5000000000;
  s.dropped_packet_id = 3;
  s.resend_request = 2;
  s.next_request_id = 65535;
  EXPECT_EQ(printed([&](FILE *out) { print_block_status_to(out, s); }),
            "(print_block_status): ---Block Status---\n"
            "(print_block_status): Status:            32780\n"
            "(print_block_status): Block ID:          5000000000\n"
            "(print_block_status): Dropped Packet ID: 3\n"
            "(print_block_status): Resend Request:    2\n"
            "(print_block_status): Next Request ID:   65535\n");
}

}  // namespace
