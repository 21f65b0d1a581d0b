#include "block_checks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "exit_status.h"
#include "gap_log.h"
#include "process_state.h"
#include "report.h"
#include "texts.h"

void print_verbose(FILE *out, const char *function, const char *format, ...) {
  char message[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::fprintf(out, text::verbose_line, function, message);
}

void print_block_status_to(FILE *out, const zok_block_status &status) {
  const char *self = "print_block_status";
  print_verbose(out, self, "%s", text::status_heading);
  print_verbose(out, self, text::status_status, status.status);
  print_verbose(out, self, text::status_block_id, status.block_id);
  print_verbose(out, self, text::status_dropped, status.dropped_packet_id);
  print_verbose(out, self, text::status_resend, status.resend_request);
  print_verbose(out, self, text::status_next, static_cast<unsigned>(status.next_request_id));
}

void print_block_status(zok_block_status status) {
  if (verbosity != 0) print_block_status_to(stderr, status);
}

void check_block_sequence(FILE *out, block_sequence *sequence, uint64_t block_id) {
  if (sequence->first_block) {
    sequence->first_block = false;
  } else if (block_id != sequence->expected_block_id) {
    std::fprintf(out, text::out_of_sequence, block_id, sequence->expected_block_id);
  }
  // Senders never use id 0: 16-bit ids wrap 65535 -> 1, 64-bit ids would
  // wrap past 2^64 - 1 to 1 as well.
  uint64_t next = sequence->extended_ids ? block_id + 1 : (block_id + 1) & 0xffff;
  sequence->expected_block_id = next == 0 ? 1 : next;
}

namespace {

void print_timestamps(FILE *out, const zok_block_desc &block) {
  std::fprintf(out, text::timestamp, block.timestamp);
  if (block.epoch_time_ns != 0) {
    std::fprintf(out, text::epoch_time, block.epoch_time_ns / 1000000000,
                 block.epoch_time_ns % 1000000000);
  }
}

void print_image_fields(FILE *out, uint32_t pixel_type, uint32_t size_x, uint32_t size_y,
                        uint32_t offset_x, uint32_t offset_y, uint32_t padding_x,
                        uint32_t padding_y, uint32_t trailer_size_y) {
  std::fprintf(out, text::pixel_type, pixel_type);
  std::fprintf(out, text::size_x, size_x);
  std::fprintf(out, text::size_y, size_y);
  std::fprintf(out, text::offset_x, offset_x);
  std::fprintf(out, text::offset_y, offset_y);
  std::fprintf(out, text::padding_x, padding_x);
  std::fprintf(out, text::padding_y, padding_y);
  std::fprintf(out, text::trailer_size_y, trailer_size_y);
}

}  // namespace

bool print_block_leader(FILE *out, const zok_block_desc &block) {
  switch (block.payload_type) {
    case GVSP_PAYLOAD_TYPE_IMAGE: {
      const zok_image_fields &f = block.image;
      print_timestamps(out, block);
      print_image_fields(out, f.pixel_type, f.size_x, f.size_y, f.offset_x, f.offset_y, f.padding_x,
                         f.padding_y, f.trailer_size_y);
      return true;
    }
    case GVSP_PAYLOAD_TYPE_RAW_DATA:
      print_timestamps(out, block);
      std::fprintf(out, text::payload_data_size, block.raw_data.payload_data_size);
      return true;
    case GVSP_PAYLOAD_TYPE_FILE:
      print_timestamps(out, block);
      std::fprintf(out, text::payload_data_size, block.file.payload_data_size);
      // Bounded by the field: a library that fills all 48 bytes leaves no NUL.
      std::fprintf(out, text::filename, static_cast<int>(sizeof block.file.filename),
                   block.file.filename);
      return true;
    case GVSP_PAYLOAD_TYPE_CHUNK_DATA:
      std::fprintf(out, text::data_payload_len, block.chunk_data.data_payload_len);
      return true;
    case GVSP_PAYLOAD_TYPE_EXTENDED_CHUNK: {
      const zok_extended_chunk_fields &f = block.extended_chunk;
      print_timestamps(out, block);
      print_image_fields(out, f.pixel_type, f.size_x, f.size_y, f.offset_x, f.offset_y, f.padding_x,
                         f.padding_y, f.trailer_size_y);
      std::fprintf(out, text::data_payload_len, f.data_payload_len);
      std::fprintf(out, text::chunk_layout_id, f.chunk_layout_id);
      return true;
    }
    default:
      return false;
  }
}

void dump_block_leader(const zok_block_desc &block) {
  if (print_block_leader(stderr, block)) return;
  std::fprintf(stderr, text::library_failure, text::invalid_payload_type, std::strerror(EINVAL),
               EINVAL);
  std::exit(exit_failure);
}

void hex_dump(FILE *out, const void *bytes, int32_t length) {
  const auto *b = static_cast<const unsigned char *>(bytes);
  int64_t o = 0;
  for (; o <= static_cast<int64_t>(length) - 16; o += 16) {
    const unsigned char *r = b + o;
    std::fprintf(out, text::hex_row, static_cast<unsigned>(o), r[0], r[1], r[2], r[3], r[4], r[5],
                 r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15]);
  }
  if (o < length) {
    std::fprintf(out, text::hex_offset, static_cast<unsigned>(o));
    for (; o < length; ++o) std::fprintf(out, text::hex_byte, b[o]);
    std::fputs("\n", out);
  }
}

uint64_t count_zero_words(const void *payload, uint32_t length) {
  const auto *b = static_cast<const unsigned char *>(payload);
  uint64_t zeros = 0;
  for (uint32_t i = 0; i < length / 8; ++i) {
    uint64_t word;
    std::memcpy(&word, b + static_cast<size_t>(i) * 8, sizeof word);
    zeros += word == 0;
  }
  return zeros;
}

int verify_payload(FILE *err, const zok_block_desc &block, bool detail_line) {
  if (block.payload_type != GVSP_PAYLOAD_TYPE_RAW_DATA) {
    std::fputs(text::verify_raw_only, err);
    return EINVAL;
  }
  uint64_t data_size = block.raw_data.payload_data_size;
  if (static_cast<uint64_t>(block.payload_length) != data_size) {
    std::fputs(text::verify_size_mismatch, err);
    if (detail_line) std::fprintf(err, text::verify_size_detail, block.payload_length, data_size);
    return EINVAL;
  }
  // strobix writes the block id's low 16 bits, high byte first, at the
  // start of every 4-byte group.
  unsigned expected = ntohs(static_cast<uint16_t>(block.block_id));
  const auto *b = static_cast<const unsigned char *>(block.payload);
  uint64_t words = data_size / 4;
  if (words != 0 && b == nullptr) return EINVAL;
  // This runs over every byte of every block at line rate: chunks without an
  // early exit, which the compiler turns into vector code, and the word-by-
  // word search only in the chunk that holds the first mismatch.
  const auto id_half = [b](uint64_t i) {
    uint32_t word;
    std::memcpy(&word, b + i * 4, sizeof word);
    return word & 0xffff;
  };
  constexpr uint64_t chunk = 64;
  for (uint64_t start = 0; start < words; start += chunk) {
    const uint64_t end = std::min(words, start + chunk);
    uint32_t differs = 0;
    for (uint64_t i = start; i < end; ++i) differs |= id_half(i) ^ expected;
    if (differs == 0) continue;
    for (uint64_t i = start; i < end; ++i) {
      unsigned have = id_half(i);
      if (have != expected) {
        std::fprintf(err, text::verify_mismatch, have, expected);
        return EINVAL;
      }
    }
  }
  if (verbosity != 0) print_verbose(err, "verify_payload", "%s", text::verify_ok);
  return 0;
}

block_verdict inspect_block(inspection *state, const zok_block_desc &block,
                            const zok_block_status &status) {
  print_block_status(status);
  if (gap_log_flag) record_gap(&inter_arrival, clock_source.read_counter());
  if (state->sequence_check) check_block_sequence(stderr, &state->sequence, block.block_id);
  if (verbosity != 0) {
    print_verbose(stderr, "main", text::received_block, block.block_id, state->block_timeout,
                  static_cast<unsigned>(block.payload_type), block.payload_length,
                  static_cast<unsigned>(block.status));
  }
  ++state->blocks_taken;
  if (block.status != 0) {
    bump(app_stats.blocks_nonzero_status);
    std::printf(text::bad_status, state->blocks_taken, block.block_id,
                static_cast<unsigned>(block.payload_type), block.payload_length,
                static_cast<unsigned>(block.status));
    return block_verdict::hand_back;
  }
  bump(app_stats.blocks_received);
  app_stats.last_block_id.store(block.block_id, std::memory_order_relaxed);
  if (verbosity >= 2) dump_block_leader(block);
  if (read_blocks_flag)
    bump(app_stats.zero_words, count_zero_words(block.payload, block.payload_length));
  if (verbosity >= 3) hex_dump(stdout, block.payload, static_cast<int32_t>(block.payload_length));
  if (state->verify && verify_payload(stderr, block, state->verify_detail_line) != 0) {
    std::fputs(text::verify_failed, stdout);
    return block_verdict::keep_and_stop;
  }
  return block_verdict::hand_back;
}
