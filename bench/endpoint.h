// The "<IPv4>:<port>" text that the bare pair takes on the command line.
#pragma once

#include <netinet/in.h>

// Returns 0 and fills `out` for "a.b.c.d:port" (port 1024..65535), else -1.
int parse_bench_endpoint(const char *text, sockaddr_in *out);

// Monotonic seconds; only differences are used.
double now_seconds();

// User plus system CPU seconds of this process so far.
double cpu_seconds();
