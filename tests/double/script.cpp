#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "lib/pattern.h"
#include "script_internal.h"

namespace zok_double {
namespace {

// Splits on blanks; a double-quoted stretch (also after "key=") keeps its
// blanks and loses its quotes, so filenames and names may hold spaces.
bool split_tokens(const std::string &line, std::vector<std::string> &tokens) {
  tokens.clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    std::string token;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '"') {
        quoted = !quoted;
      } else {
        token += line[i];
      }
      ++i;
    }
    if (quoted) return false;
    tokens.push_back(token);
  }
  return true;
}

bool parse_u64(const std::string &text, uint64_t &value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char *end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

bool parse_u32(const std::string &text, uint32_t &value) {
  uint64_t wide = 0;
  if (!parse_u64(text, wide) || wide > UINT32_MAX) return false;
  value = static_cast<uint32_t>(wide);
  return true;
}

bool parse_int(const std::string &text, int &value) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  if (!parse_u64(negative ? text.substr(1) : text, magnitude) || magnitude > INT32_MAX) {
    return false;
  }
  value = negative ? -static_cast<int>(magnitude) : static_cast<int>(magnitude);
  return true;
}

template <typename Record>
using FieldTable = std::map<std::string, uint64_t Record::*>;

const FieldTable<zok_stats_record> &stats_fields() {
  static const FieldTable<zok_stats_record> table{
      {"blocks_dropped", &zok_stats_record::blocks_dropped},
      {"blocked_blocks_dropped", &zok_stats_record::blocked_blocks_dropped},
      {"blocks_complete", &zok_stats_record::blocks_complete},
      {"blocks_incomplete", &zok_stats_record::blocks_incomplete},
      {"blocks_not_available", &zok_stats_record::blocks_not_available},
      {"resend_requests", &zok_stats_record::resend_requests},
      {"resend_requests_ok", &zok_stats_record::resend_requests_ok},
      {"resend_requests_failed", &zok_stats_record::resend_requests_failed},
      {"block_timeouts", &zok_stats_record::block_timeouts},
      {"resend_timeouts", &zok_stats_record::resend_timeouts},
      {"max_resend_retries", &zok_stats_record::max_resend_retries},
      {"buffers_allocated", &zok_stats_record::buffers_allocated},
      {"buffers_freed", &zok_stats_record::buffers_freed},
      {"buffers_enqueued", &zok_stats_record::buffers_enqueued},
      {"stream_stopped", &zok_stats_record::stream_stopped},
      {"stream_started", &zok_stats_record::stream_started},
      {"stream_blocked", &zok_stats_record::stream_blocked},
      {"stream_unblocked", &zok_stats_record::stream_unblocked},
      {"callbacks_invoked", &zok_stats_record::callbacks_invoked},
      {"kernel_drops", &zok_stats_record::kernel_drops},
  };
  return table;
}

const FieldTable<zok_info_record> &info_fields() {
  static const FieldTable<zok_info_record> table{
      {"datagrams_refused", &zok_info_record::datagrams_refused},
      {"blocks_dropped", &zok_info_record::blocks_dropped},
      {"blocks_received", &zok_info_record::blocks_received},
  };
  return table;
}

const std::map<std::string, uint32_t zok_worker_status::*> &worker_fields() {
  static const std::map<std::string, uint32_t zok_worker_status::*> table{
      {"thread_state", &zok_worker_status::thread_state},
      {"thread_mode", &zok_worker_status::thread_mode},
      {"block_processing_mode", &zok_worker_status::block_processing_mode},
  };
  return table;
}

// Sets "name=value" tokens into record's fields, as wide as each field is.
template <typename Record, typename Value>
bool set_fields(const std::vector<std::string> &tokens,
                const std::map<std::string, Value Record::*> &table, Record &record,
                std::string &error) {
  for (size_t i = 1; i < tokens.size(); ++i) {
    const auto eq = tokens[i].find('=');
    const auto field = table.find(tokens[i].substr(0, eq));
    Value value = 0;
    bool read = false;
    if (eq != std::string::npos && field != table.end()) {
      if constexpr (sizeof(Value) == sizeof(uint64_t)) {
        read = parse_u64(tokens[i].substr(eq + 1), value);
      } else {
        read = parse_u32(tokens[i].substr(eq + 1), value);
      }
    }
    if (!read) {
      error = "bad field '" + tokens[i] + "'";
      return false;
    }
    record.*(field->second) = value;
  }
  return true;
}

bool parse_result(const std::vector<std::string> &tokens, ResultRule &rule, std::string &error) {
  // result <function> <rc> [from <n> [to <m>] | at <n>]
  if (tokens.size() < 3 || tokens[1].rfind("zok_", 0) != 0 || !parse_int(tokens[2], rule.rc)) {
    error = "expected 'result <zok_function> <rc> [from N [to M] | at N]'";
    return false;
  }
  rule.function = tokens[1];
  static const char *const functions[] = {
      "zok_init",
      "zok_open_stream_pr",
      "zok_get_link_state",
      "zok_get_timesource_state",
      "zok_drop_packet",
      "zok_alloc",
      "zok_queue_buffer",
      "zok_info",
      "zok_get_stats",
      "zok_clear_stats",
      "zok_get_io_errors",
      "zok_close_stream",
      "zok_create_recv_worker",
      "zok_start_recv_worker",
      "zok_stop_recv_worker",
      "zok_block_recv_worker",
      "zok_unblock_recv_worker",
      "zok_get_status_recv_worker",
      "zok_get_name",
      "zok_set_name",
      "zok_reset_name",
      "zok_reset_all_name",
  };
  bool known = false;
  for (const char *f : functions) known = known || rule.function == f;
  if (!known && rule.function != "zok_poll_recv_pr") {
    error = "no function '" + rule.function + "' in zok/zok.h";
    return false;
  }
  if (rule.function == "zok_poll_recv_pr") {
    error = "zok_poll_recv_pr takes its results from 'poll' lines";
    return false;
  }
  size_t i = 3;
  auto number = [&](uint64_t &value) {
    return i + 1 < tokens.size() && parse_u64(tokens[i + 1], value) && value >= 1;
  };
  if (i < tokens.size() && tokens[i] == "at") {
    if (!number(rule.first_call)) {
      error = "'at' needs a call number from 1";
      return false;
    }
    rule.last_call = rule.first_call;
    i += 2;
  } else if (i < tokens.size() && tokens[i] == "from") {
    if (!number(rule.first_call)) {
      error = "'from' needs a call number from 1";
      return false;
    }
    i += 2;
    if (i < tokens.size() && tokens[i] == "to") {
      if (!number(rule.last_call) || rule.last_call < rule.first_call) {
        error = "'to' needs a call number not below 'from'";
        return false;
      }
      i += 2;
    }
  }
  if (i != tokens.size()) {
    error = "unexpected '" + tokens[i] + "'";
    return false;
  }
  return true;
}

bool parse_poll(const std::vector<std::string> &tokens, PollStep &step, std::string &error) {
  if (tokens.size() >= 2 && tokens[1] == "again") {
    if (tokens.size() == 3 && tokens[2] == "forever") {
      step.kind = PollKind::again_forever;
      return true;
    }
    if (tokens.size() == 3 && parse_u64(tokens[2], step.repeat)) {
      step.kind = PollKind::again;
      return true;
    }
    error = "expected 'poll again <n>' or 'poll again forever'";
    return false;
  }
  if (tokens.size() == 3 && tokens[1] == "fail") {
    step.kind = PollKind::fail;
    if (!parse_int(tokens[2], step.rc) || step.rc == 0) {
      error = "'poll fail' needs a non-zero result";
      return false;
    }
    return true;
  }
  if (tokens.size() >= 2 && tokens[1] == "block") {
    step.kind = PollKind::block;
    for (size_t i = 2; i < tokens.size(); ++i) {
      const auto eq = tokens[i].find('=');
      if (eq == std::string::npos) {
        error = "expected key=value, got '" + tokens[i] + "'";
        return false;
      }
      step.fields.emplace_back(tokens[i].substr(0, eq), tokens[i].substr(eq + 1));
      if (step.fields.back().first == "count" &&
          (!parse_u64(step.fields.back().second, step.repeat) || step.repeat == 0)) {
        error = "count needs a number from 1";
        return false;
      }
    }
    Block probe;
    return build_block(step, 0, probe, error);
  }
  error = "expected 'poll again|fail|block ...'";
  return false;
}

bool make_payload(const std::string &spec, uint64_t pattern_id, std::vector<uint8_t> &payload) {
  payload.clear();
  const auto colon = spec.find(':');
  if (colon == std::string::npos) return false;
  const std::string kind = spec.substr(0, colon);
  const std::string rest = spec.substr(colon + 1);
  uint64_t size = 0;
  if (kind == "hex") {
    if (rest.size() % 2 != 0) return false;
    for (size_t i = 0; i < rest.size(); i += 2) {
      uint32_t byte = 0;
      if (!parse_u32("0x" + rest.substr(i, 2), byte)) return false;
      payload.push_back(static_cast<uint8_t>(byte));
    }
    return true;
  }
  if (kind == "fill") {
    const auto second = rest.find(':');
    uint32_t byte = 0;
    if (second == std::string::npos || !parse_u32(rest.substr(0, second), byte) || byte > 255 ||
        !parse_u64(rest.substr(second + 1), size)) {
      return false;
    }
    payload.assign(size, static_cast<uint8_t>(byte));
    return true;
  }
  if (!parse_u64(rest, size) || size > (64u << 20)) return false;
  if (kind == "zero") {
    payload.assign(size, 0);
    return true;
  }
  if (kind == "pattern") {
    payload.resize(size);
    testlib::fill_pattern(payload.data(), size, pattern_id);
    return true;
  }
  return false;
}

}  // namespace

bool build_block(const PollStep &step, uint64_t n, Block &block, std::string &error) {
  block = Block{};
  zok_block_desc &d = block.desc;
  std::map<std::string, std::string> values;
  std::vector<std::pair<uint64_t, uint8_t>> pokes;
  for (const auto &[key, value] : step.fields) {
    if (key == "poke") {
      const auto colon = value.find(':');
      uint64_t offset = 0;
      uint32_t byte = 0;
      if (colon == std::string::npos || !parse_u64(value.substr(0, colon), offset) ||
          !parse_u32(value.substr(colon + 1), byte) || byte > 255) {
        error = "poke needs <offset>:<byte>";
        return false;
      }
      pokes.emplace_back(offset, static_cast<uint8_t>(byte));
    } else {
      values[key] = value;
    }
  }
  auto take = [&](const char *key, uint64_t fallback, uint64_t max, uint64_t &out) {
    const auto it = values.find(key);
    out = fallback;
    if (it == values.end()) return true;
    const std::string text = it->second;
    values.erase(it);
    if (!parse_u64(text, out) || out > max) {
      error = std::string("bad value for ") + key + ": '" + text + "'";
      return false;
    }
    return true;
  };
  auto has = [&](const char *key) { return values.count(key) != 0; };

  uint64_t block_id = 0, status = 0, type = 0, count = 0;
  if (!take("block_id", 1, UINT64_MAX, block_id) || !take("status", 0, 0xFFFF, status) ||
      !take("payload_type", GVSP_PAYLOAD_TYPE_RAW_DATA, 0xFFFF, type) ||
      !take("count", 1, UINT64_MAX, count)) {
    return false;
  }
  block_id += n;
  d.block_id = block_id;
  d.status = static_cast<uint16_t>(status);
  d.payload_type = static_cast<uint16_t>(type);

  const bool bs_block_id_set = has("bs_block_id");
  uint64_t pattern_id = 0;
  if (!take("pattern_id", block_id, UINT64_MAX, pattern_id)) return false;
  if (const auto it = values.find("payload"); it != values.end()) {
    if (!make_payload(it->second, pattern_id, block.payload)) {
      error = "bad payload '" + it->second + "'";
      return false;
    }
    values.erase(it);
  }
  for (const auto &[offset, byte] : pokes) {
    if (offset >= block.payload.size()) {
      error = "poke past the payload";
      return false;
    }
    block.payload[offset] = byte;
  }

  uint64_t v = 0;
  if (!take("payload_length", block.payload.size(), UINT32_MAX, v)) return false;
  d.payload_length = static_cast<uint32_t>(v);
  if (!take("timestamp", 0, UINT32_MAX, v)) return false;
  d.timestamp = static_cast<uint32_t>(v);
  if (!take("timestamp_high", 0, UINT32_MAX, v)) return false;
  d.timestamp_high = static_cast<uint32_t>(v);
  if (!take("epoch_time_ns", 0, UINT64_MAX, d.epoch_time_ns)) return false;

  struct ImageLike {
    uint32_t *pixel_type, *size_x, *size_y, *offset_x, *offset_y, *padding_x, *padding_y,
        *trailer_size_y;
  };
  auto image_fields = [&](ImageLike f) {
    const std::pair<const char *, uint32_t *> table[] = {
        {"pixel_type", f.pixel_type}, {"size_x", f.size_x},
        {"size_y", f.size_y},         {"offset_x", f.offset_x},
        {"offset_y", f.offset_y},     {"padding_x", f.padding_x},
        {"padding_y", f.padding_y},   {"trailer_size_y", f.trailer_size_y},
    };
    for (const auto &[key, out] : table) {
      if (!take(key, 0, UINT32_MAX, v)) return false;
      *out = static_cast<uint32_t>(v);
    }
    return true;
  };
  switch (type) {
    case GVSP_PAYLOAD_TYPE_IMAGE: {
      auto &im = d.image;
      if (!image_fields({&im.pixel_type, &im.size_x, &im.size_y, &im.offset_x, &im.offset_y,
                         &im.padding_x, &im.padding_y, &im.trailer_size_y})) {
        return false;
      }
      break;
    }
    case GVSP_PAYLOAD_TYPE_RAW_DATA:
      if (!take("payload_data_size", d.payload_length, UINT64_MAX, d.raw_data.payload_data_size)) {
        return false;
      }
      break;
    case GVSP_PAYLOAD_TYPE_FILE:
      if (!take("payload_data_size", d.payload_length, UINT64_MAX, d.file.payload_data_size)) {
        return false;
      }
      if (const auto it = values.find("filename"); it != values.end()) {
        if (it->second.size() > sizeof d.file.filename) {
          error = "filename longer than its 48-byte field";
          return false;
        }
        std::memcpy(d.file.filename, it->second.data(), it->second.size());
        values.erase(it);
      }
      break;
    case GVSP_PAYLOAD_TYPE_CHUNK_DATA:
      if (!take("data_payload_len", d.payload_length, UINT64_MAX, d.chunk_data.data_payload_len)) {
        return false;
      }
      break;
    case GVSP_PAYLOAD_TYPE_EXTENDED_CHUNK: {
      auto &ex = d.extended_chunk;
      if (!image_fields({&ex.pixel_type, &ex.size_x, &ex.size_y, &ex.offset_x, &ex.offset_y,
                         &ex.padding_x, &ex.padding_y, &ex.trailer_size_y}) ||
          !take("data_payload_len", d.payload_length, UINT64_MAX, ex.data_payload_len) ||
          !take("chunk_layout_id", 0, UINT32_MAX, v)) {
        return false;
      }
      ex.chunk_layout_id = static_cast<uint32_t>(v);
      break;
    }
    default:
      break;
  }

  zok_block_status &bs = block.status;
  if (!take("bs_status", status, UINT32_MAX, v)) return false;
  bs.status = static_cast<uint32_t>(v);
  if (!take("bs_block_id", block_id, UINT64_MAX, bs.block_id)) return false;
  if (bs_block_id_set) bs.block_id -= n;  // an explicit record id stays as written
  if (!take("dropped_packet_id", 0, UINT32_MAX, v)) return false;
  bs.dropped_packet_id = static_cast<uint32_t>(v);
  if (!take("resend_request", 0, UINT32_MAX, v)) return false;
  bs.resend_request = static_cast<uint32_t>(v);
  if (!take("next_request_id", 0, 0xFFFF, v)) return false;
  bs.next_request_id = static_cast<uint16_t>(v);

  if (has("buffer")) {
    uint64_t buffer = 0;
    std::string text = values["buffer"];
    if (!text.empty() && text[0] == '#') text.erase(0, 1);
    if (!parse_u64(text, buffer)) {
      error = "buffer needs #<n>";
      return false;
    }
    values.erase("buffer");
    block.buffer = buffer;
  }
  if (!values.empty()) {
    error = "unknown block field '" + values.begin()->first + "' for payload type " +
            std::to_string(type);
    return false;
  }
  return true;
}

std::optional<Script> parse_script(const std::string &text, std::string &error) {
  Script script;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::vector<std::string> tokens;
  auto fail = [&](const std::string &what) {
    error = "line " + std::to_string(number) + ": " + what;
    return std::nullopt;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    if (!split_tokens(line, tokens)) return fail("unbalanced quote");
    const std::string &word = tokens[0];
    std::string what;
    if (word == "result") {
      ResultRule rule;
      if (!parse_result(tokens, rule, what)) return fail(what);
      script.results.push_back(rule);
    } else if (word == "link_state" || word == "timesource_state") {
      uint32_t value = 0;
      if (tokens.size() != 2 || !parse_u32(tokens[1], value)) return fail(word + " needs a u32");
      (word == "link_state" ? script.link_state : script.timesource_state) = value;
    } else if (word == "stats" || word == "stats_after_clear") {
      if (!set_fields(tokens, stats_fields(),
                      word == "stats" ? script.stats : script.stats_after_clear, what)) {
        return fail(what);
      }
    } else if (word == "info" || word == "info_after_clear") {
      if (!set_fields(tokens, info_fields(), word == "info" ? script.info : script.info_after_clear,
                      what)) {
        return fail(what);
      }
    } else if (word == "worker_status" || word == "worker_status_after_stop") {
      if (!set_fields(
              tokens, worker_fields(),
              word == "worker_status" ? script.worker_status : script.worker_status_after_stop,
              what)) {
        return fail(what);
      }
    } else if (word == "callback") {
      static const std::map<std::string, std::optional<CallbackCall>> kinds{
          {"both", CallbackCall::both},
          {"null_start", CallbackCall::null_start},
          {"null_max", CallbackCall::null_max},
          {"null_both", CallbackCall::null_both},
          {"none", std::nullopt},
      };
      const auto kind = tokens.size() == 2 ? kinds.find(tokens[1]) : kinds.end();
      if (kind == kinds.end())
        return fail("callback needs both|null_start|null_max|null_both|none");
      if (!script.callbacks_scripted) script.callbacks.clear();
      script.callbacks_scripted = true;
      if (kind->second) script.callbacks.push_back(*kind->second);
    } else if (word == "name") {
      // The rest of the line after "name " is the name, blanks and all.
      const auto start = first + 4;
      script.name = start < line.size() ? line.substr(start + 1) : std::string();
      script.name_null = false;
    } else if (word == "name_null") {
      if (tokens.size() != 1) return fail("name_null takes no value");
      script.name_null = true;
    } else if (word == "poll") {
      PollStep step;
      if (!parse_poll(tokens, step, what)) return fail(what);
      script.polls.push_back(std::move(step));
    } else {
      return fail("unknown directive '" + word + "'");
    }
  }
  return script;
}

std::optional<int> scripted_result(const Script &script, const std::string &function,
                                   uint64_t call) {
  std::optional<int> rc;
  for (const ResultRule &rule : script.results) {
    if (rule.function == function && call >= rule.first_call && call <= rule.last_call) {
      rc = rule.rc;
    }
  }
  return rc;
}

}  // namespace zok_double
