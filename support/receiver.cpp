#include "receiver.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "texts.h"

int verbosity = 0;
bool read_blocks_flag = false;
bool gap_log_flag = false;
bool clear_stats_flag = false;
zok_stream_t stream_handle = nullptr;
report_layout report_lines = report_layout::plaingrab;

namespace {

const receiver_family *family = nullptr;
const char *program = "";

// "%d" of a 64-bit quantity shows its low 32 bits, read as signed.
int low32(int64_t value) {
  return static_cast<int>(static_cast<uint32_t>(value));
}

option_result usage_only(option_failure *failure, int status) {
  failure->status = status;
  failure->message.clear();
  return option_result::failed;
}

// Reads a numeric option that must be at least minimum, naming it as -c.
option_result read_at_least(const char *arg, int minimum, char option, int *value,
                            option_failure *failure) {
  *value = parse_int(arg);
  if (*value >= minimum) return option_result::accepted;
  return fail_option(failure, exit_failure,
                     minimum == 0 ? text::must_be_ge0 : text::must_be_ge_minus1, option);
}

option_result read_long_at_least0(const char *arg, const char *name, int *value,
                                  option_failure *failure) {
  *value = parse_int(arg);
  if (*value >= 0) return option_result::accepted;
  return fail_option(failure, exit_failure, text::long_must_be_ge0, name);
}

// -E and -b: plaingrab words these two checks its own way.
option_result read_timeout(const char *arg, char option, const char *own_message, uint32_t *field,
                           option_failure *failure) {
  int value = parse_int(arg);
  if (value < 0) {
    if (family->own_timeout_messages) return fail_option(failure, exit_failure, own_message, value);
    return fail_option(failure, exit_failure, text::must_be_ge0, option);
  }
  *field = static_cast<uint32_t>(value);
  return option_result::accepted;
}

}  // namespace

int start_receiver(int argc, char **argv, const receiver_family *receiver) {
  prepare_exit_signals();
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  use_receiver_family(receiver, argv[0] != nullptr ? argv[0] : "");
  return argc < 2 ? usage_failure(exit_failure) : setup_done;
}

void use_receiver_family(const receiver_family *receiver, const char *name) {
  family = receiver;
  program = name;
  report_lines = receiver->report;
}

const receiver_family &current_family() {
  return *family;
}
const char *program_name() {
  return program;
}

option_result apply_common_option(int code, const char *arg, receiver_settings *s,
                                  option_failure *failure) {
  int value = 0;
  option_result result = option_result::accepted;
  switch (code) {
    case 'v':
      ++verbosity;
      break;
    case 'T':
      result = read_at_least(arg, 0, 'T', &s->run_seconds, failure);
      break;
    case 'i':
      result = read_at_least(arg, iterations_unlimited, 'i', &s->iterations, failure);
      break;
    case 'r':
      read_blocks_flag = true;
      break;
    case 'n':
      result = read_at_least(arg, 0, 'n', &value, failure);
      s->buffer_count = value > max_buffers ? max_buffers : value;
      break;
    case 'D':
      if (!parse_delay_range(arg, &s->delay.range)) {
        return fail_option(failure, exit_failure, text::delay_range_reversed, 'D');
      }
      s->delay.given = true;
      s->delay.current_delay = draw_delay(s->delay.range);
      break;
    case 'V':
      s->sequence_check = true;
      break;
    case 's':
      result = read_at_least(arg, 0, 's', &s->buffer_size, failure);
      break;
    case 't':
      gap_log_flag = true;
      break;
    case 'c':
      result = read_at_least(arg, 0, 'c', &s->cpu, failure);
      s->pin = true;
      break;
    case 'P':
      if (parse_endpoint(arg, &s->resend) != 0) {
        return fail_option(failure, exit_failure, text::bad_resend_address, arg);
      }
      s->resend_given = true;
      break;
    case 'R':
      result = read_at_least(arg, 0, 'R', &value, failure);
      s->params.num_retries = static_cast<uint32_t>(value);
      break;
    case 'E':
      return read_timeout(arg, 'E', text::resend_timeout_negative, &s->params.resend_timeout,
                          failure);
    case 'b':
      return read_timeout(arg, 'b', text::block_timeout_negative, &s->params.block_timeout,
                          failure);
    case 'd':
      switch (parse_int(arg)) {
        case -1:
          s->params.booo = ZOK_BOOO_RETURN_LT;
          break;
        case 0:
          s->params.booo = ZOK_BOOO_ALWAYS_DROP;
          break;
        case 1:
          s->params.booo = ZOK_BOOO_RETURN_GT;
          break;
        default:
          return usage_only(failure, exit_bad_booo);
      }
      break;
    case 'C':
      result = read_at_least(arg, 0, 'C', &value, failure);
      s->params.channel = static_cast<uint16_t>(value);
      break;
    case '2':
      s->params.flags |= ZOK_FLAG_GEV2;
      break;
    case opt_drop_incomplete:
      s->params.flags |= ZOK_FLAG_DROP_INCOMPLETE;
      break;
    case opt_drop_blk:
      result = read_long_at_least0(arg, "drop-blk", &s->drop_block, failure);
      break;
    case opt_drop_pkt:
      result = read_long_at_least0(arg, "drop-pkt", &s->drop_packet, failure);
      break;
    case opt_verify_payload:
      s->verify_payload = true;
      break;
    case '?':
      return fail_option(failure, exit_unrecognized_option, text::unrecognized_option, '?');
    default:
      return option_result::not_common;
  }
  return result;
}

option_result fail_option(option_failure *failure, int status, const char *format, ...) {
  failure->status = status;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  failure->message.assign(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0)
    std::vsnprintf(failure->message.data(), failure->message.size() + 1, format, again);
  va_end(again);
  return option_result::failed;
}

int usage_failure(const option_failure &failure) {
  std::fputs(failure.message.c_str(), stderr);
  return usage_failure(failure.status);
}

int usage_failure(int status) {
  family->print_usage(stderr, program);
  return status;
}

const char *check_command_line(int argc, char **argv, const receiver_settings &settings) {
  if (optind >= argc || !settings.resend_given) return nullptr;
  return argv[optind];
}

int library_failure(const char *what, int rc) {
  std::fprintf(stderr, text::library_failure, what, std::strerror(rc), rc);
  return exit_failure;
}

void print_calibration_line(int64_t iters, int64_t nanosecs) {
  std::printf(text::calibration_line, low32(iters), low32(nanosecs));
}

int calibrate_receiver(delay_state *delay, bool always) {
  if (!always && delay->current_delay <= 0) return setup_done;
  delay->calibration_count = calibrate_delay(&delay->calibration_duration);
  if (delay->calibration_count == 0) {
    std::printf(text::calibration_failed, low32(delay->current_delay));
    return exit_calibration_failed;
  }
  if (delay->current_delay > 0) {
    delay->delay_iters =
        iterations_for(delay->current_delay, delay->calibration_count, delay->calibration_duration);
    print_calibration_line(delay->delay_iters, delay->current_delay);
  }
  return setup_done;
}

int parse_local_endpoint(const char *endpoint, sockaddr_in *local) {
  if (parse_endpoint(endpoint, local) == 0) return setup_done;
  std::fprintf(stderr, text::bad_local_ip, endpoint);
  return usage_failure(exit_failure);
}

int set_thread_affinity(int cpu) {
  if (cpu < 0 || cpu >= CPU_SETSIZE) return EINVAL;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

int pin_thread(const receiver_settings &settings) {
  if (!settings.pin) {
    std::fputs(text::not_pinned, stdout);
    return setup_done;
  }
  int rc = set_thread_affinity(settings.cpu);
  if (rc != 0) {
    std::printf(text::affinity_failed, rc);
    return exit_pinning_failed;
  }
  std::printf(text::pinned, settings.cpu);
  return setup_done;
}

int open_receiver_stream(const receiver_settings &settings, const sockaddr_in &local) {
  int rc = zok_init(ZOK_INTERFACE_VERSION);
  if (rc != 0) return library_failure(text::could_not_init, rc);

  zok_open_params params = settings.params;
  std::memset(params.reserved, 0, sizeof params.reserved);
  params.resend_addr = settings.resend.sin_addr.s_addr;
  params.resend_port = ntohs(settings.resend.sin_port);
  uint32_t local_addr = local.sin_addr.s_addr;
  rc = zok_open_stream_pr(&local_addr, ntohs(local.sin_port), &stream_handle, &params, nullptr);
  if (rc != 0) return library_failure(text::could_not_open, rc);

  uint32_t link_state = 0;
  rc = zok_get_link_state(stream_handle, &link_state);
  if (rc != 0) return library_failure(text::could_not_link, rc);
  const char *link_text = nullptr;
  switch (link_state) {
    case ZOK_LINK_DOWN:
      link_text = text::link_down;
      break;
    case ZOK_LINK_UP:
      link_text = text::link_up;
      break;
    default:
      std::printf(text::link_unknown, static_cast<int>(link_state));
      return exit_unknown_link_state;
  }

  uint32_t timesource_state = 0;
  rc = zok_get_timesource_state(stream_handle, &timesource_state);
  if (rc != 0) return library_failure(text::could_not_timesource, rc);
  const char *timesource_text = nullptr;
  switch (timesource_state) {
    case ZOK_TIMESOURCE_LOCAL:
      timesource_text = text::timesource_local;
      break;
    case ZOK_TIMESOURCE_NOT_SYNCHRONIZED:
      timesource_text = text::timesource_not_synchronized;
      break;
    case ZOK_TIMESOURCE_SYNCHRONIZED:
      timesource_text = text::timesource_synchronized;
      break;
    case ZOK_TIMESOURCE_NIC_FAILURE:
      timesource_text = text::timesource_nic_failure;
      break;
    default:
      std::printf(text::timesource_unknown, static_cast<int>(timesource_state));
      return exit_unknown_timesource;
  }
  std::printf(text::link_and_timesource, link_text, timesource_text);

  if (settings.drop_block != 0 && settings.drop_packet != 0) {
    rc = zok_drop_packet(stream_handle, static_cast<uint32_t>(settings.drop_block),
                         static_cast<uint32_t>(settings.drop_packet));
    if (rc != 0) return library_failure(text::drop_packet_failed, rc);
  }
  return setup_done;
}

void print_receive_banner(const receiver_settings &settings, const sockaddr_in &local) {
  char count[16];
  if (settings.iterations == iterations_unlimited) {
    std::snprintf(count, sizeof count, "%s", text::infinite);
  } else {
    std::snprintf(count, sizeof count, "%d", settings.iterations);
  }
  std::printf(text::receiving_banner, count, static_cast<unsigned>(settings.buffer_size),
              read_blocks_flag ? text::reading_blocks : "");
  if (settings.delay.current_delay != 0) {
    std::printf(text::synthetic_processing, low32(settings.delay.current_delay));
  }
  std::printf(text::stream_opened, inet_ntoa(local.sin_addr), ntohs(local.sin_port));
}

int allocate_buffers(const receiver_settings &settings, zok_buffer_t buffers[max_buffers],
                     unsigned *allocated) {
  int wanted = settings.buffer_count > max_buffers ? max_buffers : settings.buffer_count;
  int n = 0;
  for (; n < wanted; ++n) {
    int rc = zok_alloc(stream_handle, static_cast<size_t>(settings.buffer_size), &buffers[n]);
    if (rc == ENOMEM) break;
    if (rc != 0) return library_failure(text::alloc_failed, rc);
  }
  std::printf(text::allocated, static_cast<unsigned>(n));
  *allocated = static_cast<unsigned>(n);
  return setup_done;
}

int queue_buffers(zok_buffer_t buffers[max_buffers], unsigned allocated) {
  unsigned n = 0;
  for (; n < allocated; ++n) {
    int rc = zok_queue_buffer(buffers[n]);
    if (rc == EAGAIN) break;
    if (rc != 0) return library_failure(text::queue_failed, rc);
  }
  std::printf(text::queued, n);
  return setup_done;
}

int set_up_stream(const receiver_settings &settings, const char *endpoint) {
  sockaddr_in local = {};
  int status = parse_local_endpoint(endpoint, &local);
  if (status == setup_done) status = pin_thread(settings);
  if (status == setup_done) status = open_receiver_stream(settings, local);
  if (status == setup_done) print_receive_banner(settings, local);
  return status;
}

int set_up_buffers(const receiver_settings &settings, zok_buffer_t buffers[max_buffers]) {
  unsigned allocated = 0;
  int status = allocate_buffers(settings, buffers, &allocated);
  if (status == setup_done) status = queue_buffers(buffers, allocated);
  return status;
}

void start_gap_log() {
  if (gap_log_flag) setup_gap_log(&inter_arrival);
}

void receive_blocks(receiver_settings *settings, void (*after_block)(void *), void *context) {
  inspection state;
  state.sequence.extended_ids = (settings->params.flags & ZOK_FLAG_GEV2) != 0;
  state.sequence_check = settings->sequence_check;
  state.verify = settings->verify_payload;
  state.verify_detail_line = family->verify_detail_line;
  state.block_timeout = settings->params.block_timeout;
  const uint64_t limit = settings->iterations == iterations_unlimited
                             ? unlimited_block_count
                             : static_cast<uint64_t>(settings->iterations);

  zok_block_desc block = {};
  zok_block_status status = {};
  while (state.blocks_taken < limit) {
    int rc = zok_poll_recv_pr(stream_handle, &block, 1, &status);
    if (rc == EAGAIN) {
      bump(app_stats.poll_retries);
      continue;
    }
    if (rc != 0) {
      std::printf(text::poll_failed, rc);
      break;
    }
    if (inspect_block(&state, block, status) == block_verdict::keep_and_stop) break;
    rc = zok_queue_buffer(block.buffer);
    if (rc != 0) {
      std::printf(text::requeue_failed, rc);
      break;
    }
    run_delay_step(&settings->delay);
    if (after_block != nullptr) after_block(context);
  }
}

int close_receiver_stream() {
  int rc = zok_close_stream(stream_handle);
  return rc != 0 ? library_failure(text::could_not_close, rc) : exit_normal;
}
