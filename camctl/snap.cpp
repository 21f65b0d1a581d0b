// A first look at what the camera sees: a few whole images, received with
// libzok on a port of our own, written as PNG once the camera is let go.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "camctl_error_internal.h"
#include "commands_internal.h"
#include "discovery_internal.h"
#include "png_internal.h"
#include "stream_internal.h"
#include "texts_internal.h"
#include "zok/zok.h"

namespace {

constexpr double default_seconds = 10;
// For a camera whose description gives no PayloadSize. The pages are
// mapped, not touched, until data lands in them.
constexpr std::size_t fallback_buffer_size = std::size_t{64} << 20;
constexpr unsigned buffer_count = 4;
constexpr std::uint32_t resend_retries = 4;
// How long an empty poll waits: the worker receives meanwhile.
constexpr std::int64_t idle_wait_ms = 2;

struct taken_block {
  zok_block_desc desc{};  // its payload pointer is stale once taken
  std::vector<std::byte> data;
};

// Why the receive loop ended.
enum class end_reason { done, timed_out, interrupted, unknown_format, not_image };

struct receiver {
  zok_stream_t stream = nullptr;
  sockaddr_in local{};
  std::size_t buffer_size = 0;
  receiver() = default;
  receiver(const receiver &) = delete;
  receiver &operator=(const receiver &) = delete;
  ~receiver() {
    if (stream != nullptr) zok_close_stream(stream);
  }
};

void zok_check(int rc, const std::string &what) {
  if (rc != 0)
    throw camctl_error(exit_failure,
                       formatted(text_snap_zok_failed, what.c_str(), std::strerror(rc)));
}

// The worker may take request ids freely: none of ours come from its socket.
void request_ids(void *, std::uint16_t *start, std::uint16_t *max) {
  *start = 1;
  *max = 0;
}

// libzok binds the port it is given, so an ephemeral one is found first; a
// rival that takes it in between makes the open fail, and another is tried.
void open_receiver(const camctl_options &opts, const streaming &s, receiver &r) {
  zok_check(zok_init(ZOK_INTERFACE_VERSION), "zok_init");
  zok_open_params params{};
  params.flags = ZOK_FLAG_DEFAULT_ON | ZOK_FLAG_PACKET_RESEND;
  params.num_retries = resend_retries;
  params.booo = ZOK_BOOO_ALWAYS_RETURN;
  params.resend_addr = s.c.device.sin_addr.s_addr;
  params.resend_port = ntohs(s.c.device.sin_port);
  params.channel = static_cast<std::uint16_t>(opts.channel);
  int rc = EADDRINUSE;
  for (int attempt = 0; attempt < 8 && rc == EADDRINUSE; ++attempt) {
    r.local = {};
    r.local.sin_family = AF_INET;
    r.local.sin_addr = s.toward_camera;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socklen_t len = sizeof r.local;
    const bool bound =
        fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&r.local), sizeof r.local) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&r.local), &len) == 0;
    if (fd >= 0) close(fd);
    if (!bound) zok_check(errno, "a port on " + ip_text(s.toward_camera));
    std::uint32_t addr = r.local.sin_addr.s_addr;
    rc = zok_open_stream_pr(&addr, ntohs(r.local.sin_port), &r.stream, &params, nullptr);
  }
  zok_check(rc, "a stream on " + ip_text(s.toward_camera));
  zok_check(zok_create_recv_worker(r.stream, 0, request_ids), "the receive worker");
  for (unsigned i = 0; i < buffer_count; ++i) {
    zok_buffer_t b = nullptr;
    zok_check(zok_alloc(r.stream, r.buffer_size, &b), "a buffer");
    zok_check(zok_queue_buffer(b), "a buffer");
  }
  zok_check(zok_start_recv_worker(r.stream), "the receive worker");
}

bool is_image(std::uint16_t payload_type) {
  const unsigned type = payload_type & 0x3FFFu;
  return type == GVSP_PAYLOAD_TYPE_IMAGE || type == GVSP_PAYLOAD_TYPE_EXTENDED_CHUNK;
}

// The image fields sit at other offsets in the extended chunk leader.
zok_image_fields image_of(const zok_block_desc &b) {
  if ((b.payload_type & 0x3FFFu) != GVSP_PAYLOAD_TYPE_EXTENDED_CHUNK) return b.image;
  const zok_extended_chunk_fields &e = b.extended_chunk;
  return {e.pixel_type, e.size_x,    e.size_y,    e.offset_x,
          e.offset_y,   e.padding_x, e.padding_y, e.trailer_size_y};
}

struct receive_result {
  end_reason reason = end_reason::done;
  std::vector<taken_block> taken;
  unsigned skipped = 0;
  std::uint32_t format = 0;  // for unknown_format
  std::uint16_t payload_type = 0;
};

// One poll: a block kept, skipped or refused, its buffer handed back
// zeroed, so that where a later incomplete block lacks data it never shows
// an older image.
void take_block(const camctl_options &opts, receiver &r, receive_result &out) {
  zok_block_desc block{};
  zok_block_status status{};
  const int rc = zok_poll_recv_pr(r.stream, &block, 1, &status);
  if (rc == EAGAIN) {
    sleep_ms(idle_wait_ms);
    return;
  }
  zok_check(rc, "a block");
  const std::size_t length = std::min<std::size_t>(block.payload_length, r.buffer_size);
  const zok_image_fields im = image_of(block);
  if (!opts.raw && !is_image(block.payload_type)) {
    out.reason = end_reason::not_image;
    out.payload_type = block.payload_type;
  } else if (!opts.raw && pixels::find_format(im.pixel_type) == nullptr) {
    out.reason = end_reason::unknown_format;
    out.format = im.pixel_type;
  } else if (block.status == ZOK_BLOCK_STATUS_OK || opts.incomplete) {
    const auto *p = static_cast<const std::byte *>(block.payload);
    out.taken.push_back({block, std::vector<std::byte>(p, p + length)});
  } else {
    ++out.skipped;
  }
  std::memset(block.payload, 0, length);
  zok_check(zok_queue_buffer(block.buffer), "a buffer");
}

// Takes blocks until `count` are kept, beating the heart meanwhile.
receive_result receive_blocks(const camctl_options &opts, streaming &s, receiver &r) {
  receive_result out;
  const double seconds = opts.seconds > 0 ? opts.seconds : default_seconds;
  const std::int64_t deadline = now_ms() + static_cast<std::int64_t>(seconds * 1000);
  const std::int64_t interval = heartbeat_interval_ms(s);
  std::int64_t next_beat = now_ms() + interval;
  while (out.taken.size() < opts.count && out.reason == end_reason::done) {
    const std::int64_t now = now_ms();
    if (stop_requested) {
      out.reason = end_reason::interrupted;
    } else if (now >= deadline) {
      out.reason = end_reason::timed_out;
    } else {
      if (now >= next_beat) {
        keep_streaming(s);
        next_beat = now + interval;
      }
      take_block(opts, r, out);
    }
  }
  return out;
}

// FILE, or FILE with the image's number before its extension.
std::string file_name(const std::string &file, unsigned index, unsigned count,
                      const char *extension) {
  const std::size_t slash = file.rfind('/');
  std::size_t dot = file.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = file.size();
  std::string stem = file.substr(0, dot);
  if (count > 1) {
    const int digits = static_cast<int>(std::to_string(count).size());
    stem += formatted("-%0*u", digits, index + 1);
  }
  return stem + (extension != nullptr ? extension : file.substr(dot));
}

std::string format_name(std::uint32_t code) {
  const pixels::format *f = pixels::find_format(code);
  return f != nullptr ? f->name : formatted("0x%08" PRIX32, code);
}

std::string status_text(const zok_block_desc &b) {
  return b.status == ZOK_BLOCK_STATUS_OK ? text_snap_complete
                                         : formatted(text_snap_incomplete, b.status);
}

void write_raw(const std::string &output, unsigned index, unsigned count, const taken_block &t) {
  const std::string bytes_name = file_name(output, index, count, ".raw");
  const std::string fields_name = file_name(output, index, count, ".txt");
  const zok_block_desc &b = t.desc;
  std::FILE *f = std::fopen(bytes_name.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(t.data.data(), 1, t.data.size(), f) == t.data.size();
  if (f != nullptr && std::fclose(f) != 0) ok = false;
  if (!ok)
    throw camctl_error(exit_failure,
                       formatted(text_snap_write_failed, bytes_name.c_str(), std::strerror(errno)));
  f = std::fopen(fields_name.c_str(), "w");
  ok = f != nullptr;
  if (ok) {
    std::fprintf(f, text_snap_raw_fields, b.payload_type, b.block_id,
                 static_cast<std::uint64_t>(b.timestamp_high) << 32 | b.timestamp, b.status,
                 b.payload_length);
    if (is_image(b.payload_type)) {
      const zok_image_fields im = image_of(b);
      std::fprintf(f, text_snap_raw_image_fields, im.pixel_type, format_name(im.pixel_type).c_str(),
                   im.size_x, im.size_y, im.offset_x, im.offset_y, im.padding_x, im.padding_y);
    }
    ok = std::fclose(f) == 0;
  }
  if (!ok)
    throw camctl_error(
        exit_failure, formatted(text_snap_write_failed, fields_name.c_str(), std::strerror(errno)));
  if (is_image(b.payload_type)) {
    const zok_image_fields im = image_of(b);
    std::printf(text_snap_line, bytes_name.c_str(), im.size_x, im.size_y,
                format_name(im.pixel_type).c_str(), b.block_id, status_text(b).c_str());
  } else {
    std::printf(text_snap_raw_line, bytes_name.c_str(), b.payload_type, b.block_id,
                status_text(b).c_str());
  }
}

void write_image(const camctl_options &opts, unsigned index, taken_block &t) {
  const zok_block_desc &b = t.desc;
  const zok_image_fields im = image_of(b);
  const pixels::format &f = *pixels::find_format(im.pixel_type);
  const pixels::geometry g{im.size_x, im.size_y, im.padding_x};
  // What an incomplete block lacks at its end is left black.
  if (b.status != ZOK_BLOCK_STATUS_OK && t.data.size() < pixels::data_size(f, g))
    t.data.resize(pixels::data_size(f, g));
  pixels::image img;
  const pixels::outcome o = pixels::convert(
      t.data, im.pixel_type, g,
      opts.raw_bayer ? pixels::bayer_output::mosaic : pixels::bayer_output::demosaic, img);
  if (o != pixels::outcome::ok)
    throw camctl_error(exit_failure, formatted(text_snap_bad_image, b.block_id, t.data.size(),
                                               im.size_x, im.size_y, f.name, im.padding_x));
  const std::string name = file_name(opts.output, index, opts.count, nullptr);
  const std::string status = status_text(b);
  const std::string comment = formatted(text_snap_comment, f.name, b.block_id, status.c_str());
  const std::string failed = write_png(name, img, comment);
  if (!failed.empty())
    throw camctl_error(exit_failure,
                       formatted(text_snap_write_failed, name.c_str(), failed.c_str()));
  std::printf(text_snap_line, name.c_str(), im.size_x, im.size_y, f.name, b.block_id,
              status.c_str());
}

// The camera's own name for a format snap does not know, when its
// PixelFormat feature still has that value.
std::string camera_format_name(streaming &s, std::uint32_t code) {
  try {
    if (s.desc->has("PixelFormat") && s.desc->get_int("PixelFormat") == code)
      return " (" + s.desc->get("PixelFormat") + ")";
  } catch (const std::exception &) {
  }
  return "";
}

}  // namespace

int run_snap(const camctl_options &opts) {
  const std::string &camera = opts.args[0];
  streaming s;
  open_streaming(opts, s);
  receiver r;
  r.buffer_size = fallback_buffer_size;
  try {
    if (s.desc->has("PayloadSize") && s.desc->get_int("PayloadSize") > 0)
      r.buffer_size = static_cast<std::size_t>(s.desc->get_int("PayloadSize"));
  } catch (const description_error &) {
  }
  open_receiver(opts, s, r);
  start_streaming(opts, s, r.local);
  receive_result got;
  try {
    got = receive_blocks(opts, s, r);
  } catch (const camctl_error &) {
    // A receive failure still lets the camera go; a camera that is gone or
    // has dropped us (control no longer held) is past undoing.
    if (s.control->held) stop_streaming(opts, s);
    throw;
  }
  const int stop_status = stop_streaming(opts, s);
  zok_info_record info{};
  zok_info(r.stream, &info);
  zok_close_stream(r.stream);
  r.stream = nullptr;

  switch (got.reason) {
    case end_reason::unknown_format:
      throw camctl_error(exit_failure, camera + ": " +
                                           formatted(text_snap_unknown_format, got.format,
                                                     camera_format_name(s, got.format).c_str()));
    case end_reason::not_image:
      throw camctl_error(
          exit_failure, camera + ": " + formatted(text_snap_not_image, got.payload_type & 0x3FFFu));
    default:
      break;
  }
  for (unsigned i = 0; i < got.taken.size(); ++i) {
    if (opts.raw)
      write_raw(opts.output, i, opts.count, got.taken[i]);
    else
      write_image(opts, i, got.taken[i]);
  }
  if (got.skipped > 0) std::printf(text_snap_skipped, got.skipped);
  if (got.reason == end_reason::interrupted)
    throw camctl_error(exit_failure, text_snap_interrupted);
  if (got.reason == end_reason::timed_out)
    throw camctl_error(exit_failure,
                       camera + ": " +
                           formatted(text_snap_timed_out, static_cast<unsigned>(got.taken.size()),
                                     opts.count, opts.seconds > 0 ? opts.seconds : default_seconds,
                                     got.skipped, info.datagrams_refused));
  return stop_status;
}
