#pragma once

#include <csignal>

// Set by SIGINT/SIGTERM; the stream's heartbeat loop ends when it is.
extern volatile std::sig_atomic_t stop_requested;
