// Whether the host kept tasks waiting for a CPU: the kernel's pressure
// account, read around a run. A loaded host reorders loopback traffic on
// its own (each CPU's backlog is its own), which a test of reordering
// must tell from the engine's doing.
#pragma once

#include <chrono>
#include <fstream>
#include <string>

namespace testlib {

class HostLoad {
 public:
  HostLoad() : start_(std::chrono::steady_clock::now()), stalled_(stalled_us()) {}

  // True when tasks waited for a CPU more than `share` of the time since
  // construction, or when the kernel keeps no account.
  bool busy(double share = 0.05) const {
    const long long now = stalled_us();
    if (now < 0 || stalled_ < 0) return true;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start_);
    return static_cast<double>(now - stalled_) > share * static_cast<double>(elapsed.count());
  }

 private:
  static long long stalled_us() {
    std::ifstream in("/proc/pressure/cpu");
    std::string word;
    while (in >> word) {
      if (word.rfind("total=", 0) == 0) return std::stoll(word.substr(6));
    }
    return -1;
  }

  std::chrono::steady_clock::time_point start_;
  long long stalled_;
};

}  // namespace testlib
