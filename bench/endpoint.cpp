#include "endpoint.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>

int parse_bench_endpoint(const char *text, sockaddr_in *out) {
  const char *colon = std::strrchr(text, ':');
  if (colon == nullptr || colon == text) return -1;
  std::string host(text, colon - text);
  char *end = nullptr;
  unsigned long port = std::strtoul(colon + 1, &end, 10);
  if (*(colon + 1) == '\0' || *end != '\0' || port == 0 || port > 65535) return -1;
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &out->sin_addr) != 1) return -1;
  return 0;
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
