// What a receiver does with each returned block before giving its buffer
// back: status record, id sequence, dumps, zero count and payload check.
#pragma once

#include <zok/zok.h>

#include <cstdint>
#include <cstdio>

// Writes "(function): message\n" to out, the message cut to 127 characters.
void print_verbose(FILE *out, const char *function, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Six verbose lines on stderr when verbosity is not 0.
void print_block_status(zok_block_status status);
void print_block_status_to(FILE *out, const zok_block_status &status);

// Expected id of the next block. 1.x streams carry 16-bit ids that wrap
// 65535 -> 1; 2.x streams carry 64-bit ids that skip only 0.
struct block_sequence {
  bool first_block = true;
  bool extended_ids = false;
  uint64_t expected_block_id = 0;
};

void check_block_sequence(FILE *out, block_sequence *sequence, uint64_t block_id);

// Leader and trailer fields of the block; false for an unknown payload type
// (nothing printed then). dump_block_leader ends the process on false.
bool print_block_leader(FILE *out, const zok_block_desc &block);
void dump_block_leader(const zok_block_desc &block);

void hex_dump(FILE *out, const void *bytes, int32_t length);

// Zero 64-bit words among the first length / 8.
uint64_t count_zero_words(const void *payload, uint32_t length);

// 0 when every 4-byte group starts with the block id's low 16 bits in
// network order, else 22. detail_line: plaingrab's extra size line.
int verify_payload(FILE *err, const zok_block_desc &block, bool detail_line);

// Per-run state and settings the inspection reads.
struct inspection {
  block_sequence sequence;
  bool sequence_check = false;  // -V
  bool verify = false;          // --verify-payload
  bool verify_detail_line = false;
  uint32_t block_timeout = 0;  // -b, shown in the verbose line
  uint64_t blocks_taken = 0;
};

enum class block_verdict { hand_back, keep_and_stop };

// The per-block steps in their fixed order, from the status record to the
// payload check; counts the block in blocks_taken and the app statistics.
block_verdict inspect_block(inspection *state, const zok_block_desc &block,
                            const zok_block_status &status);
