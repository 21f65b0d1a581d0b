#include "endpoint.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// What the C library's number readers skip before the digits: white space,
// then one sign. Returns whether it was a minus.
bool skip_space_and_sign(const char **p) {
  while (std::isspace(static_cast<unsigned char>(**p))) ++*p;
  if (**p != '+' && **p != '-') return false;
  return *(*p)++ == '-';
}

}  // namespace

int parse_int(const char *text) {
  const char *p = text;
  const bool negative = skip_space_and_sign(&p);
  // Accumulate the magnitude in 64 bits and stop growing once it is past
  // int's range: the rest of the digits cannot bring it back.
  constexpr long long limit = static_cast<long long>(INT_MAX) + 1;
  long long magnitude = 0;
  while (*p >= '0' && *p <= '9') {
    if (magnitude <= limit) magnitude = magnitude * 10 + (*p - '0');
    ++p;
  }
  if (negative) return magnitude >= limit ? INT_MIN : static_cast<int>(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

int parse_endpoint(const char *text, sockaddr_in *address) {
  std::memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;

  char buffer[64];
  std::strncpy(buffer, text, sizeof buffer - 1);
  buffer[sizeof buffer - 1] = '\0';

  // The port is judged before the address, so a text bad in both fails on
  // the port; the caller sees only -1 either way.
  if (char *colon = std::strchr(buffer, ':')) {
    *colon = '\0';
    int port = parse_int(colon + 1);
    if (port < 1024 || port > 65535) return -1;
    address->sin_port = htons(static_cast<uint16_t>(port));
  }

  // inet_addr cannot tell 255.255.255.255 from a failure; both are refused.
  in_addr_t ip = inet_addr(buffer);
  if (ip == INADDR_NONE) return -1;
  address->sin_addr.s_addr = ip;
  return 0;
}

uint32_t parse_u32_base0(const char *text, const char **end) {
  const char *stop_at = text;
  const char *p = text;
  const bool negative = skip_space_and_sign(&p);
  uint32_t value = 0;
  if (std::isdigit(static_cast<unsigned char>(*p))) {
    char *stop;
    errno = 0;
    unsigned long long magnitude = std::strtoull(p, &stop, 0);
    stop_at = stop;
    if (errno == ERANGE || magnitude > UINT32_MAX) {
      value = UINT32_MAX;
    } else {
      value = static_cast<uint32_t>(magnitude);
      if (negative) value = 0u - value;
    }
  }
  if (end != nullptr) *end = stop_at;
  return value;
}
