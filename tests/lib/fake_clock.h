// support/'s clocks and its calibration work, faked for one test: a
// nanosecond counter that only the fake work moves, so a calibration trial
// takes exactly what the test says. The real ones are back once the scope
// ends.
#pragma once

#include <support/clock.h>
#include <support/delay.h>

#include <cstdint>
#include <vector>

namespace testlib {

inline int64_t fake_ns = 0;
inline int fake_frequency_ok = 1;
inline int64_t fake_frequency = 1000000000;
inline uint64_t fake_system_time = 0;
inline std::vector<int64_t> work_counts;  // every trial's count, in order
// What a trial of `count` iterations takes; unset, fake_ns_per_iteration each.
inline int64_t (*advance_for)(int64_t count) = nullptr;
inline int64_t fake_ns_per_iteration = 0;

struct fake_clock_scope {
  explicit fake_clock_scope(int64_t ns_per_iteration = 0) {
    fake_ns = 0;
    fake_frequency_ok = 1;
    fake_frequency = 1000000000;
    fake_system_time = 0;
    work_counts.clear();
    advance_for = nullptr;
    fake_ns_per_iteration = ns_per_iteration;
    clock_source = {[](int64_t *frequency) {
                      *frequency = fake_frequency;
                      return fake_frequency_ok;
                    },
                    [] { return fake_ns; }, [] { return fake_system_time; }};
    calibration_work = [](int64_t count) {
      work_counts.push_back(count);
      fake_ns += advance_for != nullptr ? advance_for(count) : count * fake_ns_per_iteration;
      return 1.0;
    };
    reset_now_usecs();
  }
  ~fake_clock_scope() {
    clock_source = platform_clock;
    calibration_work = busy_work;
    reset_now_usecs();
  }
  fake_clock_scope(const fake_clock_scope &) = delete;
  fake_clock_scope &operator=(const fake_clock_scope &) = delete;
};

}  // namespace testlib
