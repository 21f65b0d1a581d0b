// Every fixed text the receivers print, apart from each program's usage.
// 64-bit values are printed in full (PRIu64) where the original
// conversions would have shown only their low 32 bits.
#pragma once

#include <cinttypes>

namespace text {

// Command line.
inline constexpr char unrecognized_option[] = "Unrecognized option -%c\n";
inline constexpr char must_be_ge0[] = "Error: -%c argument must be >=0\n";
inline constexpr char must_be_ge_minus1[] = "Error: -%c argument must be >=-1\n";
inline constexpr char long_must_be_ge0[] = "Error: --%s argument must be >=0\n";
inline constexpr char resend_timeout_negative[] =
    "Invalid resend_timeout, cannot be negative value %d \n";
inline constexpr char block_timeout_negative[] =
    "Invalid block_timeout, cannot be negative value %d \n";
inline constexpr char delay_range_reversed[] = "Error: -%c range must not end below its start\n";
inline constexpr char bad_resend_address[] = "Can't parse packet resend address '%s'\n";
inline constexpr char bad_local_ip[] = "Can't parse local ip '%s'\n";

// Calibration.
inline constexpr char calibration_failed[] = "Can't calibrate for delay of %d nanoseconds\n";
inline constexpr char calibration_line[] =
    "After calibration, it takes %d iters to generate %d nanoseconds of delay\n";
inline constexpr char synthetic_processing[] =
    "Receiver spends %d nanosecs of additional (synthetic) processing.\n";

// Setup.
inline constexpr char library_failure[] = "%s : %s (errno=%d)\n";
inline constexpr char affinity_failed[] = "SetThreadAffinityMask: %d\n";
inline constexpr char pinned[] = "Thread Affinity pinned to CPU%d.\n";
inline constexpr char not_pinned[] =
    "Thread not pinned to a CPU. This may degrade application performance and cause ZOK block "
    "drops. Use -c <CPU> option to pin application to a cpu.\n";
inline constexpr char could_not_init[] = "Could not init ZOK";
inline constexpr char could_not_open[] = "Could not open a ZOK stream";
inline constexpr char could_not_link[] = "Could not get ZOK link information";
inline constexpr char could_not_timesource[] = "Could not get ZOK timesource information";
inline constexpr char drop_packet_failed[] = "zok_drop_packet";
inline constexpr char alloc_failed[] = "zok_alloc";
inline constexpr char queue_failed[] = "zok_queue_buffer";
inline constexpr char could_not_close[] = "Could not close the ZOK stream";
inline constexpr char link_down[] = "LINK DOWN";
inline constexpr char link_up[] = "LINK UP";
inline constexpr char link_unknown[] = "Link unknown (%d)\n";
inline constexpr char timesource_local[] = "Local time source";
inline constexpr char timesource_not_synchronized[] =
    "External Timesource: not synchronized (yet)\n";
inline constexpr char timesource_synchronized[] = "External Timesource: synchronized\n";
inline constexpr char timesource_nic_failure[] =
    "External Timesource: NIC failure to connect to source\n";
inline constexpr char timesource_unknown[] = "Local time unknown (%d)\n";
inline constexpr char link_and_timesource[] = "%s, %s\n";
inline constexpr char receiving_banner[] = "\n*** Receiving %s data blocks (size=%u)%s ***\n\n";
inline constexpr char infinite[] = "infinite";
inline constexpr char reading_blocks[] = ", reading blocks";
inline constexpr char stream_opened[] = "Stream opened on %s:%u\n";
inline constexpr char allocated[] = "Allocated %u buffers\n";
inline constexpr char queued[] = "Queued %u buffers\n";
inline constexpr char gap_resolution[] =
    "Using QueryPerformanceCounter with resolution of %d nsecs\n";

// Receive loop.
inline constexpr char poll_failed[] = "zok_poll_recv failed, rc=%d\n";
inline constexpr char requeue_failed[] = "zok_queue_buffer failed, rc=%d\n";
inline constexpr char received_block[] =
    "Received data block %" PRIu64 ", timeo:%u, type:0x%04x, len:%u, status=0x%x";
inline constexpr char bad_status[] =
    "Block %" PRIu64 " bad status, id:%" PRIu64 ", type:%u, len:%u, status=0x%x\n";
inline constexpr char verify_failed[] = "Failed to verify block\n";

// Block checks.
inline constexpr char verbose_line[] = "(%s): %s\n";
inline constexpr char status_heading[] = "---Block Status---";
inline constexpr char status_status[] = "Status:            %u";
inline constexpr char status_block_id[] = "Block ID:          %" PRIu64;
inline constexpr char status_dropped[] = "Dropped Packet ID: %u";
inline constexpr char status_resend[] = "Resend Request:    %u";
inline constexpr char status_next[] = "Next Request ID:   %u";
inline constexpr char out_of_sequence[] = "Got block id%" PRIu64 ", expected %" PRIu64 "\n";
inline constexpr char timestamp[] = "Timestamp: %u\n";
inline constexpr char epoch_time[] = "epoc time: %" PRIu64 ".%" PRIu64 "\n";
inline constexpr char pixel_type[] = "pixel type: 0x%08x\n";
inline constexpr char size_x[] = "size_x: %u\n";
inline constexpr char size_y[] = "size y: %u\n";
inline constexpr char offset_x[] = "offset x: %u\n";
inline constexpr char offset_y[] = "offset y: %u\n";
inline constexpr char padding_x[] = "padding x: %u\n";
inline constexpr char padding_y[] = "padding y: %u\n";
inline constexpr char trailer_size_y[] = "trailer size y: %u\n";
inline constexpr char payload_data_size[] = "payload data size: %" PRIu64 "\n";
inline constexpr char filename[] = "filename: %.*s\n";
inline constexpr char data_payload_len[] = "data payload len: %" PRIu64 "\n";
inline constexpr char chunk_layout_id[] = "chunk layout id: %u\n";
inline constexpr char invalid_payload_type[] = "Invalid payload type";
inline constexpr char hex_row[] =
    "%04x: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x\n";
inline constexpr char hex_offset[] = "%04x: ";
inline constexpr char hex_byte[] = "%02x ";
inline constexpr char verify_raw_only[] =
    "Verify payload only works with GVSP_PAYLOAD_TYPE_RAW_DATA\n";
inline constexpr char verify_size_mismatch[] = "Payload size does not match payload data size\n";
inline constexpr char verify_size_detail[] = "payload_length: %u, payload_data_size: %" PRIu64 "\n";
inline constexpr char verify_mismatch[] = "Verify payload failed. have:0x%x, expected:0x%x\n";
inline constexpr char verify_ok[] = "Verify block ok";

// Report and exit paths.
inline constexpr char could_not_get_info[] = "Could not get info";
inline constexpr char could_not_get_stats[] = "Could not get stats";
inline constexpr char could_not_write_report[] = "Could not write the report";
inline constexpr char app_heading[] = "--- APP stats ---\n";
inline constexpr char app_blocks_received[] = "Blocks received:        %" PRIu64 "\n";
inline constexpr char app_nonzero_status[] = "Blocks non-zero status: %" PRIu64 "\n";
inline constexpr char app_poll_retries[] = "Poll retries:           %" PRIu64 "\n";
inline constexpr char app_last_block_id[] = "Last Block ID:          %" PRIu64 "\n";
inline constexpr char info_heading[] = "--- ZOK info ---\n";
inline constexpr char info_blocks_received[] = "Blocks received:        %" PRIu64 "\n";
inline constexpr char info_blocks_dropped[] = "Blocks dropped:         %" PRIu64 "\n";
inline constexpr char stats_heading[] = "--- ZOK stats ---\n";
// Rows 14-19 have no colon but keep the others' value column.
inline constexpr char stats_blocks_dropped[] = "Blocks Dropped:         %" PRIu64 "\n";
inline constexpr char stats_blocks_complete[] = "Blocks Complete:        %" PRIu64 "\n";
inline constexpr char stats_blocks_incomplete[] = "Blocks Incomplete:      %" PRIu64 "\n";
inline constexpr char stats_blocks_not_available[] = "Blocks Not Available:   %" PRIu64 "\n";
inline constexpr char stats_resend_requests[] = "Resend Requests:        %" PRIu64 "\n";
inline constexpr char stats_resend_requests_ok[] = "Resend Requests OK:     %" PRIu64 "\n";
inline constexpr char stats_resend_requests_failed[] = "Resend Requests Failed: %" PRIu64 "\n";
inline constexpr char stats_block_timeouts[] = "Block Timeouts:         %" PRIu64 "\n";
inline constexpr char stats_resend_timeouts[] = "Resend Timeouts:        %" PRIu64 "\n";
inline constexpr char stats_max_resend_retries[] = "Max Resend Retries:     %" PRIu64 "\n";
inline constexpr char stats_buffers_allocated[] = "Buffers Allocated:      %" PRIu64 "\n";
inline constexpr char stats_buffers_freed[] = "Buffers Freed:          %" PRIu64 "\n";
inline constexpr char stats_buffers_enqueued[] = "Buffers Enqueued:       %" PRIu64 "\n";
inline constexpr char stats_stream_stopped[] = "Stream Stopped          %" PRIu64 "\n";
inline constexpr char stats_stream_started[] = "Stream Started          %" PRIu64 "\n";
inline constexpr char stats_stream_blocked[] = "Stream Blocked          %" PRIu64 "\n";
inline constexpr char stats_stream_unblocked[] = "Stream Unblocked        %" PRIu64 "\n";
inline constexpr char stats_callbacks_invoked[] = "Callbacks Invoked       %" PRIu64 "\n";
inline constexpr char stats_blocked_blocks_dropped[] = "Blocked Blocks Dropped  %" PRIu64 "\n";
inline constexpr char zero_words[] = "Number of 64-bit 0's    %" PRIu64 "\n";
inline constexpr char gaps_heading[] = "Time between receives in nanoseconds\n";
inline constexpr char gap_value[] = "%" PRIu64 "\n";
inline constexpr char clear_stats[] = "\nCLEAR STATS\n\n";
inline constexpr char received_signal[] = "Application received a signal\n";
inline constexpr char timeout_expired[] = "Application timeout expired\n";

}  // namespace text
