// Tool support shared by plaingrab and workergrab.
//
// A receiver's main reads as its flow; everything both receivers do alike
// is one procedure here, and what differs is in its receiver_family:
//
//   start_receiver(argc, argv, &family);      // seed, block signals, argc
//   while ((c = getopt_long(...)) != -1)       // program's option string
//     switch (apply_common_option(c, optarg, &settings, &failure)) {
//       case option_result::accepted: break;
//       case option_result::failed: return usage_failure(failure);
//       case option_result::not_common: ... the program's own options ...
//     }
//   endpoint = check_command_line(argc, argv, settings);
//   calibrate_receiver(&settings.delay, family.calibrate_always);
//   set_up_stream(settings, endpoint);         // endpoint, pin, init .. banner
//   (workergrab: create the worker)
//   set_up_buffers(settings, buffers);         // allocate, queue
//   arm_exit_paths(settings.run_seconds, family.after_report);
//   start_gap_log();
//   (workergrab: start the worker, show its state)
//   receive_blocks(&settings, after_block, context);
//   (workergrab: stop the worker, show its state)
//   report_at_normal_end();  (plaingrab -z: run_clear_stats_sequence())
//   return close_receiver_stream();
//
// A step that fails prints its message and returns the exit status of
// exit_status.h, which main returns; the others return setup_done. The
// receive loop's failures only end the loop.
#pragma once

#include <netinet/in.h>
#include <zok/zok.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "block_checks.h"
#include "clock.h"
#include "delay.h"
#include "endpoint.h"
#include "exit_paths.h"
#include "exit_status.h"
#include "gap_log.h"
#include "process_state.h"
#include "report.h"

constexpr int max_buffers = 512;
// -i -1: no block limit of its own, the largest int instead.
constexpr int iterations_unlimited = -1;
constexpr uint64_t unlimited_block_count = INT32_MAX;

// What makes one receiver differ from the other.
struct receiver_family {
  void (*print_usage)(FILE *out, const char *program);
  report_layout report;
  bool own_timeout_messages;  // plaingrab: -E/-b have messages of their own
  bool verify_detail_line;    // plaingrab: verify_payload's size line
  bool calibrate_always;      // workergrab calibrates even without -D
  void (*after_report)();     // runs after each handler's report; may be null
};

// Run settings from the command line, held by main.
struct receiver_settings {
  int run_seconds = 0;  // -T
  int iterations = 1;   // -i as given; see iterations_unlimited
  int buffer_count = 63;
  int buffer_size = 2097152;
  bool sequence_check = false;
  bool pin = false;
  int cpu = 0;
  bool resend_given = false;
  sockaddr_in resend = {};
  zok_open_params params = {
      ZOK_FLAG_PACKET_RESEND | ZOK_FLAG_DEFAULT_ON, 0, 0, 1, ZOK_BOOO_ALWAYS_RETURN, {}, 0, 0, 0};
  int drop_block = 0;
  int drop_packet = 0;
  bool verify_payload = false;
  delay_state delay;
};

// Long options both receivers know; a program's own codes start at
// opt_program_own.
enum long_option_code {
  opt_drop_incomplete = 0x100,
  opt_drop_blk,
  opt_drop_pkt,
  opt_verify_payload,
  opt_program_own = 0x110
};

enum class option_result { accepted, not_common, failed };

struct option_failure {
  int status = exit_failure;
  // Sized to the text: it quotes the user's argument, which has no limit.
  std::string message;  // may be empty: then only the usage is printed
};

// Seeds rand, blocks SIGINT/SIGTERM ahead of any thread, keeps the family
// and program name; the usage and its status when there is no argument.
int start_receiver(int argc, char **argv, const receiver_family *family);
// The part of start_receiver that tests use without touching signals.
void use_receiver_family(const receiver_family *family, const char *program);
const receiver_family &current_family();
const char *program_name();

// One getopt_long result; the caller handles what is not_common.
option_result apply_common_option(int code, const char *arg, receiver_settings *settings,
                                  option_failure *failure);
// Fills failure with status and the formatted message; returns failed.
option_result fail_option(option_failure *failure, int status, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Message (if any) and usage on stderr; returns the status to end with.
int usage_failure(const option_failure &failure);
int usage_failure(int status);

// After getopt_long: the endpoint text, or null when it or -P is missing
// (the usage and exit_failure follow).
const char *check_command_line(int argc, char **argv, const receiver_settings &settings);

// "%s : %s (errno=%d)\n" on stderr; returns exit_failure.
int library_failure(const char *what, int rc);

// The setup steps: setup_done, or the status to end with once the step has
// said why.
void print_calibration_line(int64_t iters, int64_t nanosecs);
int calibrate_receiver(delay_state *delay, bool always);
int parse_local_endpoint(const char *text, sockaddr_in *local);

// Affinity of the calling thread to one CPU; 0 or an errno.
int set_thread_affinity(int cpu);
int pin_thread(const receiver_settings &settings);

int open_receiver_stream(const receiver_settings &settings, const sockaddr_in &local);
void print_receive_banner(const receiver_settings &settings, const sockaddr_in &local);
int allocate_buffers(const receiver_settings &settings, zok_buffer_t buffers[max_buffers],
                     unsigned *allocated);
int queue_buffers(zok_buffer_t buffers[max_buffers], unsigned allocated);
// The steps both receivers take alike: endpoint to banner, and the buffers.
int set_up_stream(const receiver_settings &settings, const char *endpoint);
int set_up_buffers(const receiver_settings &settings, zok_buffer_t buffers[max_buffers]);
void start_gap_log();  // with -t only

// Polls until the block limit or a loop failure. after_block (may be null)
// runs after each block's delay step, before the next poll.
void receive_blocks(receiver_settings *settings, void (*after_block)(void *), void *context);

// exit_normal, or exit_failure when the library refuses.
int close_receiver_stream();
