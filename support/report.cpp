#include "report.h"

#include <cerrno>
#include <cstring>

#include "exit_paths.h"
#include "exit_status.h"
#include "process_state.h"
#include "texts.h"

app_statistics app_stats;

namespace {

struct stats_line {
  const char *format;
  uint64_t zok_stats_record::*counter;
};

// plaingrab prints the first 13, workergrab all 19.
constexpr stats_line stats_lines[] = {
    {text::stats_blocks_dropped, &zok_stats_record::blocks_dropped},
    {text::stats_blocks_complete, &zok_stats_record::blocks_complete},
    {text::stats_blocks_incomplete, &zok_stats_record::blocks_incomplete},
    {text::stats_blocks_not_available, &zok_stats_record::blocks_not_available},
    {text::stats_resend_requests, &zok_stats_record::resend_requests},
    {text::stats_resend_requests_ok, &zok_stats_record::resend_requests_ok},
    {text::stats_resend_requests_failed, &zok_stats_record::resend_requests_failed},
    {text::stats_block_timeouts, &zok_stats_record::block_timeouts},
    {text::stats_resend_timeouts, &zok_stats_record::resend_timeouts},
    {text::stats_max_resend_retries, &zok_stats_record::max_resend_retries},
    {text::stats_buffers_allocated, &zok_stats_record::buffers_allocated},
    {text::stats_buffers_freed, &zok_stats_record::buffers_freed},
    {text::stats_buffers_enqueued, &zok_stats_record::buffers_enqueued},
    {text::stats_stream_stopped, &zok_stats_record::stream_stopped},
    {text::stats_stream_started, &zok_stats_record::stream_started},
    {text::stats_stream_blocked, &zok_stats_record::stream_blocked},
    {text::stats_stream_unblocked, &zok_stats_record::stream_unblocked},
    {text::stats_callbacks_invoked, &zok_stats_record::callbacks_invoked},
    {text::stats_blocked_blocks_dropped, &zok_stats_record::blocked_blocks_dropped},
};

constexpr int plaingrab_stats_lines = 13;
constexpr int workergrab_stats_lines = 19;
static_assert(sizeof stats_lines / sizeof stats_lines[0] == workergrab_stats_lines);

[[noreturn]] void fail_report(const char *what, int rc) {
  std::fprintf(stderr, text::library_failure, what, std::strerror(rc), rc);
  end_process(exit_failure);
}

// 0, or why standard output lost some of what was written to it. The
// stream's error flag also keeps a failure from an earlier flush, whose
// errno is gone by now.
int stdout_write_error() {
  if (std::fflush(stdout) != 0) return errno;
  return std::ferror(stdout) ? EIO : 0;
}

}  // namespace

void print_report(FILE *out, const report_record &r) {
  std::fputs(text::app_heading, out);
  std::fprintf(out, text::app_blocks_received, r.blocks_received);
  std::fprintf(out, text::app_nonzero_status, r.blocks_nonzero_status);
  std::fprintf(out, text::app_poll_retries, r.poll_retries);
  std::fprintf(out, text::app_last_block_id, r.last_block_id);
  std::fputs(text::info_heading, out);
  std::fprintf(out, text::info_blocks_received, r.info.blocks_received);
  std::fprintf(out, text::info_blocks_dropped, r.info.blocks_dropped);
  std::fputs(text::stats_heading, out);
  int lines =
      r.layout == report_layout::workergrab ? workergrab_stats_lines : plaingrab_stats_lines;
  for (int i = 0; i < lines; ++i) {
    std::fprintf(out, stats_lines[i].format, r.stats.*stats_lines[i].counter);
  }
  if (r.read_blocks) std::fprintf(out, text::zero_words, r.zero_words);
  if (r.gap_log) {
    std::fputs(text::gaps_heading, out);
    for (int i = 0; i < r.gap_entries; ++i) {
      std::fprintf(out, text::gap_value, static_cast<uint64_t>(r.gaps[i]));
    }
  }
}

void report_statistics() {
  report_record r;
  int rc = zok_info(stream_handle, &r.info);
  if (rc != 0) fail_report(text::could_not_get_info, rc);
  rc = zok_get_stats(stream_handle, &r.stats);
  if (rc != 0) fail_report(text::could_not_get_stats, rc);
  r.layout = report_lines;
  r.blocks_received = app_stats.blocks_received.load(std::memory_order_relaxed);
  r.blocks_nonzero_status = app_stats.blocks_nonzero_status.load(std::memory_order_relaxed);
  r.poll_retries = app_stats.poll_retries.load(std::memory_order_relaxed);
  r.last_block_id = app_stats.last_block_id.load(std::memory_order_relaxed);
  r.read_blocks = read_blocks_flag;
  r.zero_words = app_stats.zero_words.load(std::memory_order_relaxed);
  r.gap_log = gap_log_flag;
  r.gap_entries = gap_log_flag ? snapshot_gaps(inter_arrival, r.gaps) : 0;
  print_report(stdout, r);
  // A report that did not reach its reader must not end as a good run.
  rc = stdout_write_error();
  if (rc != 0) fail_report(text::could_not_write_report, rc);
}

void run_clear_stats_sequence() {
  std::fputs(text::clear_stats, stdout);
  zok_clear_stats(stream_handle);
  report_statistics();
}
