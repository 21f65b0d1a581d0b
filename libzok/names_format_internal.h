// The names file: its text form, apart from any file or lock.
//
// One entry per line: the hardware address in lower case, one space, the
// name up to the end of the line. The address is the key because it is what
// identifies an adapter across reboots; a serial is derived from it and an
// interface name may change. Lines starting with '#' and empty lines are
// comments.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "adapters_id_internal.h"

namespace zok::names {

inline constexpr std::size_t max_name_length = 63;

// 1 to max_name_length printable ASCII characters. Names go on one line of
// the file and into terminals, so control characters are out, and bytes
// above 0x7E are refused rather than guessed at as some encoding.
bool name_valid(std::string_view name);

using NameTable = std::map<adapters::Mac, std::string>;

struct ParsedNames {
  NameTable names;
  // Lines that were neither an entry nor a comment: they are dropped, the
  // other entries stand.
  std::size_t damaged_lines = 0;
};

// Never fails: what cannot be read as an entry is counted and skipped. When
// an address appears twice, the later line wins, as in any hand-edited
// configuration.
ParsedNames parse_names(std::string_view text);

std::string serialise_names(const NameTable &names);

}  // namespace zok::names
