// plaingrab's own fixed text.
#pragma once

#include <cstdio>

void print_usage(FILE *out, const char *program);
