#include "adapters_id_internal.h"

namespace zok::adapters {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint32_t> parse_serial(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    // Checked per digit so that a long run of digits cannot wrap around
    // into a valid-looking serial.
    if (value > max_serial) return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<Mac> parse_mac(std::string_view text) {
  constexpr std::size_t mac_text_length = 17;
  if (text.size() != mac_text_length) return std::nullopt;
  Mac mac{};
  for (std::size_t octet = 0; octet < mac.size(); ++octet) {
    const std::size_t at = octet * 3;
    if (octet > 0 && text[at - 1] != ':') return std::nullopt;
    const int high = hex_digit(text[at]);
    const int low = hex_digit(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    mac[octet] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return mac;
}

std::string format_mac(const Mac &mac) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(17);
  for (std::size_t octet = 0; octet < mac.size(); ++octet) {
    if (octet > 0) text += ':';
    text += digits[mac[octet] >> 4];
    text += digits[mac[octet] & 0xF];
  }
  return text;
}

std::optional<Identifier> parse_identifier(std::string_view text) {
  if (text.size() < 2 || text[1] != '=') return std::nullopt;
  const std::string_view value = text.substr(2);
  switch (text[0]) {
    case 'M':
      if (auto mac = parse_mac(value)) return ByMac{*mac};
      return std::nullopt;
    case 'S':
      if (auto serial = parse_serial(value)) return BySerial{*serial};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace zok::adapters
