// Checks on what the reassembly core came to, each naming what it compares,
// so that a table of cases can state its expectations in a line or two.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <utility>
#include <vector>

#include "lib/core_fake.h"

namespace testlib {

inline void PrintTo(const Resend &r, std::ostream *os) {
  *os << "{block " << r.block_id << ", " << r.first << ".." << r.last << "}";
}

// A counter of the core and the value it must hold: COUNT(blocks_complete, 1).
struct Count {
  const char *name;
  std::atomic<std::uint64_t> Counters::*member;
  std::uint64_t value;
};
#define COUNT(counter, value)                  \
  ::testlib::Count {                           \
#counter, &::zok::Counters::counter, value \
  }

inline void expect_counts(const Counters &c, std::initializer_list<Count> counts) {
  for (const Count &n : counts) EXPECT_EQ((c.*n.member).load(), n.value) << n.name;
}
inline void expect_counts(const Counters &c, const std::vector<Count> &counts) {
  for (const Count &n : counts) EXPECT_EQ((c.*n.member).load(), n.value) << n.name;
}

// Every block handed over so far: its id and its status, in order.
using Handed = std::vector<std::pair<std::uint64_t, std::uint32_t>>;
inline Handed handed(const FakeShell &s) {
  Handed out;
  for (const FinishedBlock &b : s.finished) out.emplace_back(b.desc.block_id, b.desc.status);
  return out;
}

}  // namespace testlib
