#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "block_internal.h"
#include "exit_status_internal.h"
#include "options_internal.h"
#include "texts_internal.h"

namespace {

// Largest block strobix holds in memory.
constexpr std::uint64_t max_block_bytes = std::uint64_t{1} << 30;
constexpr std::uint64_t max_history_blocks = 1000000;
constexpr std::uint64_t max_linger_ms = 3600000;
// Packet ids are at most 32 bits; keeps the sort keys of -O<n> in 64 bits.
constexpr std::uint64_t max_reorder_distance = 1u << 24;

enum long_option_code {
  opt_drop = 1000,
  opt_seed,
  opt_camera,
  opt_zip,
  opt_serial,
  opt_user_id,
  opt_sensor
};

const option long_options[] = {
    {"drop", required_argument, nullptr, opt_drop},
    {"seed", required_argument, nullptr, opt_seed},
    {"camera", no_argument, nullptr, opt_camera},
    {"zip", no_argument, nullptr, opt_zip},
    {"serial", required_argument, nullptr, opt_serial},
    {"user-id", required_argument, nullptr, opt_user_id},
    {"sensor", required_argument, nullptr, opt_sensor},
    {nullptr, 0, nullptr, 0},
};

// The camera's limits, as its description states them.
constexpr std::uint64_t camera_min_packet = 576;
constexpr std::uint64_t camera_max_packet = 65532;
constexpr std::uint32_t camera_max_sensor = 16384;
// Register strings hold 16 bytes.
constexpr std::size_t camera_text_bytes = 16;

int usage_error(const char *format, const char *a = "", const char *b = "") {
  std::fprintf(stderr, format, a, b);
  std::fputs(usage_text, stderr);
  return exit_usage_error;
}

bool parse_u64(const char *text, std::uint64_t min, std::uint64_t max, std::uint64_t &out) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
  errno = 0;
  char *end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  out = v;
  return true;
}

bool parse_double(const char *text, double min, double max, double &out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
  out = v;
  return true;
}

// "<IP>[:<port>]"; the port must be given when require_port, and lies in
// min_port..65535.
bool parse_address(const char *text, bool require_port, std::uint64_t min_port, sockaddr_in &out) {
  const std::string s(text);
  const std::size_t colon = s.find(':');
  const std::string ip = s.substr(0, colon);
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  if (inet_pton(AF_INET, ip.c_str(), &out.sin_addr) != 1) return false;
  if (colon == std::string::npos) return !require_port;
  std::uint64_t port = 0;
  if (!parse_u64(s.c_str() + colon + 1, min_port, 65535, port)) return false;
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  return true;
}

bool parse_payload_type(const char *text, std::uint16_t &out) {
  static const struct {
    const char *name;
    std::uint16_t type;
  } types[] = {
      {"image", gvsp::payload_type_image},
      {"raw", gvsp::payload_type_raw},
      {"file", gvsp::payload_type_file},
      {"chunk", gvsp::payload_type_chunk},
      {"extchunk", gvsp::payload_type_extended_chunk},
  };
  for (const auto &t : types) {
    if (std::strcmp(text, t.name) == 0) {
      out = t.type;
      return true;
    }
  }
  return false;
}

bool parse_geometry(const char *text, std::uint32_t &width, std::uint32_t &height) {
  const std::string s(text);
  const std::size_t x = s.find('x');
  if (x == std::string::npos) return false;
  std::uint64_t w = 0, h = 0;
  if (!parse_u64(s.substr(0, x).c_str(), 1, 0xFFFFFFFFu, w) ||
      !parse_u64(s.c_str() + x + 1, 1, 0xFFFFFFFFu, h)) {
    return false;
  }
  width = static_cast<std::uint32_t>(w);
  height = static_cast<std::uint32_t>(h);
  return true;
}

bool parse_drop(const char *text, drop_entry &out) {
  const std::string s(text);
  const std::size_t colon = s.find(':');
  if (colon == std::string::npos) return false;
  std::uint64_t blk = 0, pkt = 0;
  if (!parse_u64(s.substr(0, colon).c_str(), 1, ~std::uint64_t{0}, blk) ||
      !parse_u64(s.c_str() + colon + 1, 0, 0xFFFFFFFFu, pkt)) {
    return false;
  }
  out = drop_entry{blk, static_cast<std::uint32_t>(pkt)};
  return true;
}

// What the options decide together, once all are read.
int check_combination(strobix_options &opts, bool size_given, bool geometry_given) {
  char a[64];
  const bool has_lines = opts.payload_type == gvsp::payload_type_image ||
                         opts.payload_type == gvsp::payload_type_extended_chunk;
  if (geometry_given) {
    const std::uint64_t bytes = std::uint64_t{opts.width} * opts.height;
    if (size_given && bytes != opts.block_bytes) {
      std::fprintf(stderr, text_size_geometry, static_cast<unsigned long long>(opts.block_bytes),
                   opts.width, opts.height);
      std::fputs(usage_text, stderr);
      return exit_usage_error;
    }
    opts.block_bytes = bytes;
  } else if (has_lines) {
    // One line of Mono8 pixels, as wide as the block.
    opts.width = static_cast<std::uint32_t>(opts.block_bytes);
    opts.height = opts.block_bytes == 0 ? 0 : 1;
  }
  if (opts.block_bytes > max_block_bytes) {
    std::snprintf(a, sizeof a, "%llu", static_cast<unsigned long long>(opts.block_bytes));
    return usage_error(text_bad_value, "-s", a);
  }
  if (opts.header_kind == gvsp::HeaderKind::standard &&
      opts.first_block_id > gvsp::max_block_id(opts.header_kind)) {
    std::fprintf(stderr, text_first_id_width, static_cast<unsigned long long>(opts.first_block_id));
    std::fputs(usage_text, stderr);
    return exit_usage_error;
  }
  const block_layout layout = make_block_layout(opts);
  const std::uint64_t least =
      gvsp::ip_header_size + gvsp::udp_header_size + layout.leader_bytes + 1;
  if (opts.packet_size < least) {
    std::fprintf(stderr, text_packet_too_small, static_cast<unsigned long long>(opts.packet_size),
                 static_cast<unsigned long long>(least));
    std::fputs(usage_text, stderr);
    return exit_usage_error;
  }
  if (layout.last_packet_id > gvsp::max_packet_id(opts.header_kind)) {
    std::fprintf(stderr, text_too_many_packets, static_cast<unsigned long long>(opts.block_bytes),
                 static_cast<unsigned long long>(layout.payload_packets),
                 static_cast<unsigned long long>(layout.bytes_per_packet));
    std::fputs(usage_text, stderr);
    return exit_usage_error;
  }
  return exit_ok;
}

// Options that describe a stream of their own have no place in camera mode,
// where the controlling application's register writes decide it.
struct stream_only {
  char option;
  bool given;
};

int check_camera(strobix_options &opts, bool geometry_given,
                 std::initializer_list<stream_only> refused) {
  for (const stream_only &r : refused) {
    if (!r.given) continue;
    char name[4] = {'-', r.option, '\0', '\0'};
    return usage_error(text_camera_refuses, name);
  }
  if (!geometry_given) {
    opts.width = 640;
    opts.height = 480;
  }
  char a[64];
  if (opts.width % 4 != 0 || opts.height % 2 != 0 || opts.width < 16 ||
      opts.width > opts.sensor_width || opts.height > opts.sensor_height) {
    std::snprintf(a, sizeof a, "%ux%u", opts.width, opts.height);
    return usage_error(text_camera_geometry, a);
  }
  if (opts.packet_size < camera_min_packet || opts.packet_size > camera_max_packet) {
    std::snprintf(a, sizeof a, "%llu", static_cast<unsigned long long>(opts.packet_size));
    return usage_error(text_bad_value, "-k", a);
  }
  if (opts.block_rate == 0) opts.block_rate = 10;
  if (opts.block_rate < 0.1 || opts.block_rate > 100000) {
    std::snprintf(a, sizeof a, "%g", opts.block_rate);
    return usage_error(text_bad_value, "-r", a);
  }
  if (opts.serial.size() > camera_text_bytes)
    return usage_error(text_bad_value, "--serial", opts.serial.c_str());
  if (opts.user_id.size() > camera_text_bytes)
    return usage_error(text_bad_value, "--user-id", opts.user_id.c_str());
  opts.payload_type = gvsp::payload_type_image;
  opts.block_bytes = std::uint64_t{opts.width} * opts.height;
  return exit_ok;
}

}  // namespace

int parse_options(int argc, char **argv, strobix_options &opts) {
  opts.local.sin_family = AF_INET;
  opts.local.sin_addr.s_addr = htonl(INADDR_ANY);
  opts.local.sin_port = htons(gvsp::gvcp_port);
  bool size_given = false, geometry_given = false, count_given = false, type_given = false,
       linger_given = false, camera_only = false;
  opterr = 0;
  optind = 1;
  int c;
  // The leading ':' makes a missing value distinguishable from an unknown option.
  while ((c = getopt_long(argc, argv, ":cn:s:k:y:g:r:R:2I:l:H:W:L:O::UaT:v", long_options,
                          nullptr)) != -1) {
    const char *arg = optarg;
    bool ok = true;
    std::uint64_t u = 0;
    switch (c) {
      case 'c':
        opts.pattern = true;
        break;
      case 'n':
        count_given = true;
        if (arg != nullptr && std::strcmp(arg, "-1") == 0) {
          opts.blocks = -1;
        } else if ((ok = parse_u64(arg, 1, INT64_MAX, u))) {
          opts.blocks = static_cast<std::int64_t>(u);
        }
        break;
      case 's':
        ok = parse_u64(arg, 0, max_block_bytes, opts.block_bytes);
        size_given = true;
        break;
      case 'k':
        ok = parse_u64(arg, 1, gvsp::stream_packet_size(gvsp::max_datagram_size), opts.packet_size);
        break;
      case 'y':
        type_given = true;
        ok = parse_payload_type(arg, opts.payload_type);
        break;
      case 'g':
        ok = parse_geometry(arg, opts.width, opts.height);
        geometry_given = true;
        break;
      case 'r':
        ok = parse_double(arg, 1e-6, 1e9, opts.block_rate);
        break;
      case 'R':
        ok = parse_double(arg, 1e-6, 1e9, opts.mbit_rate);
        break;
      case '2':
        opts.header_kind = gvsp::HeaderKind::extended;
        break;
      case 'I':
        ok = parse_u64(arg, 1, ~std::uint64_t{0}, opts.first_block_id);
        break;
      case 'l':
        if (!parse_address(arg, false, 0, opts.local)) {
          return usage_error(text_bad_local, arg);
        }
        if (std::strchr(arg, ':') == nullptr) opts.local.sin_port = htons(gvsp::gvcp_port);
        break;
      case 'H':
        ok = parse_u64(arg, 0, max_history_blocks, opts.history_blocks);
        break;
      case 'W':
        linger_given = true;
        ok = parse_u64(arg, 0, max_linger_ms, opts.linger_ms);
        break;
      case 'L':
        ok = parse_double(arg, 0, 100, opts.loss_percent);
        break;
      case 'O':
        // Only attached (-O8): a separate word after -O stays the destination.
        opts.out_of_order = true;
        if (arg != nullptr) ok = parse_u64(arg, 1, max_reorder_distance, opts.reorder_distance);
        break;
      case 'U':
        opts.twice = true;
        break;
      case 'a':
        opts.all_in = true;
        break;
      case 'T':
        ok = parse_double(arg, 1e-3, 1e9, opts.run_seconds);
        break;
      case 'v':
        ++opts.verbosity;
        break;
      case opt_drop: {
        drop_entry d{};
        ok = parse_drop(arg, d);
        if (ok) opts.drops.push_back(d);
        break;
      }
      case opt_seed:
        ok = parse_u64(arg, 0, ~std::uint64_t{0}, opts.seed);
        break;
      case opt_camera:
        opts.camera = true;
        break;
      case opt_zip:
        camera_only = true;
        opts.zip_description = true;
        break;
      case opt_serial:
        camera_only = true;
        opts.serial = arg;
        break;
      case opt_user_id:
        camera_only = true;
        opts.user_id = arg;
        break;
      case opt_sensor:
        camera_only = true;
        ok = parse_geometry(arg, opts.sensor_width, opts.sensor_height) &&
             opts.sensor_width <= camera_max_sensor && opts.sensor_height <= camera_max_sensor &&
             opts.sensor_width % 4 == 0 && opts.sensor_height % 2 == 0 && opts.sensor_width >= 16;
        break;
      case ':':
        if (optopt == 0 || optopt >= 1000) {
          std::fprintf(stderr, text_missing_long_value, argv[optind - 1] + 2);
        } else {
          std::fprintf(stderr, text_missing_value, optopt);
        }
        std::fputs(usage_text, stderr);
        return exit_usage_error;
      default:
        std::fputs(text_unknown_option, stderr);
        std::fputs(usage_text, stderr);
        return exit_unknown_option;
    }
    if (!ok) {
      char name[32];
      if (c >= 1000) {
        std::snprintf(name, sizeof name, "--%s", long_options[c - 1000].name);
      } else {
        std::snprintf(name, sizeof name, "-%c", c);
      }
      return usage_error(text_bad_value, name, arg != nullptr ? arg : "");
    }
  }
  if (opts.camera) {
    if (optind < argc) return usage_error(text_camera_destination, argv[optind]);
    return check_camera(opts, geometry_given,
                        {{'n', count_given},
                         {'s', size_given},
                         {'y', type_given},
                         {'c', opts.pattern},
                         {'W', linger_given}});
  }
  if (camera_only) return usage_error(text_camera_only);
  if (optind >= argc) {
    std::fputs(text_no_destination, stderr);
    std::fputs(usage_text, stderr);
    return exit_usage_error;
  }
  if (optind + 1 < argc) return usage_error(text_extra_argument, argv[optind + 1]);
  if (!parse_address(argv[optind], true, 1, opts.destination)) {
    return usage_error(text_bad_destination, argv[optind]);
  }
  return check_combination(opts, size_given, geometry_given);
}
