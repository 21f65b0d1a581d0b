#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>

#include "camctl_error_internal.h"
#include "commands_internal.h"
#include "discovery_internal.h"
#include "texts_internal.h"

namespace {

bool parse_address_port(const std::string &text, sockaddr_in &out) {
  std::string host = text;
  unsigned long port = gvcp::port;
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    const std::string p = text.substr(colon + 1);
    char *end = nullptr;
    port = std::strtoul(p.c_str(), &end, 10);
    if (p.empty() || *end != '\0' || port == 0 || port > 65535) return false;
  }
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

}  // namespace

void open_camera(const camctl_options &opts, const std::string &camera, gvcp_client &c) {
  sockaddr_in device{};
  if (!parse_address_port(camera, device)) {
    std::array<std::uint8_t, 6> mac{};
    const bool by_mac = parse_mac(camera, mac);
    const std::vector<found_device> all =
        discover(broadcast_interfaces(opts.iface), 1000, opts.client.retries);
    const found_device *match = nullptr;
    for (const found_device &d : all) {
      if (!(by_mac ? d.mac == mac : (d.serial == camera || d.user_name == camera))) continue;
      // Simulated and cloned devices share MACs: the address tells them apart.
      if (match != nullptr && (match->mac != d.mac || match->address.s_addr != d.address.s_addr))
        throw camctl_error(exit_usage_error, text_ambiguous_camera + camera);
      // The same device seen on two interfaces: prefer where it is reachable.
      if (match == nullptr || (!match->on_subnet && d.on_subnet)) match = &d;
    }
    if (match == nullptr) throw camctl_error(exit_no_answer, text_camera_not_found + camera);
    if (!match->on_subnet)
      throw camctl_error(exit_failure, camera + ": " + text_off_subnet + mac_text(match->mac));
    device.sin_family = AF_INET;
    device.sin_port = htons(gvcp::port);
    device.sin_addr = match->address;
  }
  open_client(c, device, opts.client, camera);
}

control_hold::control_hold(gvcp_client &client, bool exclusive) : c(client) {
  try {
    write_register(c, gvcp::reg_ccp, exclusive ? gvcp::ccp_exclusive : gvcp::ccp_control);
  } catch (const camctl_error &e) {
    // Some devices ignore the controller's rivals rather than answer access
    // denied. Reads stay open to all: a camera that answers them and shows
    // its control taken is held by another application, not gone.
    if (e.status == exit_no_answer) {
      std::uint32_t ccp = 0;
      try {
        ccp = read_register(c, gvcp::reg_ccp);
      } catch (const camctl_error &) {
        throw e;
      }
      if ((ccp & (gvcp::ccp_exclusive | gvcp::ccp_control)) != 0)
        throw camctl_error(exit_access_denied, c.name + ": " + text_access_denied);
      if (!exclusive) throw;
    } else if (!exclusive || e.status != exit_failure) {
      // A device that does not offer exclusive access refuses the bit (or,
      // above, ignores it); plain control is then the most that can be had.
      // Refused for being held elsewhere is final.
      throw;
    }
    write_register(c, gvcp::reg_ccp, gvcp::ccp_control);
  }
  held = true;
}

void control_hold::release() {
  if (!held) return;
  held = false;
  write_register(c, gvcp::reg_ccp, 0);
}

control_hold::~control_hold() {
  try {
    release();
  } catch (const camctl_error &) {
    // Gone or refusing: its heartbeat timeout releases it all the same.
  }
}
