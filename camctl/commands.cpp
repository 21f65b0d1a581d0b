#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "camctl_error_internal.h"
#include "commands_internal.h"
#include "discovery_internal.h"
#include "texts_internal.h"

namespace {

// The camera, its description and the port the description reads through,
// for the commands that speak in features.
struct camera_session {
  gvcp_client c;
  std::unique_ptr<device_port> port;
  std::unique_ptr<description> desc;
  camera_session(const camctl_options &opts, const std::string &camera) {
    open_camera(opts, camera, c);
    port = std::make_unique<device_port>(c);
    try {
      desc = std::make_unique<description>(fetch_description(c), *port);
    } catch (const description_error &e) {
      throw camctl_error(exit_failure, camera + ": " + e.what());
    }
  }
  ~camera_session() { close_client(c); }
};

bool parse_u32(const std::string &text, std::uint32_t &out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

void print_error(const std::string &what) {
  std::fprintf(stderr, "camctl: %s\n", what.c_str());
}

}  // namespace

int run_discover(const camctl_options &opts) {
  const std::vector<interface_info> ifaces = broadcast_interfaces(opts.iface);
  const std::vector<found_device> found = discover(ifaces, 1000, opts.client.retries);
  for (const found_device &d : found) {
    std::printf(text_discovered, ip_text(d.address).c_str(), mac_text(d.mac).c_str(),
                d.serial.c_str(), d.user_name.c_str(), d.manufacturer.c_str(), d.model.c_str(),
                d.interface_name.c_str());
    if (d.on_subnet) {
      std::printf(text_on_subnet);
    } else {
      int prefix = __builtin_popcount(d.iface.mask.s_addr);
      std::printf(text_outside_subnet, d.interface_name.c_str(), ip_text(d.iface.address).c_str(),
                  prefix, mac_text(d.mac).c_str(), prefix);
    }
  }
  if (found.empty()) {
    std::string names;
    for (const interface_info &i : ifaces) names += (names.empty() ? "" : ", ") + i.name;
    throw camctl_error(exit_no_answer, text_nothing_found + (names.empty() ? "(none)" : names));
  }
  return exit_ok;
}

int run_forceip(const camctl_options &opts) {
  std::array<std::uint8_t, 6> mac{};
  if (!parse_mac(opts.args[0], mac))
    throw camctl_error(exit_usage_error, text_bad_mac + opts.args[0]);
  const std::string &spec = opts.args[1];
  const std::size_t slash = spec.find('/');
  in_addr ip{}, mask{}, gateway{};
  char *end = nullptr;
  const unsigned long prefix =
      slash == std::string::npos ? 0 : std::strtoul(spec.c_str() + slash + 1, &end, 10);
  if (slash == std::string::npos || *end != '\0' || prefix < 1 || prefix > 30 ||
      inet_pton(AF_INET, spec.substr(0, slash).c_str(), &ip) != 1)
    throw camctl_error(exit_usage_error, text_bad_ip_prefix + spec);
  mask.s_addr = htonl(~std::uint32_t{0} << (32 - prefix));
  if (opts.args.size() == 3 && inet_pton(AF_INET, opts.args[2].c_str(), &gateway) != 1)
    throw camctl_error(exit_usage_error, text_bad_ip_prefix + opts.args[2]);
  if (!force_ip(broadcast_interfaces(opts.iface), mac, ip, mask, gateway,
                opts.client.timeout_ms * (opts.client.retries + 1), opts.client.retries))
    throw camctl_error(exit_no_answer, text_forceip_no_answer + opts.args[0]);
  std::printf(text_forceip_done, opts.args[0].c_str(), spec.c_str());
  return exit_ok;
}

int run_get(const camctl_options &opts) {
  camera_session s(opts, opts.args[0]);
  int status = exit_ok;
  for (std::size_t i = 1; i < opts.args.size(); ++i) {
    try {
      std::printf("%s=%s\n", opts.args[i].c_str(), s.desc->get(opts.args[i]).c_str());
    } catch (const description_error &e) {
      print_error(e.what());
      status = exit_failure;
    }
  }
  return status;
}

int run_set(const camctl_options &opts) {
  camera_session s(opts, opts.args[0]);
  // Check every argument before the first write: half a set is worse than none.
  for (std::size_t i = 1; i < opts.args.size(); ++i) {
    const std::size_t eq = opts.args[i].find('=');
    if (eq == std::string::npos || eq == 0 || !s.desc->has(opts.args[i].substr(0, eq)))
      throw camctl_error(exit_usage_error, text_bad_assignment + opts.args[i]);
  }
  control_hold control(s.c, false);
  for (std::size_t i = 1; i < opts.args.size(); ++i) {
    const std::size_t eq = opts.args[i].find('=');
    const std::string name = opts.args[i].substr(0, eq);
    try {
      s.desc->set(name, opts.args[i].substr(eq + 1));
      const std::string now = s.desc->get(name);
      std::printf("%s=%s\n", name.c_str(), now.c_str());
    } catch (const description_error &e) {
      throw camctl_error(exit_failure, e.what());
    }
  }
  control.release();
  return exit_ok;
}

int run_features(const camctl_options &opts) {
  camera_session s(opts, opts.args[0]);
  std::vector<feature_info> list;
  try {
    list = s.desc->features();
  } catch (const description_error &e) {
    throw camctl_error(exit_failure, opts.args[0] + ": " + e.what());
  }
  for (const feature_info &f : list) {
    std::printf(text_feature_line, f.name.c_str(), f.kind.c_str(), f.access.c_str(),
                f.value.c_str());
    std::string selectors;
    for (const std::string &name : f.selectors) selectors += (selectors.empty() ? "" : ", ") + name;
    if (!selectors.empty()) std::printf(text_feature_selectors, selectors.c_str());
    std::fputc('\n', stdout);
  }
  return exit_ok;
}

int run_xml(const camctl_options &opts) {
  gvcp_client c;
  open_camera(opts, opts.args[0], c);
  std::string xml;
  try {
    xml = fetch_description(c);
  } catch (const description_error &e) {
    close_client(c);
    throw camctl_error(exit_failure, opts.args[0] + ": " + e.what());
  }
  close_client(c);
  std::fwrite(xml.data(), 1, xml.size(), stdout);
  if (!xml.empty() && xml.back() != '\n') std::fputc('\n', stdout);
  return exit_ok;
}

int run_reg(const camctl_options &opts) {
  struct access {
    std::uint32_t address;
    bool write;
    std::uint32_t value;
  };
  std::vector<access> list;
  bool any_write = false;
  for (std::size_t i = 1; i < opts.args.size(); ++i) {
    const std::string &a = opts.args[i];
    const std::size_t eq = a.find('=');
    access x{0, eq != std::string::npos, 0};
    if (!parse_u32(a.substr(0, eq), x.address) || x.address % 4 != 0 ||
        (x.write && !parse_u32(a.substr(eq + 1), x.value)))
      throw camctl_error(exit_usage_error, text_bad_register + a);
    any_write = any_write || x.write;
    list.push_back(x);
  }
  gvcp_client c;
  open_camera(opts, opts.args[0], c);
  {
    std::unique_ptr<control_hold> control;
    // Writing CCP itself is the user's own business with control.
    bool writes_ccp = false;
    for (const access &x : list) writes_ccp = writes_ccp || (x.write && x.address == gvcp::reg_ccp);
    if (any_write && !writes_ccp) control = std::make_unique<control_hold>(c, false);
    for (const access &x : list) {
      if (x.write) write_register(c, x.address, x.value);
      std::printf("0x%08X=0x%08X\n", x.address, x.write ? x.value : read_register(c, x.address));
    }
    if (control) control->release();
  }
  close_client(c);
  return exit_ok;
}
