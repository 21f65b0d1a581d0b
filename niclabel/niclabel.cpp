// niclabel: read, set or reset the persistent name of a zok adapter, or
// reset the names of all adapters.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zok/zok.h>

#include "niclabel_texts.h"

struct niclabel_args {
  unsigned verbosity;
  int reset_flag;
  int set_flag;
  int reset_all_flag;
  char *name_to_set;          // owned: a copy of the -s argument
  const char *which_adapter;  // points into argv; null when none was given
};

enum parse_result { parse_ok, parse_usage, parse_no_memory };

// Process-wide, like every setting of the tools: on the exits that come
// before zok_set_name the copied name is still held here, not leaked.
static niclabel_args args;

static void print_usage(const char *program) {
  fprintf(stderr, USAGE_FIRST_LINE, program);
  for (const char *line : usage_lines) fputs(line, stderr);
}

static parse_result parse_args(int argc, char **argv, niclabel_args *parsed) {
  // No long options are defined: getopt_long reports any "--word" itself and
  // the run ends with the usage text.
  static const struct option long_options[] = {{nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, "vs:rRh?", long_options, nullptr)) != -1) {
    switch (option) {
      case 'v':
        parsed->verbosity++;
        break;
      case 's': {
        size_t size = strlen(optarg) + 1;
        char *copy = (char *)malloc(size);
        if (copy == nullptr) return parse_no_memory;
        memcpy(copy, optarg, size);
        free(parsed->name_to_set);
        parsed->name_to_set = copy;
        parsed->set_flag = 1;
        break;
      }
      case 'r':
        parsed->reset_flag = 1;
        break;
      case 'R':
        parsed->reset_all_flag = 1;
        break;
      default:  // -h, -?, an unknown option, -s without its argument
        return parse_usage;
    }
  }
  // getopt_long has moved every option in front, so what is left from
  // optind on are the plain arguments; only the first one is used.
  if (optind < argc) parsed->which_adapter = argv[optind];
  return parse_ok;
}

static void fail_with_errno(const char *what, int rc) {
  fprintf(stderr, ERRNO_LINE, what, strerror(rc), rc);
  exit(exit_failure);
}

int main(int argc, char **argv) {
  switch (parse_args(argc, argv, &args)) {
    case parse_ok:
      break;
    case parse_usage:
      print_usage(argv[0]);
      return exit_usage;
    case parse_no_memory:
      fputs(NO_MEMORY_TEXT, stderr);
      print_usage(argv[0]);
      return exit_no_memory;
  }

  int rc = zok_init(ZOK_INTERFACE_VERSION);
  if (rc != 0) fail_with_errno(INIT_FAILED_TEXT, rc);

  if (args.reset_all_flag) {
    if (args.verbosity != 0) {
      char line[128];
      snprintf(line, sizeof line, RESET_ALL_VERBOSE_TEXT);
      fprintf(stderr, VERBOSE_LINE, __func__, line);
    }
    rc = zok_reset_all_name();
    if (rc != 0) fail_with_errno(RESET_ALL_FAILED_TEXT, rc);
    return exit_ok;
  }

  if (args.which_adapter == nullptr) {
    fputs(NO_ADAPTER_TEXT, stderr);
    print_usage(argv[0]);
    return exit_failure;
  }

  if (args.reset_flag) {
    rc = zok_reset_name(args.which_adapter);
    if (rc != 0) {
      printf(RESET_FAILED_LINE, args.which_adapter, rc);
      return exit_reset_failed;
    }
  }

  // A refused set still reads the name back, so the user sees the name in
  // force; the status then tells a script that nothing was set.
  bool set_failed = false;
  if (args.set_flag) {
    rc = zok_set_name(args.which_adapter, args.name_to_set);
    if (rc != 0) {
      printf(SET_FAILED_LINE, args.which_adapter, args.name_to_set, rc);
      set_failed = true;
    }
    free(args.name_to_set);
    args.name_to_set = nullptr;
  }

  // The pointer, not rc, tells whether a name came back.
  char *name_read = nullptr;
  rc = zok_get_name(args.which_adapter, &name_read);
  if (rc != 0) printf(GET_FAILED_LINE, args.which_adapter, rc);

  if (name_read == nullptr) fail_with_errno(NAME_NULL_TEXT, -1);
  printf(NAME_LINE, args.which_adapter, name_read);
  free(name_read);
  // The name is the result: a run whose output was lost must not end as
  // if it had been shown.
  if (fflush(stdout) != 0) fail_with_errno(WRITE_FAILED_TEXT, errno);
  if (ferror(stdout)) fail_with_errno(WRITE_FAILED_TEXT, EIO);
  return set_failed ? exit_set_failed : exit_ok;
}
