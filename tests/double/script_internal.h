// The library double's script: what each call of zok/zok.h returns and
// writes. Parsed once per process (or per zok_double_reload).
#pragma once

#include <zok/zok.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zok_double {

struct ResultRule {
  std::string function;
  int rc = 0;
  uint64_t first_call = 1;
  uint64_t last_call = UINT64_MAX;
};

enum class CallbackCall { both, null_start, null_max, null_both };

struct Block {
  zok_block_desc desc{};
  zok_block_status status{};
  std::vector<uint8_t> payload;
  // Unset: the oldest queued buffer; n names the n-th allocated one.
  std::optional<uint64_t> buffer;
};

enum class PollKind { again, again_forever, fail, block };

struct PollStep {
  PollKind kind = PollKind::again;
  uint64_t repeat = 1;  // again: how many 11s; block: how many blocks (count=)
  int rc = 11;
  std::vector<std::pair<std::string, std::string>> fields;  // block: key=value
};

struct Script {
  std::vector<ResultRule> results;
  uint32_t link_state = ZOK_LINK_UP;
  uint32_t timesource_state = ZOK_TIMESOURCE_LOCAL;
  zok_stats_record stats{};
  zok_stats_record stats_after_clear{};
  zok_info_record info{};
  zok_info_record info_after_clear{};
  zok_worker_status worker_status{};
  zok_worker_status worker_status_after_stop{};
  std::vector<CallbackCall> callbacks{CallbackCall::both};
  bool callbacks_scripted = false;
  std::optional<std::string> name;
  bool name_null = false;
  std::vector<PollStep> polls;
};

// Parses script text; on error returns nullopt and sets `error` to
// "line N: what".
std::optional<Script> parse_script(const std::string &text, std::string &error);

// The result the script gives the n-th call (from 1) of `function`, if a
// rule covers it.
std::optional<int> scripted_result(const Script &script, const std::string &function,
                                   uint64_t call);

// The n-th block (from 0) of a block step, payload and defaults filled in.
// False with `error` set when a field is unknown or malformed.
bool build_block(const PollStep &step, uint64_t n, Block &block, std::string &error);

}  // namespace zok_double
