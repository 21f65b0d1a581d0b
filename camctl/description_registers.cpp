#include <algorithm>

#include "description_registers_internal.h"

register_cache::entry_map::const_iterator register_cache::lookup(register_range r) const {
  // Entries are few and short: look back from the first entry past the
  // address for one that covers the whole range.
  auto it = entries_.upper_bound({r.address, SIZE_MAX});
  while (it != entries_.begin()) {
    --it;
    const auto [start, length] = it->first;
    if (r.address - start >= longest_) break;
    const entry &e = it->second;
    if (start + length < r.address + r.length) continue;
    if (!e.lasting && e.operation != operation_) continue;
    // A refusal speaks for its own register only.
    if (!e.refusal.empty() && (start != r.address || length != r.length)) continue;
    return it;
  }
  return entries_.end();
}

void register_cache::keep(register_range r, entry e) {
  longest_ = std::max(longest_, r.length);
  entries_.insert_or_assign({r.address, r.length}, std::move(e));
}

void register_cache::read(register_range r, std::span<std::byte> out, bool lasting) {
  if (const auto it = lookup(r); it != entries_.end()) {
    const entry &e = it->second;
    if (!e.refusal.empty()) throw description_error(e.refusal);
    const auto offset = static_cast<std::ptrdiff_t>(r.address - it->first.first);
    std::copy_n(e.bytes.begin() + offset, r.length, out.begin());
    return;
  }
  if (offline) throw needs_read{};
  entry fresh{std::vector<std::byte>(r.length), {}, operation_, lasting};
  try {
    port_.read(r.address, fresh.bytes);
  } catch (const description_error &e) {
    fresh.refusal = e.what();
    keep(r, std::move(fresh));
    throw;
  }
  std::copy(fresh.bytes.begin(), fresh.bytes.end(), out.begin());
  keep(r, std::move(fresh));
}

void register_cache::forget(register_range r) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    const auto [start, length] = it->first;
    const bool overlaps = start < r.address + r.length && r.address < start + length;
    it = overlaps ? entries_.erase(it) : std::next(it);
  }
}

void register_cache::write(register_range r, std::span<const std::byte> data, bool keep_value) {
  forget(r);
  port_.write(r.address, data);
  if (keep_value) keep(r, {std::vector<std::byte>(data.begin(), data.end()), {}, operation_, true});
}

void register_cache::prefetch(std::vector<std::pair<register_range, bool>> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const auto &a, const auto &b) {
    return a.first.address != b.first.address ? a.first.address < b.first.address
                                              : a.first.length > b.first.length;
  });
  std::vector<std::pair<register_range, bool>> wanted;
  for (const auto &w : ranges) {
    const register_range r = w.first;
    if (r.length == 0 || r.length > port_run_bytes || lookup(r) != entries_.end()) continue;
    if (!wanted.empty() && wanted.back().first.address == r.address) continue;
    wanted.push_back(w);
  }
  const auto store = [&](const std::pair<register_range, bool> &w, auto from) {
    keep(w.first, {std::vector<std::byte>(from, from + static_cast<std::ptrdiff_t>(w.first.length)),
                   {},
                   operation_,
                   w.second});
  };
  // Runs of registers that touch or overlap, each one memory read long.
  std::vector<std::pair<register_range, bool>> words;
  for (std::size_t i = 0; i < wanted.size();) {
    const std::uint64_t start = wanted[i].first.address;
    std::uint64_t end = start + wanted[i].first.length;
    std::size_t j = i + 1;
    for (; j < wanted.size(); ++j) {
      const register_range r = wanted[j].first;
      const std::uint64_t new_end = std::max(end, r.address + r.length);
      if (r.address > end || new_end - start > port_run_bytes) break;
      end = new_end;
    }
    if (j - i == 1) {
      // Alone, it costs the same now as when it is needed, unless the port
      // gathers scattered words into one exchange.
      if (wanted[i].first.length == 4 && start % 4 == 0 && port_.reads_words_together())
        words.push_back(wanted[i]);
    } else {
      std::vector<std::byte> run(end - start);
      try {
        port_.read(start, run);
        for (std::size_t k = i; k < j; ++k)
          store(wanted[k],
                run.begin() + static_cast<std::ptrdiff_t>(wanted[k].first.address - start));
      } catch (const description_error &) {
        // A hole in the run the camera refuses: each is read when needed.
      }
    }
    i = j;
  }
  if (words.empty()) return;
  std::vector<std::uint64_t> addresses;
  for (const auto &w : words) addresses.push_back(w.first.address);
  std::vector<std::byte> values(4 * words.size());
  try {
    port_.read_words(addresses, values);
  } catch (const description_error &) {
    return;
  }
  for (std::size_t k = 0; k < words.size(); ++k)
    store(words[k], values.begin() + static_cast<std::ptrdiff_t>(4 * k));
}
