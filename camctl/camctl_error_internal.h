// How camctl's procedures give up: an exception carrying the exit status
// main hands back and the message it prints.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "exit_status_internal.h"

struct camctl_error : std::runtime_error {
  int status;
  camctl_error(int exit_status, const std::string &message)
      : std::runtime_error(message), status(exit_status) {}
};

// A message with numbers in it, for camctl_error.
template <typename... Args>
std::string formatted(const char *format, Args... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}
