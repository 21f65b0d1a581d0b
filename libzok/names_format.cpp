#include <algorithm>

#include "names_format_internal.h"

namespace zok::names {
namespace {

constexpr std::string_view file_header = "# zok adapter names: hardware address, one space, name\n";
constexpr std::size_t mac_text_length = 17;

bool printable(char c) {
  return c >= 0x20 && c <= 0x7E;
}

}  // namespace

bool name_valid(std::string_view name) {
  return !name.empty() && name.size() <= max_name_length &&
         std::all_of(name.begin(), name.end(), printable);
}

ParsedNames parse_names(std::string_view text) {
  ParsedNames parsed;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);

    // A file that went through a Windows editor still counts.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;

    const auto mac = adapters::parse_mac(line.substr(0, mac_text_length));
    const bool separated = line.size() > mac_text_length && line[mac_text_length] == ' ';
    const std::string_view name = separated ? line.substr(mac_text_length + 1) : std::string_view{};
    if (!mac || !separated || !name_valid(name)) {
      ++parsed.damaged_lines;
      continue;
    }
    parsed.names.insert_or_assign(*mac, std::string(name));
  }
  return parsed;
}

std::string serialise_names(const NameTable &names) {
  std::string text(file_header);
  for (const auto &[mac, name] : names) {
    text += adapters::format_mac(mac);
    text += ' ';
    text += name;
    text += '\n';
  }
  return text;
}

}  // namespace zok::names
