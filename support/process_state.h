// Process-wide values of a receiver: set while the command line is read
// (before any other thread exists) and read by the report, the exit
// handlers and, in workergrab, the library's callback thread.
#pragma once

#include <zok/zok.h>

#include "report.h"

extern int verbosity;          // number of -v
extern bool read_blocks_flag;  // -r
extern bool gap_log_flag;      // -t
extern bool clear_stats_flag;  // -z (plaingrab)
extern zok_stream_t stream_handle;
extern report_layout report_lines;  // which receiver's report
