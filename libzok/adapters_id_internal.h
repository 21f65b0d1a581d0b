// Adapter identifier texts: "M=01:23:45:67:89:AB" and "S=123456".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace zok::adapters {

// A hardware address; the stable identity of an adapter (interface names
// and indexes change with drivers, hotplug and reboots, the address does not).
using Mac = std::array<std::uint8_t, 6>;

struct ByMac {
  Mac mac;
};

struct BySerial {
  std::uint32_t serial;
};

using Identifier = std::variant<ByMac, BySerial>;

// The largest serial: the last three octets are all a serial can hold.
inline constexpr std::uint32_t max_serial = 0xFFFFFFu;

// Six colon-separated two-digit hex octets, digits in either case; nothing
// before, between or after them.
std::optional<Mac> parse_mac(std::string_view text);

// Lower case, colon-separated: the form the names file stores.
std::string format_mac(const Mac &mac);

// "M=" with a MAC, or "S=" with decimal digits up to max_serial. Anything
// else (other prefixes, signs, spaces, empty numbers) is refused.
std::optional<Identifier> parse_identifier(std::string_view text);

constexpr std::uint32_t serial_of(const Mac &mac) {
  return (std::uint32_t{mac[3]} << 16) | (std::uint32_t{mac[4]} << 8) | std::uint32_t{mac[5]};
}

}  // namespace zok::adapters
