// Runs a printing procedure into memory and returns what it wrote.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

template <typename Print>
std::string printed(Print print) {
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  print(out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}
