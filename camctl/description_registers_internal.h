// The registers one command has read: the evaluator asks here, and only what
// is not known yet (or no longer good) goes to the camera.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "description_internal.h"

// Thrown instead of reading while the cache is offline: the caller wanted
// to know what it could work out from what is already here.
struct needs_read {};

struct register_range {
  std::uint64_t address;
  std::size_t length;
};

class register_cache {
 public:
  explicit register_cache(register_port &port) : port_(port) {}

  // `lasting`: the value stays good for the rest of the command; otherwise
  // only within the current operation (a register that changes by itself).
  // A refused read is remembered like a value, and thrown again.
  void read(register_range r, std::span<std::byte> out, bool lasting);
  // Written bytes are kept when `keep` (the register reads back what was
  // written); everything overlapping the range is forgotten either way.
  void write(register_range r, std::span<const std::byte> data, bool keep);
  void forget(register_range r);
  // Reads these (each lasting or not) in as few exchanges as adjacency
  // allows. Anything refused is left for reading on its own.
  void prefetch(std::vector<std::pair<register_range, bool>> ranges);
  void next_operation() { ++operation_; }

  bool offline = false;

 private:
  struct entry {
    std::vector<std::byte> bytes;
    std::string refusal;
    std::uint64_t operation;
    bool lasting;
  };
  using entry_map = std::map<std::pair<std::uint64_t, std::size_t>, entry>;
  entry_map::const_iterator lookup(register_range r) const;
  void keep(register_range r, entry e);

  register_port &port_;
  entry_map entries_;
  std::size_t longest_ = 0;
  std::uint64_t operation_ = 1;
};
