// The camera's registers and control channel: what a read returns, what a
// write may change and when, and the answer to each GVCP command.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "device_internal.h"
#include "pattern_internal.h"

namespace {

constexpr std::uint32_t version_2_0 = 0x00020000;
// Big-endian device, UTF-8 strings.
constexpr std::uint32_t device_mode_value = 0x80000001;
constexpr std::uint32_t ip_config_persistent_dhcp_lla = 0x7;
constexpr std::uint32_t ip_config_lla = 0x4;
// User-defined name, serial number, heartbeat disable, primary application
// switchover, PENDING_ACK, PACKETRESEND, WRITEMEM, several reads or writes in
// one command.
constexpr std::uint32_t gvcp_capability =
    0x80000000 | 0x40000000 | 0x20000000 | 0x00200000 | 0x20 | 0x4 | 0x2 | 0x1;
// SCSPx present; 16-bit block ids supported beside 2.0's 64-bit ones.
constexpr std::uint32_t stream_capability = 0x80000000 | 0x40000000;
constexpr std::uint32_t scc_all_in_supported = 0x4;
constexpr std::uint32_t pending_timeout_ms = 200;
constexpr std::uint32_t min_heartbeat_ms = 500;
constexpr std::uint32_t max_frame_rate_mhz = 100000000;
constexpr std::uint32_t min_frame_rate_mhz = 100;
// Software triggers beyond these, while frames are still owed, are lost as
// on a camera whose trigger queue is full.
constexpr unsigned max_frame_triggers = 16;
constexpr std::size_t url_bytes = 512;

struct text_field {
  std::uint32_t address;
  std::uint32_t size;
};

// Registers whose change would change the stream's layout: refused while it
// streams or while TLParamsLocked says so.
bool layout_register(std::uint32_t a) {
  switch (a) {
    case reg::width:
    case reg::height:
    case reg::offset_x:
    case reg::offset_y:
    case reg::pixel_format:
    case reg::acquisition_mode:
    case reg::chunk_control:
    case reg::gvsp_config:
    case reg::sccfg0:
    case gvcp::reg_scp(0):
    case gvcp::reg_scda(0):
      return true;
    default:
      return false;
  }
}

std::string_view text_at(const device &d, std::uint32_t address) {
  switch (address) {
    case reg::manufacturer:
      return "zok";
    case reg::model:
      return "strobix";
    case reg::device_version:
      return d.id.version;
    case reg::manufacturer_info:
      return "GVSP test camera";
    case reg::serial:
      return d.id.serial;
    case reg::user_name:
      return {d.id.user_name.data(), strnlen(d.id.user_name.data(), d.id.user_name.size())};
    case gvcp::reg_first_url:
      return {d.first_url.data(), strnlen(d.first_url.data(), d.first_url.size())};
    case gvcp::reg_second_url:
      return {d.second_url.data(), strnlen(d.second_url.data(), d.second_url.size())};
    default:
      return {};
  }
}

// The text field holding address, if any.
bool find_text(std::uint32_t address, text_field &f) {
  static constexpr text_field fields[] = {
      {reg::manufacturer, 32},
      {reg::model, 32},
      {reg::device_version, 32},
      {reg::manufacturer_info, 48},
      {reg::serial, 16},
      {reg::user_name, 16},
      {gvcp::reg_first_url, url_bytes},
      {gvcp::reg_second_url, url_bytes},
  };
  for (const text_field &t : fields) {
    if (address >= t.address && address < t.address + t.size) {
      f = t;
      return true;
    }
  }
  return false;
}

std::uint32_t text_word(std::string_view text, std::uint32_t offset) {
  std::uint32_t v = 0;
  for (std::uint32_t i = 0; i < 4; ++i) {
    const std::uint32_t k = offset + i;
    v = (v << 8) | (k < text.size() ? static_cast<unsigned char>(text[k]) : 0u);
  }
  return v;
}

std::span<const std::byte> description_at(const device &d, std::uint32_t address,
                                          std::uint32_t &base) {
  if (address >= reg::description_xml && address < reg::description_xml + reg::description_room) {
    base = reg::description_xml;
    return d.xml;
  }
  if (address >= reg::description_zip && address < reg::description_zip + reg::description_room) {
    base = reg::description_zip;
    return d.zip;
  }
  return {};
}

void put_url(std::array<char, 512> &url, const char *name, std::uint32_t address,
             std::size_t size) {
  url.fill('\0');
  std::snprintf(url.data(), url.size(), "Local:%s;%X;%zX", name, address, size);
}

bool valid_geometry(const device_registers &r) {
  return r.width >= 16 && r.width % 4 == 0 && r.height >= 2 && r.height % 2 == 0 &&
         r.offset_x % 4 == 0 && r.offset_y % 2 == 0 &&
         std::uint64_t{r.offset_x} + r.width <= r.sensor_width &&
         std::uint64_t{r.offset_y} + r.height <= r.sensor_height &&
         find_pixel_format(r.pixel_format) != nullptr;
}

bool valid_packet_size(std::uint32_t scps) {
  const std::uint32_t size = scps & gvcp::scps_size_mask;
  return size >= min_packet_size && size <= max_packet_size;
}

void stop_acquisition(device &d) {
  d.restart_after_stop = false;
  if (d.state == acquisition::armed || d.state == acquisition::running) {
    d.state = acquisition::stopping;
  }
}

void begin_acquisition(device &d) {
  const bool trigger_waits = (d.regs.trigger[1] & trigger_mode_on) != 0;
  d.state = trigger_waits ? acquisition::armed : acquisition::running;
  d.frames_in_acquisition = 0;
  d.frame_triggers = 0;
  d.start_requested = true;
}

std::uint16_t start_acquisition(device &d) {
  if (!control_held(d) || !destination_set(d)) return gvcp::status_access_denied;
  // The last block of the acquisition before is still going out: this one
  // begins once it is, with whatever was written in between.
  if (d.state == acquisition::stopping) d.restart_after_stop = true;
  if (d.state == acquisition::idle) begin_acquisition(d);
  return gvcp::status_success;
}

void software_trigger(device &d, unsigned selector) {
  const std::uint32_t t = d.regs.trigger[selector];
  if ((t & trigger_mode_on) == 0 || (t >> trigger_source_shift) != trigger_source_software) return;
  if (selector == 1) {
    if (d.state == acquisition::armed) d.state = acquisition::running;
  } else if (d.state == acquisition::running && d.frame_triggers < max_frame_triggers) {
    ++d.frame_triggers;
  }
}

// A write to the CCP: taking, keeping, handing over or releasing control.
std::uint16_t write_ccp(device &d, std::uint32_t value, const host &from, std::int64_t now_ns) {
  const std::uint32_t privilege = value & 0xFFFF;
  if (control_held(d) && !(d.owner == from)) {
    // Another application may take over only where the owner allowed it
    // and knows the key the owner set.
    const bool switchover = (d.ccp & ccp_switchover) != 0 && (d.ccp & gvcp::ccp_exclusive) == 0 &&
                            (value >> 16) == d.regs.switchover_key && privilege != 0;
    if (!switchover) return gvcp::status_access_denied;
  }
  if ((privilege & (gvcp::ccp_exclusive | gvcp::ccp_control)) == 0) {
    if (control_held(d)) release_control(d);
    return gvcp::status_success;
  }
  d.owner = from;
  // Nobody may take over exclusive access, so it never offers switchover.
  d.ccp = (privilege & gvcp::ccp_exclusive) != 0 ? gvcp::ccp_exclusive
                                                 : privilege & (gvcp::ccp_control | ccp_switchover);
  d.last_owner_ns = now_ns;
  return gvcp::status_success;
}

std::uint16_t write_feature(device &d, std::uint32_t a, std::uint32_t v) {
  device_registers &r = d.regs;
  device_registers next = r;
  switch (a) {
    case reg::width:
      next.width = v;
      break;
    case reg::height:
      next.height = v;
      break;
    case reg::offset_x:
      next.offset_x = v;
      break;
    case reg::offset_y:
      next.offset_y = v;
      break;
    case reg::pixel_format:
      next.pixel_format = v;
      break;
    case reg::acquisition_mode:
      if (v > 2) return gvcp::status_invalid_parameter;
      r.acquisition_mode = v;
      return gvcp::status_success;
    case reg::frame_count:
      if (v < 1 || v > 65535) return gvcp::status_invalid_parameter;
      r.frame_count = v;
      return gvcp::status_success;
    case reg::acquisition_start:
      return start_acquisition(d);
    case reg::acquisition_stop:
      stop_acquisition(d);
      return gvcp::status_success;
    case reg::tl_params_locked:
      if (v > 1) return gvcp::status_invalid_parameter;
      r.tl_params_locked = v;
      return gvcp::status_success;
    case reg::frame_rate_mhz:
      if (v < min_frame_rate_mhz || v > max_frame_rate_mhz) return gvcp::status_invalid_parameter;
      r.frame_rate_mhz = v;
      return gvcp::status_success;
    case reg::exposure_high:
      r.exposure_bits = (std::uint64_t{v} << 32) | (r.exposure_bits & 0xFFFFFFFF);
      return gvcp::status_success;
    case reg::exposure_low:
      r.exposure_bits = (r.exposure_bits & 0xFFFFFFFF00000000) | v;
      return gvcp::status_success;
    case reg::gain: {
      const float g = std::bit_cast<float>(v);
      if (!std::isfinite(g) || g < 0 || g > 24) return gvcp::status_invalid_parameter;
      r.gain_bits = v;
      return gvcp::status_success;
    }
    case reg::trigger_selector:
      if (v > 1) return gvcp::status_invalid_parameter;
      r.trigger_selector = v;
      return gvcp::status_success;
    case reg::trigger_frame_start:
    case reg::trigger_acquisition_start:
      if ((v & ~(trigger_mode_on | (0xFFu << trigger_source_shift))) != 0 ||
          (v >> trigger_source_shift) > 1)
        return gvcp::status_invalid_parameter;
      r.trigger[a == reg::trigger_frame_start ? 0 : 1] = v;
      return gvcp::status_success;
    case reg::trigger_software_frame_start:
    case reg::trigger_software_acquisition_start:
      software_trigger(d, a == reg::trigger_software_frame_start ? 0 : 1);
      return gvcp::status_success;
    case reg::chunk_selector:
      if (v > 2) return gvcp::status_invalid_parameter;
      r.chunk_selector = v;
      return gvcp::status_success;
    case reg::chunk_control:
      if ((v & ~0xFu) != 0) return gvcp::status_invalid_parameter;
      r.chunk_control = v;
      return gvcp::status_success;
    case reg::loss_ppm:
      if (v > 1000000) return gvcp::status_invalid_parameter;
      r.loss_ppm = v;
      d.stream_settings_changed = true;
      return gvcp::status_success;
    case reg::order:
      if ((v & ~(order_distance_mask | order_shuffle | order_duplicate)) != 0)
        return gvcp::status_invalid_parameter;
      r.order = v;
      d.stream_settings_changed = true;
      return gvcp::status_success;
    default:
      return gvcp::status_write_protect;
  }
  if (!valid_geometry(next)) return gvcp::status_invalid_parameter;
  r = next;
  return gvcp::status_success;
}

std::uint16_t write_bootstrap(device &d, std::uint32_t a, std::uint32_t v, const host &from,
                              std::int64_t now_ns) {
  device_registers &r = d.regs;
  switch (a) {
    case gvcp::reg_ccp:
      return write_ccp(d, v, from, now_ns);
    case gvcp::reg_heartbeat_timeout:
      r.heartbeat_timeout_ms = std::max(v, min_heartbeat_ms);
      return gvcp::status_success;
    case reg::gvcp_config:
      if ((v & ~(gvcp_config_heartbeat_disable | gvcp_config_pending_ack)) != 0)
        return gvcp::status_invalid_parameter;
      r.gvcp_config = v;
      return gvcp::status_success;
    case reg::switchover_key:
      r.switchover_key = v & 0xFFFF;
      return gvcp::status_success;
    case reg::gvsp_config:
      if ((v & ~gvsp_config_64bit_ids) != 0) return gvcp::status_invalid_parameter;
      r.gvsp_config = v;
      return gvcp::status_success;
    case reg::timestamp_control:
      if ((v & 0x1) != 0) d.tick_origin_ns = now_ns;
      if ((v & 0x2) != 0) r.latched_ticks = ticks(d, now_ns);
      return gvcp::status_success;
    case gvcp::reg_scp(0):
      // The direction bit (31) says transmitter and stays so.
      r.scp = v & 0xFFFF;
      return gvcp::status_success;
    case gvcp::reg_scps(0): {
      const std::uint32_t settings = v & ~gvcp::scps_fire_test_packet;
      if (!valid_packet_size(settings) || (settings & 0x1FFF0000) != 0)
        return gvcp::status_invalid_parameter;
      if (settings != r.scps && (d.state == acquisition::armed || d.state == acquisition::running))
        return gvcp::status_write_protect;
      r.scps = settings;
      if ((v & gvcp::scps_fire_test_packet) != 0) d.fire_test_packet = true;
      return gvcp::status_success;
    }
    case gvcp::reg_scpd(0):
      r.scpd = v;
      d.stream_settings_changed = true;
      return gvcp::status_success;
    case gvcp::reg_scda(0):
      r.scda = v;
      return gvcp::status_success;
    case reg::sccfg0:
      if ((v & ~sccfg_all_in) != 0) return gvcp::status_invalid_parameter;
      r.sccfg = v;
      return gvcp::status_success;
    default:
      return gvcp::status_write_protect;
  }
}

}  // namespace

void set_description(device &d) {
  put_url(d.first_url, "strobix.xml", reg::description_xml, d.xml.size());
  d.second_url = d.first_url;
  if (d.zip.empty()) return;
  put_url(d.zip_first ? d.first_url : d.second_url, "strobix.zip", reg::description_zip,
          d.zip.size());
}

bool control_held(const device &d) {
  return (d.ccp & (gvcp::ccp_exclusive | gvcp::ccp_control)) != 0;
}

bool destination_set(const device &d) {
  return d.regs.scda != 0 && (d.regs.scp & 0xFFFF) != 0;
}

std::uint64_t payload_size(const device_registers &r) {
  const image_geometry g{r.pixel_format, r.width, r.height, r.offset_x, r.offset_y};
  return image_bytes(g) + chunk_bytes(r.chunk_control);
}

std::uint64_t ticks(const device &d, std::int64_t now_ns) {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(0, now_ns - d.tick_origin_ns));
}

std::uint16_t read_word(const device &d, std::uint32_t a, std::uint32_t &value) {
  const device_registers &r = d.regs;
  value = 0;
  text_field t{};
  if (find_text(a, t)) {
    value = text_word(text_at(d, t.address), a - t.address);
    return gvcp::status_success;
  }
  std::uint32_t base = 0;
  const auto desc = description_at(d, a, base);
  if (!desc.empty()) {
    if (a - base >= (desc.size() + 3) / 4 * 4) return gvcp::status_invalid_address;
    for (std::uint32_t i = 0; i < 4; ++i) {
      const std::size_t k = a - base + i;
      value = (value << 8) | (k < desc.size() ? std::to_integer<std::uint32_t>(desc[k]) : 0u);
    }
    return gvcp::status_success;
  }
  switch (a) {
    case gvcp::reg_version:
      value = version_2_0;
      break;
    case reg::device_mode:
      value = device_mode_value;
      break;
    case gvcp::reg_mac_high:
      value = (std::uint32_t{d.id.mac[0]} << 8) | d.id.mac[1];
      break;
    case gvcp::reg_mac_low:
      value = (std::uint32_t{d.id.mac[2]} << 24) | (std::uint32_t{d.id.mac[3]} << 16) |
              (std::uint32_t{d.id.mac[4]} << 8) | d.id.mac[5];
      break;
    case reg::ip_config_supported:
      value = ip_config_persistent_dhcp_lla;
      break;
    case reg::ip_config_current:
      value = ip_config_lla;
      break;
    case gvcp::reg_current_ip:
      value = d.id.ip;
      break;
    case gvcp::reg_current_mask:
      value = d.id.mask;
      break;
    case gvcp::reg_current_gateway:
      value = d.id.gateway;
      break;
    case reg::interface_count:
      value = 1;
      break;
    case gvcp::reg_stream_channel_count:
      value = 1;
      break;
    case reg::stream_channel_capability:
      value = stream_capability;
      break;
    case gvcp::reg_gvcp_capability:
      value = gvcp_capability;
      break;
    case gvcp::reg_heartbeat_timeout:
      value = r.heartbeat_timeout_ms;
      break;
    case reg::tick_frequency_high:
      value = static_cast<std::uint32_t>(tick_frequency >> 32);
      break;
    case reg::tick_frequency_low:
      value = static_cast<std::uint32_t>(tick_frequency);
      break;
    case reg::timestamp_latched_high:
      value = static_cast<std::uint32_t>(r.latched_ticks >> 32);
      break;
    case reg::timestamp_latched_low:
      value = static_cast<std::uint32_t>(r.latched_ticks);
      break;
    case reg::gvcp_config:
      value = r.gvcp_config;
      break;
    case reg::pending_timeout:
      value = pending_timeout_ms;
      break;
    case reg::gvsp_config:
      value = r.gvsp_config;
      break;
    case gvcp::reg_ccp:
      value = d.ccp;
      break;
    case gvcp::reg_scp(0):
      value = r.scp;
      break;
    case gvcp::reg_scps(0):
      value = r.scps;
      break;
    case gvcp::reg_scpd(0):
      value = r.scpd;
      break;
    case gvcp::reg_scda(0):
      value = r.scda;
      break;
    case gvcp::reg_scsp(0):
      value = d.id.source_port;
      break;
    case reg::scc0:
      value = scc_all_in_supported;
      break;
    case reg::sccfg0:
      value = r.sccfg;
      break;
    case reg::sensor_width:
      value = r.sensor_width;
      break;
    case reg::sensor_height:
      value = r.sensor_height;
      break;
    case reg::width:
      value = r.width;
      break;
    case reg::height:
      value = r.height;
      break;
    case reg::offset_x:
      value = r.offset_x;
      break;
    case reg::offset_y:
      value = r.offset_y;
      break;
    case reg::pixel_format:
      value = r.pixel_format;
      break;
    case reg::payload_size:
      value = static_cast<std::uint32_t>(payload_size(r));
      break;
    case reg::acquisition_mode:
      value = r.acquisition_mode;
      break;
    case reg::frame_count:
      value = r.frame_count;
      break;
    case reg::tl_params_locked:
      value = r.tl_params_locked;
      break;
    case reg::frame_rate_mhz:
      value = r.frame_rate_mhz;
      break;
    case reg::exposure_high:
      value = static_cast<std::uint32_t>(r.exposure_bits >> 32);
      break;
    case reg::exposure_low:
      value = static_cast<std::uint32_t>(r.exposure_bits);
      break;
    case reg::gain:
      value = r.gain_bits;
      break;
    case reg::trigger_selector:
      value = r.trigger_selector;
      break;
    case reg::trigger_frame_start:
      value = r.trigger[0];
      break;
    case reg::trigger_acquisition_start:
      value = r.trigger[1];
      break;
    case reg::chunk_selector:
      value = r.chunk_selector;
      break;
    case reg::chunk_control:
      value = r.chunk_control;
      break;
    case reg::loss_ppm:
      value = r.loss_ppm;
      break;
    case reg::order:
      value = r.order;
      break;
    case reg::acquisition_start:
    case reg::acquisition_stop:
    case reg::trigger_software_frame_start:
    case reg::trigger_software_acquisition_start:
    case reg::timestamp_control:
    case reg::switchover_key:
      // Write-only: what a read returns means nothing.
      break;
    default:
      // Bootstrap registers this camera does not have read as 0, as the
      // reserved ones of a real device do; beyond them nothing is mapped.
      if (a >= reg::bootstrap_end) return gvcp::status_invalid_address;
      break;
  }
  return gvcp::status_success;
}

std::uint16_t write_word(device &d, std::uint32_t a, std::uint32_t v, const host &from,
                         std::int64_t now_ns) {
  if (a >= reg::user_name && a < reg::user_name + 16) {
    for (std::uint32_t i = 0; i < 4; ++i)
      d.id.user_name[a - reg::user_name + i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
    return gvcp::status_success;
  }
  const bool streaming = d.state == acquisition::armed || d.state == acquisition::running;
  if (layout_register(a) &&
      (streaming || (d.regs.tl_params_locked != 0 && a >= reg::sensor_width))) {
    return gvcp::status_write_protect;
  }
  if (a >= reg::sensor_width && a < reg::features_end) return write_feature(d, a, v);
  if (a < reg::bootstrap_end) return write_bootstrap(d, a, v, from, now_ns);
  std::uint32_t base = 0;
  if (!description_at(d, a, base).empty()) return gvcp::status_write_protect;
  return gvcp::status_invalid_address;
}

std::uint16_t read_memory(const device &d, std::uint32_t address, std::span<std::byte> out) {
  for (std::size_t i = 0; i < out.size(); i += 4) {
    std::uint32_t v = 0;
    const std::uint16_t s = read_word(d, address + static_cast<std::uint32_t>(i), v);
    if (s != gvcp::status_success) return s;
    for (std::size_t k = 0; k < 4; ++k) out[i + k] = std::byte((v >> (24 - 8 * k)) & 0xFF);
  }
  return gvcp::status_success;
}

std::uint16_t write_memory(device &d, std::uint32_t address, std::span<const std::byte> data,
                           const host &from, std::int64_t now_ns) {
  // Checked whole first: a memory write is done completely or not at all.
  for (std::size_t i = 0; i < data.size(); i += 4) {
    std::uint32_t unused = 0;
    const std::uint32_t a = address + static_cast<std::uint32_t>(i);
    if (read_word(d, a, unused) == gvcp::status_invalid_address)
      return gvcp::status_invalid_address;
  }
  for (std::size_t i = 0; i < data.size(); i += 4) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = (v << 8) | std::to_integer<std::uint32_t>(data[i + k]);
    const std::uint16_t s = write_word(d, address + static_cast<std::uint32_t>(i), v, from, now_ns);
    if (s != gvcp::status_success) return s;
  }
  return gvcp::status_success;
}

bool settle_stop(device &d) {
  if (d.state != acquisition::stopping) return false;
  d.state = acquisition::idle;
  // The destination may have been cleared meanwhile: then nothing begins.
  if (d.restart_after_stop && destination_set(d)) begin_acquisition(d);
  d.restart_after_stop = false;
  return true;
}

void release_control(device &d) {
  d.ccp = 0;
  d.owner = {};
  stop_acquisition(d);
  d.regs.scda = 0;
  d.regs.scp = 0;
  d.regs.tl_params_locked = 0;
}

bool heartbeat_lapsed(device &d, std::int64_t now_ns) {
  if (!control_held(d) || (d.regs.gvcp_config & gvcp_config_heartbeat_disable) != 0) return false;
  if (now_ns - d.last_owner_ns <= std::int64_t{d.regs.heartbeat_timeout_ms} * 1000000) return false;
  release_control(d);
  return true;
}

command_answer handle_command(device &d, gvcp::bytes datagram, const host &from,
                              std::int64_t now_ns, gvcp::out_bytes out) {
  command_answer a;
  const auto parsed = gvcp::parse_command(datagram);
  if (!parsed) {
    a.malformed = true;
    return a;
  }
  const gvcp::Command &c = parsed.value;
  a.req_id = c.req_id;
  if (c.command == gvcp::cmd_packetresend) {
    a.resend = true;
    return a;
  }
  const bool from_owner = control_held(d) && d.owner == from;
  if (from_owner) d.last_owner_ns = now_ns;
  // Exclusive access shuts others out of reading too; control access only
  // of writing. Discovery stays open to all.
  const bool may_read = !control_held(d) || from_owner || (d.ccp & gvcp::ccp_exclusive) == 0;
  const bool may_write = !control_held(d) || from_owner;
  const bool ack_wanted = (c.flags & gvcp::flag_ack_required) != 0;
  std::uint16_t refused = gvcp::status_success;
  const auto refusal = [](gvcp::Error e) {
    return e == gvcp::Error::bad_alignment ? gvcp::status_bad_alignment
                                           : gvcp::status_invalid_parameter;
  };

  switch (c.command) {
    case gvcp::cmd_discovery: {
      std::array<std::byte, gvcp::discovery_ack_size> payload{};
      read_memory(d, 0, payload);
      a.ack_bytes =
          gvcp::build_ack(out, gvcp::status_success, gvcp::ack_discovery, c.req_id, payload);
      a.broadcast =
          (c.flags & gvcp::flag_broadcast_ack) != 0 && ((from.ip ^ d.id.ip) & d.id.mask) != 0;
      return a;
    }
    case gvcp::cmd_readreg: {
      const auto r = gvcp::parse_readreg_command(c);
      if (!r) {
        refused = refusal(r.error);
        break;
      }
      if (!may_read) {
        refused = gvcp::status_access_denied;
        break;
      }
      std::array<std::uint32_t, gvcp::max_readreg_count> values{};
      std::uint16_t status = gvcp::status_success;
      std::size_t done = 0;
      for (; done < r.value.count(); ++done) {
        status = read_word(d, r.value[done], values[done]);
        if (status != gvcp::status_success) break;
      }
      a.ack_bytes = gvcp::build_readreg_ack(out, status, c.req_id, std::span(values).first(done));
      break;
    }
    case gvcp::cmd_writereg: {
      const auto w = gvcp::parse_writereg_command(c);
      if (!w) {
        refused = refusal(w.error);
        break;
      }
      // The CCP is written to take control, so it is open to every application.
      std::uint16_t status = gvcp::status_success;
      std::size_t done = 0;
      for (; done < w.value.count(); ++done) {
        const gvcp::RegWrite rw = w.value[done];
        status = may_write || rw.address == gvcp::reg_ccp
                     ? write_word(d, rw.address, rw.value, from, now_ns)
                     : gvcp::status_access_denied;
        if (status != gvcp::status_success) break;
      }
      a.ack_bytes = gvcp::build_write_ack(out, gvcp::ack_writereg, status, c.req_id,
                                          static_cast<std::uint16_t>(done));
      break;
    }
    case gvcp::cmd_readmem: {
      const auto m = gvcp::parse_readmem_command(c);
      if (!m) {
        refused = refusal(m.error);
        break;
      }
      if (!may_read) {
        refused = gvcp::status_access_denied;
        break;
      }
      std::array<std::byte, gvcp::max_mem_bytes> data{};
      const auto span = std::span(data).first(m.value.count);
      const std::uint16_t status = read_memory(d, m.value.address, span);
      a.ack_bytes = gvcp::build_readmem_ack(out, status, c.req_id, m.value.address,
                                            status == gvcp::status_success ? span : span.first(0));
      break;
    }
    case gvcp::cmd_writemem: {
      const auto m = gvcp::parse_writemem_command(c);
      if (!m) {
        refused = refusal(m.error);
        break;
      }
      const bool only_ccp = m.value.address == gvcp::reg_ccp && m.value.data.size() == 4;
      const std::uint16_t status =
          may_write || only_ccp ? write_memory(d, m.value.address, m.value.data, from, now_ns)
                                : gvcp::status_access_denied;
      a.ack_bytes = gvcp::build_write_ack(
          out, gvcp::ack_writemem, status, c.req_id,
          static_cast<std::uint16_t>(status == gvcp::status_success ? m.value.data.size() : 0));
      break;
    }
    default:
      refused = gvcp::status_not_implemented;
      break;
  }
  if (refused != gvcp::status_success) {
    // An unknown command's acknowledge code is its own plus one, as for the known ones.
    const std::uint16_t code = gvcp::ack_for(c.command) != 0
                                   ? gvcp::ack_for(c.command)
                                   : static_cast<std::uint16_t>(c.command + 1);
    a.ack_bytes = gvcp::build_ack(out, refused, code, c.req_id, {});
  }
  if (!ack_wanted) a.ack_bytes = 0;
  return a;
}
