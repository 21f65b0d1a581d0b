// The library double: every operation of zok/zok.h, answering from a script
// and logging each call, so that the unchanged programs can be run against
// exactly the library behaviour a test needs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>
#include <zok/zok.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "script_internal.h"
#include "zok_double.h"

#define DOUBLE_EXPORT __attribute__((visibility("default")))

namespace zok_double {
namespace {

constexpr int kScriptErrorStatus = 97;
// Buffer descriptors are numbers dressed as pointers: the programs must
// never look inside one, and a stray dereference should fault.
constexpr uintptr_t kBufferBase = 0x7b0000000000;

struct State {
  bool loaded = false;
  Script script;
  int log_fd = -1;
  std::map<std::string, uint64_t> calls;
  bool stats_cleared = false;
  bool worker_stopped = false;
  zok_req_id_fn callback = nullptr;
  uint64_t allocated = 0;
  std::deque<uint64_t> queued;
  size_t poll_step = 0;
  uint64_t poll_done_in_step = 0;
  bool endless_poll_logged = false;
  std::map<uint64_t, std::vector<uint8_t>> payloads;  // by buffer number
  std::optional<std::string> last_set_name;
};

// One lock for everything: the report runs on other threads (signal, timer)
// while the main thread polls, and the double has no hot path to protect.
// Never destroyed: a report thread may still call in while the main thread
// runs the static destructors of a process that is ending.
std::mutex state_mutex;
State &state = *new State;
char stream_object;
uint8_t empty_payload;

zok_stream_t our_stream() {
  return reinterpret_cast<zok_stream_t>(&stream_object);
}

zok_buffer_t buffer_token(uint64_t n) {
  return reinterpret_cast<zok_buffer_t>(kBufferBase + static_cast<uintptr_t>(n));
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

std::string stream_text(zok_stream_t stream) {
  if (stream == our_stream()) return "S";
  return format("%p", static_cast<void *>(stream));
}

std::string buffer_text(zok_buffer_t buffer) {
  const auto value = reinterpret_cast<uintptr_t>(buffer);
  if (value >= kBufferBase && value - kBufferBase <= state.allocated) {
    return "#" + std::to_string(value - kBufferBase);
  }
  return format("%p", static_cast<void *>(buffer));
}

std::string quoted(const char *text) {
  if (text == nullptr) return "null";
  std::string out = "\"";
  for (const unsigned char c : std::string(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      out += format("\\x%02x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void write_log(const std::string &line) {
  if (state.log_fd < 0) return;
  const std::string whole = line + "\n";
  // O_APPEND and a single write keep lines whole across threads and processes.
  [[maybe_unused]] const ssize_t written = ::write(state.log_fd, whole.data(), whole.size());
}

[[noreturn]] void script_error(const std::string &what) {
  std::fprintf(stderr, "zok double: script %s\n", what.c_str());
  std::fflush(stderr);
  _exit(kScriptErrorStatus);
}

void load_locked() {
  if (state.loaded) return;
  state.loaded = true;
  if (const char *path = std::getenv("ZOK_DOUBLE_LOG"); path != nullptr && *path != '\0') {
    state.log_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (state.log_fd < 0) script_error(std::string("log ") + path + ": " + std::strerror(errno));
  }
  const char *path = std::getenv("ZOK_DOUBLE_SCRIPT");
  if (path == nullptr || *path == '\0') return;
  std::ifstream in(path);
  if (!in) script_error(std::string(path) + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  auto script = parse_script(text.str(), error);
  if (!script) script_error(error);
  state.script = std::move(*script);
}

// Counts the call and gives its scripted result (or `fallback`).
struct Call {
  std::unique_lock<std::mutex> lock{state_mutex};
  std::string name;
  uint64_t number = 0;
  int rc = 0;

  Call(const char *function, int fallback = 0) : name(function) {
    load_locked();
    number = ++state.calls[name];
    rc = scripted_result(state.script, name, number).value_or(fallback);
  }
  std::string head() const { return name + " call=" + std::to_string(number); }
  // Logs the call on a stream and gives its result.
  int logged(zok_stream_t stream) const {
    write_log(head() + " stream=" + stream_text(stream) + " rc=" + std::to_string(rc));
    return rc;
  }
};

int poll_locked(Call &call, zok_stream_t stream, zok_block_desc *block, uint32_t mode,
                zok_block_status *block_status, bool &endless) {
  const std::string head =
      call.head() + " stream=" + stream_text(stream) + " mode=" + std::to_string(mode);
  auto &polls = state.script.polls;
  while (state.poll_step < polls.size()) {
    const PollStep &step = polls[state.poll_step];
    if (step.kind == PollKind::again_forever) break;
    if ((step.kind == PollKind::again || step.kind == PollKind::block) &&
        state.poll_done_in_step >= step.repeat) {
      ++state.poll_step;
      state.poll_done_in_step = 0;
      continue;
    }
    if (step.kind == PollKind::again) {
      ++state.poll_done_in_step;
      write_log(head + " rc=11");
      return 11;
    }
    if (step.kind == PollKind::fail) {
      ++state.poll_step;
      state.poll_done_in_step = 0;
      write_log(head + " rc=" + std::to_string(step.rc));
      return step.rc;
    }
    if (block == nullptr || block_status == nullptr) {
      write_log(head + " block=" + (block ? "set" : "null") +
                " block_status=" + (block_status ? "set" : "null") + " rc=22");
      return EINVAL;
    }
    Block next;
    std::string error;
    if (!build_block(step, state.poll_done_in_step++, next, error)) script_error(error);
    uint64_t buffer = 0;
    if (next.buffer) {
      buffer = *next.buffer;
      std::erase(state.queued, buffer);
    } else if (!state.queued.empty()) {
      buffer = state.queued.front();
      state.queued.pop_front();
    }
    auto &bytes = state.payloads[buffer];
    bytes = std::move(next.payload);
    next.desc.payload = bytes.empty() ? &empty_payload : bytes.data();
    next.desc.buffer = buffer_token(buffer);
    *block = next.desc;
    *block_status = next.status;
    write_log(head + " rc=0 block_id=" + std::to_string(next.desc.block_id) + " buffer=#" +
              std::to_string(buffer));
    return 0;
  }
  endless = true;
  if (!state.endless_poll_logged) {
    state.endless_poll_logged = true;
    write_log(head + " rc=11 repeat=forever");
  }
  return 11;
}

void run_callbacks(zok_req_id_fn callback, std::vector<CallbackCall> calls) {
  int number = 0;
  for (const CallbackCall kind : calls) {
    uint16_t start = 0xBEEF;
    uint16_t max = 0xBEEF;
    const bool start_null = kind == CallbackCall::null_start || kind == CallbackCall::null_both;
    const bool max_null = kind == CallbackCall::null_max || kind == CallbackCall::null_both;
    callback(reinterpret_cast<void *>(uintptr_t{1}), start_null ? nullptr : &start,
             max_null ? nullptr : &max);
    std::lock_guard lock(state_mutex);
    write_log("zok_req_id_callback call=" + std::to_string(++number) +
              " context=0x1 start=" + (start_null ? std::string("null") : std::to_string(start)) +
              " max=" + (max_null ? std::string("null") : std::to_string(max)));
  }
}

int simple_stream_call(const char *function, zok_stream_t stream) {
  Call call(function);
  return call.logged(stream);
}

}  // namespace
}  // namespace zok_double

using namespace zok_double;

extern "C" {

DOUBLE_EXPORT void zok_double_reload(void) {
  std::lock_guard lock(state_mutex);
  if (state.log_fd >= 0) ::close(state.log_fd);
  state = State{};
}

DOUBLE_EXPORT int zok_init(uint32_t interface_version) {
  Call call("zok_init", interface_version == ZOK_INTERFACE_VERSION ? 0 : EINVAL);
  write_log(call.head() + " version=" + std::to_string(interface_version) +
            " rc=" + std::to_string(call.rc));
  return call.rc;
}

DOUBLE_EXPORT int zok_open_stream_pr(const uint32_t *local_addr, uint16_t local_port,
                                     zok_stream_t *stream, const zok_open_params *params,
                                     void *reserved) {
  Call call("zok_open_stream_pr");
  auto address = [](const uint32_t *addr) {
    if (addr == nullptr) return std::string("null");
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, addr, text, sizeof text);
    return std::string(text);
  };
  std::string line = call.head() + " addr=" + address(local_addr) +
                     " port=" + std::to_string(local_port) + " handle=" + (stream ? "set" : "null");
  if (params == nullptr) {
    line += " params=null";
  } else {
    bool reserved_zero = true;
    for (const uint8_t byte : params->reserved) reserved_zero = reserved_zero && byte == 0;
    line += format(" flags=0x%02X block_timeout=%u resend_timeout=%u num_retries=%u booo=%u",
                   params->flags, params->block_timeout, params->resend_timeout,
                   params->num_retries, params->booo);
    line += " resend_addr=" + address(&params->resend_addr) +
            format(" resend_port=%u channel=%u", params->resend_port, params->channel) +
            " reserved=" + (reserved_zero ? "zero" : "nonzero");
  }
  line += std::string(" fifth=") + (reserved ? "set" : "null");
  if (call.rc == 0 && stream != nullptr) *stream = our_stream();
  write_log(line + " rc=" + std::to_string(call.rc));
  return call.rc;
}

DOUBLE_EXPORT int zok_get_link_state(zok_stream_t stream, uint32_t *link_state) {
  Call call("zok_get_link_state");
  if (call.rc == 0 && link_state != nullptr) *link_state = state.script.link_state;
  return call.logged(stream);
}

DOUBLE_EXPORT int zok_get_timesource_state(zok_stream_t stream, uint32_t *timesource_state) {
  Call call("zok_get_timesource_state");
  if (call.rc == 0 && timesource_state != nullptr) {
    *timesource_state = state.script.timesource_state;
  }
  return call.logged(stream);
}

DOUBLE_EXPORT int zok_drop_packet(zok_stream_t stream, uint32_t block_number,
                                  uint32_t packet_number) {
  Call call("zok_drop_packet");
  write_log(call.head() + " stream=" + stream_text(stream) +
            format(" block=%u packet=%u", block_number, packet_number) +
            " rc=" + std::to_string(call.rc));
  return call.rc;
}

DOUBLE_EXPORT int zok_alloc(zok_stream_t stream, size_t size, zok_buffer_t *buffer) {
  Call call("zok_alloc");
  std::string line = call.head() + " stream=" + stream_text(stream) +
                     " size=" + std::to_string(size) + " rc=" + std::to_string(call.rc);
  if (call.rc == 0 && buffer != nullptr) {
    *buffer = buffer_token(++state.allocated);
    line += " buffer=#" + std::to_string(state.allocated);
  }
  write_log(line);
  return call.rc;
}

DOUBLE_EXPORT int zok_queue_buffer(zok_buffer_t buffer) {
  Call call("zok_queue_buffer");
  const std::string text = buffer_text(buffer);
  if (call.rc == 0 && text[0] == '#') state.queued.push_back(std::stoull(text.substr(1)));
  write_log(call.head() + " buffer=" + text + " rc=" + std::to_string(call.rc));
  return call.rc;
}

DOUBLE_EXPORT int zok_poll_recv_pr(zok_stream_t stream, zok_block_desc *block, uint32_t mode,
                                   zok_block_status *block_status) {
  bool endless = false;
  int rc = 0;
  {
    Call call("zok_poll_recv_pr");
    rc = poll_locked(call, stream, block, mode, block_status, endless);
  }
  // A receiver spinning on an empty stream should leave the other engineers'
  // CPU alone; outside the lock so the report threads are never held up.
  if (endless) ::usleep(100);
  return rc;
}

DOUBLE_EXPORT int zok_info(zok_stream_t stream, zok_info_record *info) {
  Call call("zok_info");
  if (call.rc == 0 && info != nullptr) {
    *info = state.stats_cleared ? state.script.info_after_clear : state.script.info;
  }
  return call.logged(stream);
}

DOUBLE_EXPORT int zok_get_stats(zok_stream_t stream, zok_stats_record *stats) {
  Call call("zok_get_stats");
  if (call.rc == 0 && stats != nullptr) {
    *stats = state.stats_cleared ? state.script.stats_after_clear : state.script.stats;
  }
  return call.logged(stream);
}

DOUBLE_EXPORT int zok_clear_stats(zok_stream_t stream) {
  Call call("zok_clear_stats");
  if (call.rc == 0) state.stats_cleared = true;
  return call.logged(stream);
}

// The programs never read it; a double that has it still links anything
// written against the whole interface. No failures, as a quiet stream has.
DOUBLE_EXPORT int zok_get_io_errors(zok_stream_t stream, zok_io_errors *errors) {
  Call call("zok_get_io_errors");
  if (call.rc == 0 && errors != nullptr) *errors = zok_io_errors{};
  return call.logged(stream);
}

DOUBLE_EXPORT int zok_close_stream(zok_stream_t stream) {
  return simple_stream_call("zok_close_stream", stream);
}

DOUBLE_EXPORT int zok_create_recv_worker(zok_stream_t stream, uint32_t worker_setting,
                                         zok_req_id_fn req_id) {
  Call call("zok_create_recv_worker");
  if (call.rc == 0) state.callback = req_id;
  write_log(call.head() + " stream=" + stream_text(stream) +
            " setting=" + std::to_string(worker_setting) +
            " callback=" + (req_id ? "set" : "null") + " rc=" + std::to_string(call.rc));
  return call.rc;
}

DOUBLE_EXPORT int zok_start_recv_worker(zok_stream_t stream) {
  zok_req_id_fn callback = nullptr;
  std::vector<CallbackCall> calls;
  int rc = 0;
  {
    Call call("zok_start_recv_worker");
    rc = call.rc;
    write_log(call.head() + " stream=" + stream_text(stream) + " rc=" + std::to_string(rc));
    if (rc == 0) {
      callback = state.callback;
      calls = state.script.callbacks;
    }
  }
  if (callback != nullptr && !calls.empty()) {
    // The callback runs on a thread that is not the caller's, as the real
    // worker's would; waiting for it keeps the test's output in one order.
    std::thread worker(run_callbacks, callback, calls);
    worker.join();
  }
  return rc;
}

DOUBLE_EXPORT int zok_stop_recv_worker(zok_stream_t stream) {
  Call call("zok_stop_recv_worker");
  if (call.rc == 0) state.worker_stopped = true;
  return call.logged(stream);
}

DOUBLE_EXPORT int zok_block_recv_worker(zok_stream_t stream) {
  return simple_stream_call("zok_block_recv_worker", stream);
}

DOUBLE_EXPORT int zok_unblock_recv_worker(zok_stream_t stream) {
  return simple_stream_call("zok_unblock_recv_worker", stream);
}

DOUBLE_EXPORT int zok_get_status_recv_worker(zok_stream_t stream, zok_worker_status *status) {
  Call call("zok_get_status_recv_worker");
  if (call.rc == 0 && status != nullptr) {
    *status =
        state.worker_stopped ? state.script.worker_status_after_stop : state.script.worker_status;
  }
  return call.logged(stream);
}

DOUBLE_EXPORT int zok_get_name(const char *adapter, char **name) {
  Call call("zok_get_name");
  std::string line = call.head() + " adapter=" + quoted(adapter) + " rc=" + std::to_string(call.rc);
  if (name == nullptr) {
    line += " name_ptr=null";
  } else if (state.script.name_null) {
    line += " name=untouched";
  } else {
    const std::string text = state.script.name.value_or(state.last_set_name.value_or("adapter0"));
    *name = strdup(text.c_str());
    line += " name=" + quoted(text.c_str());
  }
  write_log(line);
  return call.rc;
}

DOUBLE_EXPORT int zok_set_name(const char *adapter, const char *name) {
  Call call("zok_set_name");
  if (call.rc == 0 && name != nullptr) state.last_set_name = name;
  write_log(call.head() + " adapter=" + quoted(adapter) + " name=" + quoted(name) +
            " rc=" + std::to_string(call.rc));
  return call.rc;
}

DOUBLE_EXPORT int zok_reset_name(const char *adapter) {
  Call call("zok_reset_name");
  if (call.rc == 0) state.last_set_name.reset();
  write_log(call.head() + " adapter=" + quoted(adapter) + " rc=" + std::to_string(call.rc));
  return call.rc;
}

DOUBLE_EXPORT int zok_reset_all_name(void) {
  Call call("zok_reset_all_name");
  if (call.rc == 0) state.last_set_name.reset();
  write_log(call.head() + " rc=" + std::to_string(call.rc));
  return call.rc;
}

}  // extern "C"
