// Bytes as a test writes them out, and exact-size copies of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

namespace testlib {

inline std::vector<std::byte> wire(std::initializer_list<unsigned> values) {
  std::vector<std::byte> out;
  for (unsigned v : values) out.push_back(std::byte(v));
  return out;
}

// An exact-size heap copy of the first n bytes, so that a read past the end
// lands outside the allocation where the address sanitizer sees it. Views
// parsed from it point into it, so it outlives them.
struct Exact {
  std::unique_ptr<std::byte[]> mem;
  std::span<const std::byte> span;
};

inline Exact exact(const std::vector<std::byte> &v, std::size_t n) {
  Exact e{std::unique_ptr<std::byte[]>(new std::byte[n == 0 ? 1 : n]), {}};
  std::copy(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n), e.mem.get());
  e.span = std::span<const std::byte>(e.mem.get(), n);
  return e;
}

}  // namespace testlib
