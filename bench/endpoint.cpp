#include "endpoint.h"

#include <support/endpoint.h>
#include <sys/resource.h>
#include <time.h>

#include <cstring>

int parse_bench_endpoint(const char *text, sockaddr_in *out) {
  // The bare pair has no default port to fall back on.
  if (std::strchr(text, ':') == nullptr) return -1;
  return parse_endpoint(text, out);
}

double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}
