#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_status_internal.h"
#include "options_internal.h"
#include "texts_internal.h"

namespace {

enum long_option_code {
  opt_to = 1000,
  opt_packet_size,
  opt_channel,
  opt_timeout,
  opt_retries,
  opt_shared,
  opt_no_cache,
  opt_count,
  opt_incomplete,
  opt_raw,
  opt_raw_bayer
};

const option long_options[] = {
    {"to", required_argument, nullptr, opt_to},
    {"packet-size", required_argument, nullptr, opt_packet_size},
    {"channel", required_argument, nullptr, opt_channel},
    {"timeout", required_argument, nullptr, opt_timeout},
    {"retries", required_argument, nullptr, opt_retries},
    {"shared", no_argument, nullptr, opt_shared},
    {"no-cache", no_argument, nullptr, opt_no_cache},
    {"count", required_argument, nullptr, opt_count},
    {"incomplete", no_argument, nullptr, opt_incomplete},
    {"raw", no_argument, nullptr, opt_raw},
    {"raw-bayer", no_argument, nullptr, opt_raw_bayer},
    {"interface", required_argument, nullptr, 'i'},
    {"output", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

int usage_error(const char *format, const char *a = "") {
  std::fprintf(stderr, format, a);
  std::fputs(usage_text, stderr);
  return exit_usage_error;
}

bool parse_unsigned(const char *text, unsigned long min, unsigned long max, unsigned &out) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
  errno = 0;
  char *end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  out = static_cast<unsigned>(v);
  return true;
}

// Arguments each command takes: at least min, at most max (-1: any number).
struct command_shape {
  const char *name;
  int min, max;
};
constexpr command_shape commands[] = {
    {"discover", 0, 0}, {"forceip", 2, 3}, {"get", 2, -1},   {"set", 2, -1}, {"features", 1, 1},
    {"xml", 1, 1},      {"reg", 2, -1},    {"stream", 1, 1}, {"snap", 1, 1},
};

}  // namespace

int parse_options(int argc, char **argv, camctl_options &opts) {
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":i:T:o:h", long_options, nullptr)) != -1) {
    switch (c) {
      case 'i':
        opts.iface = optarg;
        break;
      case 'T': {
        char *end = nullptr;
        opts.seconds = std::strtod(optarg, &end);
        if (*optarg == '\0' || *end != '\0' || !std::isfinite(opts.seconds) || opts.seconds <= 0 ||
            opts.seconds > 1e7)
          return usage_error(text_bad_value, "-T");
        break;
      }
      case opt_to:
        opts.to = optarg;
        break;
      case opt_packet_size:
        // The smallest size a device must take, up to what the register holds.
        if (!parse_unsigned(optarg, 576, 65535, opts.packet_size))
          return usage_error(text_bad_value, "--packet-size");
        break;
      case opt_channel:
        if (!parse_unsigned(optarg, 0, 511, opts.channel))
          return usage_error(text_bad_value, "--channel");
        break;
      case opt_timeout: {
        unsigned ms = 0;
        if (!parse_unsigned(optarg, 1, 60000, ms)) return usage_error(text_bad_value, "--timeout");
        opts.client.timeout_ms = static_cast<int>(ms);
        break;
      }
      case opt_retries: {
        unsigned n = 0;
        if (!parse_unsigned(optarg, 0, 100, n)) return usage_error(text_bad_value, "--retries");
        opts.client.retries = static_cast<int>(n);
        break;
      }
      case opt_shared:
        opts.shared = true;
        break;
      case opt_no_cache:
        opts.client.description_cache = false;
        break;
      case 'o':
        if (*optarg == '\0') return usage_error(text_bad_value, "-o");
        opts.output = optarg;
        break;
      case opt_count:
        if (!parse_unsigned(optarg, 1, 10000, opts.count))
          return usage_error(text_bad_value, "--count");
        break;
      case opt_incomplete:
        opts.incomplete = true;
        break;
      case opt_raw:
        opts.raw = true;
        break;
      case opt_raw_bayer:
        opts.raw_bayer = true;
        break;
      case 'h':
        std::fputs(usage_text, stdout);
        opts.command = "help";
        return exit_ok;
      case ':':
        return usage_error(text_missing_value, argv[optind - 1]);
      default:
        return usage_error(text_unknown_option, argv[optind - 1]);
    }
  }
  if (optind >= argc) return usage_error(text_no_command);
  opts.command = argv[optind++];
  while (optind < argc) opts.args.emplace_back(argv[optind++]);
  for (const command_shape &s : commands) {
    if (opts.command != s.name) continue;
    const int n = static_cast<int>(opts.args.size());
    if (n < s.min || (s.max >= 0 && n > s.max)) return usage_error(text_bad_arguments, s.name);
    if (opts.command == "stream" && opts.to.empty()) return usage_error(text_no_destination);
    return exit_ok;
  }
  return usage_error(text_unknown_command, opts.command.c_str());
}
