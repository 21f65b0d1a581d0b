// Every fixed text and exit status of niclabel, in one place.
#pragma once

#include <stdio.h>

// Exit statuses. -1 reaches the shell as 255.
enum {
  exit_ok = 0,
  exit_usage = 1,
  exit_reset_failed = 1,
  exit_set_failed = 1,
  exit_no_memory = 12,
  exit_failure = -1,
};

// Kept as users of the tool have always seen it, spelling included.
static const char *const usage_lines[] = {
    "              -v: Verbose, -v -v for more verbose\n",
    "              -r: Reset the name of [adapter_namme]\n",
    "              -s: Set the name of [adapter_name]\n",
    "              -R: Reset the name of all adapters\n",
    "              -h: Show this usage infommation and exit\n",
    " <which_adapter>: The adapter to perform the operation on.\n",
    "                  Accepts formats 'M=01:23:45:67:89:AB' and 'S=123456'\n",
};

#define USAGE_FIRST_LINE "Usage: %s [args] <which_adapter>\n"
#define ERRNO_LINE "%s : %s (errno=%d)\n"
#define VERBOSE_LINE "(%s): %s\n"
#define NAME_LINE "%s: %s\n"
#define RESET_FAILED_LINE "Failed to reset adapter name for adapter=%s, rc=%d\n"
#define SET_FAILED_LINE "Failed to set adapter name for adapter=%s, name=%s, rc=%d\n"
#define GET_FAILED_LINE "Failed to get adapter name for adapter=%s, rc=%d\n"

#define NO_MEMORY_TEXT "Failed to allocate name to be set\n"
#define NO_ADAPTER_TEXT "which_adapter was not provided\n"
#define INIT_FAILED_TEXT "Could not init ZOK"
#define RESET_ALL_FAILED_TEXT "Failed to reset all adapter names."
#define RESET_ALL_VERBOSE_TEXT "Resetting all adapter names."
#define NAME_NULL_TEXT "Adapter name is NULL"
#define WRITE_FAILED_TEXT "Could not write the adapter name"
