// A scriptable stand-in for the library calls that support/ makes, linked
// into the support unit tests in place of libzok.
#pragma once

#include <zok/zok.h>

#include <vector>

struct fake_zok {
  int info_rc = 0;
  int stats_rc = 0;
  zok_info_record info = {};
  zok_stats_record stats = {};
  zok_stats_record stats_after_clear = {};
  bool cleared = false;
  int clear_calls = 0;
  std::vector<int> poll_results;  // 0 = a block from blocks, in order
  std::vector<zok_block_desc> blocks;
  size_t next_poll = 0;
  size_t next_block = 0;
  int queue_rc = 0;
  int queue_calls = 0;
  bool closed = false;              // calls on a closed stream fail with EBADF
  void (*during_info)() = nullptr;  // runs inside zok_info, as a slow library would
};

// Reset by each test that uses it.
extern fake_zok fake;
