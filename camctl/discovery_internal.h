// Finding cameras: DISCOVERY by broadcast on each interface, FORCEIP.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct interface_info {
  std::string name;
  in_addr address{};
  in_addr mask{};
  in_addr broadcast{};
};

struct found_device {
  std::string interface_name;
  interface_info iface;
  std::array<std::uint8_t, 6> mac{};
  in_addr address{};
  in_addr mask{};
  std::string manufacturer, model, serial, user_name, version;
  bool on_subnet = false;
};

// IPv4 interfaces that are up and can broadcast (or the one named; empty
// name: all). Throws camctl_error when a named one is missing.
std::vector<interface_info> broadcast_interfaces(const std::string &only);

// Broadcasts DISCOVERY on each interface and gathers the answers for
// wait_ms; a device answering on several interfaces is listed for each.
std::vector<found_device> discover(const std::vector<interface_info> &ifaces, int wait_ms,
                                   int retries);

// FORCEIP to the device with this MAC, by broadcast on the interfaces;
// true when it acknowledged.
bool force_ip(const std::vector<interface_info> &ifaces, const std::array<std::uint8_t, 6> &mac,
              in_addr ip, in_addr mask, in_addr gateway, int wait_ms, int retries);

std::string mac_text(const std::array<std::uint8_t, 6> &mac);
bool parse_mac(const std::string &text, std::array<std::uint8_t, 6> &mac);
std::string ip_text(in_addr a);
