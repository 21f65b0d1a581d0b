// Exit statuses of the receivers, named once so that every exit site says
// which rule it follows.
#pragma once

constexpr int setup_done = 0;  // a setup step's result when the run goes on

constexpr int exit_normal = 0;               // normal end, run-time limit expired
constexpr int exit_unrecognized_option = 1;  // getopt_long returned '?'
constexpr int exit_calibration_failed = 1;
constexpr int exit_pinning_failed = 1;
constexpr int exit_unknown_link_state = 1;
constexpr int exit_signal = 1;  // a signal arrived, or could not be caught
constexpr int exit_unknown_timesource = 2;
constexpr int exit_bad_booo = 22;  // -d other than -1, 0, 1
constexpr int exit_failure = -1;   // usage errors, library failures (255)
