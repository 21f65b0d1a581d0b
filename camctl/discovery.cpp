#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "camctl_error_internal.h"
#include "discovery_internal.h"
#include "gvcp/gvcp.h"
#include "texts_internal.h"

namespace {

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A socket that sends to the limited broadcast address out of this one
// interface and hears broadcast answers (a device off our subnet answers by
// broadcast). SO_BINDTODEVICE needs privilege: without it, the socket sends
// to the interface's own broadcast address and listens on its address.
int broadcast_socket(const interface_info &i, sockaddr_in &to) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(gvcp::port);
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, i.name.c_str(),
                 static_cast<socklen_t>(i.name.size())) == 0) {
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  } else {
    local.sin_addr = i.address;
    to.sin_addr = i.broadcast;
  }
  if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool same_subnet(in_addr a, in_addr b, in_addr mask) {
  return (a.s_addr & mask.s_addr) == (b.s_addr & mask.s_addr);
}

}  // namespace

std::string mac_text(const std::array<std::uint8_t, 6> &mac) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return buf;
}

bool parse_mac(const std::string &text, std::array<std::uint8_t, 6> &mac) {
  unsigned v[6];
  char sep[5];
  int used = 0;
  if (std::sscanf(text.c_str(), "%2x%c%2x%c%2x%c%2x%c%2x%c%2x%n", &v[0], &sep[0], &v[1], &sep[1],
                  &v[2], &sep[2], &v[3], &sep[3], &v[4], &sep[4], &v[5], &used) != 11 ||
      static_cast<std::size_t>(used) != text.size())
    return false;
  for (char s : sep)
    if (s != ':' && s != '-') return false;
  for (int i = 0; i < 6; ++i) mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v[i]);
  return true;
}

std::string ip_text(in_addr a) {
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::vector<interface_info> broadcast_interfaces(const std::string &only) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0)
    throw camctl_error(exit_failure, std::string("getifaddrs: ") + std::strerror(errno));
  std::vector<interface_info> out;
  for (ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
    if (!only.empty() && only != a->ifa_name) continue;
    interface_info i;
    i.name = a->ifa_name;
    i.address = reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr;
    i.mask = reinterpret_cast<sockaddr_in *>(a->ifa_netmask)->sin_addr;
    i.broadcast.s_addr = i.address.s_addr | ~i.mask.s_addr;
    out.push_back(i);
  }
  freeifaddrs(list);
  if (!only.empty() && out.empty()) throw camctl_error(exit_usage_error, text_no_interface + only);
  return out;
}

std::vector<found_device> discover(const std::vector<interface_info> &ifaces, int wait_ms,
                                   int retries) {
  std::vector<int> fds;
  std::vector<sockaddr_in> targets;
  std::vector<const interface_info *> owners;
  for (const interface_info &i : ifaces) {
    sockaddr_in to{};
    const int fd = broadcast_socket(i, to);
    if (fd < 0) continue;
    fds.push_back(fd);
    targets.push_back(to);
    owners.push_back(&i);
  }
  std::vector<found_device> found;
  std::vector<std::byte> cmd(gvcp::header_size), buf(2048);
  const auto id = static_cast<std::uint16_t>(getpid() % 0xFFFF + 1);
  gvcp::build_discovery(cmd, id);
  // Each round re-broadcasts: a single broadcast datagram is easily lost.
  for (int round = 0; round <= retries; ++round) {
    for (std::size_t k = 0; k < fds.size(); ++k)
      sendto(fds[k], cmd.data(), cmd.size(), 0, reinterpret_cast<sockaddr *>(&targets[k]),
             sizeof targets[k]);
    const std::int64_t deadline = now_ms() + wait_ms / (retries + 1);
    for (;;) {
      const std::int64_t left = deadline - now_ms();
      if (left <= 0) break;
      std::vector<pollfd> p;
      for (int fd : fds) p.push_back({fd, POLLIN, 0});
      if (poll(p.data(), p.size(), static_cast<int>(left)) <= 0) continue;
      for (std::size_t k = 0; k < p.size(); ++k) {
        if ((p[k].revents & POLLIN) == 0) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            recvfrom(fds[k], buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0) continue;
        const auto a = gvcp::parse_ack(std::span(buf).first(static_cast<std::size_t>(n)));
        if (!a || a.value.ack_id != id || a.value.status != gvcp::status_success) continue;
        const auto d = gvcp::parse_discovery_ack(a.value);
        if (!d) continue;
        found_device f;
        f.iface = *owners[k];
        f.interface_name = owners[k]->name;
        f.mac = d.value.mac;
        f.address.s_addr = htonl(d.value.ip);
        f.mask.s_addr = htonl(d.value.mask);
        f.manufacturer = d.value.manufacturer;
        f.model = d.value.model;
        f.serial = d.value.serial;
        f.user_name = d.value.user_name;
        f.version = d.value.device_version;
        f.on_subnet = same_subnet(f.address, owners[k]->address, owners[k]->mask);
        bool seen = false;
        for (const found_device &g : found)
          seen = seen || (g.mac == f.mac && g.interface_name == f.interface_name);
        if (!seen) found.push_back(f);
      }
    }
  }
  for (int fd : fds) close(fd);
  return found;
}

bool force_ip(const std::vector<interface_info> &ifaces, const std::array<std::uint8_t, 6> &mac,
              in_addr ip, in_addr mask, in_addr gateway, int wait_ms, int retries) {
  std::vector<std::byte> cmd(gvcp::header_size + 56), buf(2048);
  const auto id = static_cast<std::uint16_t>(getpid() % 0xFFFF + 1);
  gvcp::build_forceip(cmd, id, mac, ntohl(ip.s_addr), ntohl(mask.s_addr), ntohl(gateway.s_addr));
  bool acknowledged = false;
  for (const interface_info &i : ifaces) {
    sockaddr_in to{};
    const int fd = broadcast_socket(i, to);
    if (fd < 0) continue;
    for (int round = 0; round <= retries && !acknowledged; ++round) {
      sendto(fd, cmd.data(), cmd.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
      const std::int64_t deadline = now_ms() + wait_ms / (retries + 1);
      while (!acknowledged) {
        const std::int64_t left = deadline - now_ms();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) continue;
        const auto a = gvcp::parse_ack(std::span(buf).first(static_cast<std::size_t>(n)));
        acknowledged = a && a.value.ack_id == id && a.value.ack == gvcp::ack_forceip &&
                       a.value.status == gvcp::status_success;
      }
    }
    close(fd);
    if (acknowledged) break;
  }
  return acknowledged;
}
