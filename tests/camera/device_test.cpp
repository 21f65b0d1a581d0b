// The camera's device model driven with GVCP datagrams, as a host would:
// registers, control privilege, heartbeat and acquisition, no sockets.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "camera_internal.h"
#include "device_internal.h"
#include "lib/gvcp_host.h"

namespace {

const host app_a{0x0A000001, 50000};
const host app_b{0x0A000003, 50001};
constexpr std::int64_t ms = 1000000;

// A host talking to the device model directly, at the time it is given.
GvcpHost host_of(device &d, host me) {
  GvcpHost h;
  h.exchange = [&d, me](std::span<const std::byte> cmd, std::uint16_t, std::int64_t now) {
    std::vector<std::byte> ack(gvcp::max_datagram + 16);
    ack.resize(handle_command(d, cmd, me, now, ack).ack_bytes);
    return ack;
  };
  return h;
}

device make_device() {
  device d;
  d.xml = description_xml();
  d.id.serial = "SN1";
  d.id.ip = 0x0A000002;
  d.id.mask = 0xFFFFFF00;
  set_description(d);
  return d;
}

TEST(CameraDevice, RegistersTakeWhatTheCameraCanDoAndRefuseTheRest) {
  device d = make_device();
  GvcpHost a = host_of(d, app_a);
  struct Case {
    const char *what;
    std::uint32_t address, value;
    std::uint16_t status;
  } cases[] = {
      {"width on its steps", reg::width, 1024, gvcp::status_success},
      {"width off its steps", reg::width, 1022, gvcp::status_invalid_parameter},
      {"offset past the sensor's edge", reg::offset_x, 3076, gvcp::status_invalid_parameter},
      {"offset that fits", reg::offset_x, 3072, gvcp::status_success},
      {"width that no longer fits", reg::width, 1028, gvcp::status_invalid_parameter},
      {"a format it does not send", reg::pixel_format, 0x01100009, gvcp::status_invalid_parameter},
      {"a format it sends", reg::pixel_format, 0x010C0006, gvcp::status_success},
      {"gain out of range", reg::gain, std::bit_cast<std::uint32_t>(25.0f),
       gvcp::status_invalid_parameter},
      {"gain not a number", reg::gain, 0x7FC00000, gvcp::status_invalid_parameter},
      {"frame rate of 0 Hz", reg::frame_rate_mhz, 0, gvcp::status_invalid_parameter},
      {"packet size below the least", gvcp::reg_scps(0), 500, gvcp::status_invalid_parameter},
      {"packet size with do-not-fragment", gvcp::reg_scps(0), 0x40000000 | 8996,
       gvcp::status_success},
      {"a read-only register", reg::payload_size, 1, gvcp::status_write_protect},
      {"the description", reg::description_xml, 1, gvcp::status_write_protect},
      {"nothing there", 0x30000, 1, gvcp::status_invalid_address},
      {"loss above a million ppm", reg::loss_ppm, 1000001, gvcp::status_invalid_parameter},
      {"unknown GVCP configuration bits", reg::gvcp_config, 0x10, gvcp::status_invalid_parameter},
  };
  for (const Case &c : cases) EXPECT_EQ(a.write(c.address, c.value), c.status) << c.what;
  EXPECT_EQ(a.read(reg::payload_size), 1024u * 480 * 3 / 2) << "Mono12Packed: 12 bits a pixel";
  a.read(0x30000);
  EXPECT_EQ(a.last.status, gvcp::status_invalid_address);
  EXPECT_EQ(a.read(0x0B00), 0u) << "reserved bootstrap registers read as 0, as on a real device";

  // A READREG stops at the first bad address and says how far it got.
  std::vector<std::byte> b(64);
  const std::uint32_t three[] = {reg::width, 0x30000, reg::height};
  b.resize(gvcp::build_readreg(b, ++a.req, three));
  const gvcp::Ack r = a.send(b);
  EXPECT_EQ(r.status, gvcp::status_invalid_address);
  EXPECT_EQ(r.payload.size(), 4u);
}

TEST(CameraDevice, DiscoveryAndMemoryServeTheDescriptionAndNothingPastIt) {
  device d = make_device();
  GvcpHost a = host_of(d, app_a);
  auto discover = [&] {
    std::vector<std::byte> b(64);
    b.resize(gvcp::build_discovery(b, ++a.req));
    return gvcp::parse_discovery_ack(a.send(b));
  };
  const auto info = discover();
  ASSERT_TRUE(info);
  EXPECT_EQ(info.value.model, "strobix");
  EXPECT_EQ(info.value.serial, "SN1");
  EXPECT_EQ(info.value.ip, 0x0A000002u);
  EXPECT_EQ(info.value.version_major, 2);

  // DeviceUserID is written as memory and discovery then names it.
  const char name[16] = "bench-left";
  std::vector<std::byte> b(64);
  b.resize(gvcp::build_writemem(b, ++a.req, reg::user_name, std::as_bytes(std::span(name))));
  EXPECT_EQ(a.send(b).status, gvcp::status_success);
  EXPECT_EQ(discover().value.user_name, "bench-left");

  const auto url_bytes = a.read_memory(gvcp::reg_first_url, 64);
  const std::span<const std::byte> xml = description_xml();
  char expect[64];
  std::snprintf(expect, sizeof expect, "Local:strobix.xml;100000;%zX", xml.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(url_bytes.data())), expect);
  // The last word, padded; one past it is outside the device's memory.
  const std::uint32_t end =
      reg::description_xml + static_cast<std::uint32_t>((xml.size() + 3) / 4 * 4);
  const auto tail = a.read_memory(end - 4, 4);
  ASSERT_EQ(a.last.status, gvcp::status_success);
  EXPECT_EQ(tail[0], xml[xml.size() - 1 - (xml.size() - 1) % 4]);
  a.read_memory(end - 4, 8);
  EXPECT_EQ(a.last.status, gvcp::status_invalid_address);
  EXPECT_EQ(a.last.payload.size(), 4u) << "an address and no data";
}

TEST(CameraDevice, ControlChannelAdmitsOneApplicationAtATime) {
  device d = make_device();
  GvcpHost a = host_of(d, app_a), b = host_of(d, app_b);
  // Open access: anyone may write until someone takes control.
  EXPECT_EQ(b.write(reg::width, 320), gvcp::status_success);
  EXPECT_EQ(a.write(gvcp::reg_ccp, gvcp::ccp_exclusive, 0), gvcp::status_success);
  EXPECT_EQ(b.write(gvcp::reg_ccp, gvcp::ccp_control), gvcp::status_access_denied);
  b.read(reg::width);
  EXPECT_EQ(b.last.status, gvcp::status_access_denied) << "exclusive shuts out reads";
  EXPECT_EQ(a.write(gvcp::reg_ccp, gvcp::ccp_control), gvcp::status_success);
  EXPECT_EQ(b.read(gvcp::reg_ccp), gvcp::ccp_control);
  EXPECT_EQ(b.write(reg::width, 256), gvcp::status_access_denied);
  // Switchover: only with the key the owner set, and then the old owner is out.
  EXPECT_EQ(a.write(reg::switchover_key, 0x1234), gvcp::status_success);
  EXPECT_EQ(a.write(gvcp::reg_ccp, gvcp::ccp_control | ccp_switchover), gvcp::status_success);
  EXPECT_EQ(b.write(gvcp::reg_ccp, 0x43210000 | gvcp::ccp_control), gvcp::status_access_denied);
  EXPECT_EQ(b.write(gvcp::reg_ccp, 0x12340000 | gvcp::ccp_control, 10 * ms), gvcp::status_success);
  EXPECT_EQ(a.write(reg::width, 256), gvcp::status_access_denied);
  EXPECT_EQ(b.write(reg::width, 256), gvcp::status_success);

  // The heartbeat: any command of the owner's keeps control, silence loses it.
  EXPECT_EQ(b.write(gvcp::reg_heartbeat_timeout, 1000, 10 * ms), gvcp::status_success);
  EXPECT_FALSE(heartbeat_lapsed(d, 1000 * ms));
  b.read(gvcp::reg_ccp, 900 * ms);
  EXPECT_FALSE(heartbeat_lapsed(d, 1800 * ms));
  EXPECT_TRUE(heartbeat_lapsed(d, 1901 * ms));
  EXPECT_EQ(a.write(gvcp::reg_ccp, gvcp::ccp_control), gvcp::status_success) << "free again";
  // With the heartbeat disabled, silence keeps control.
  EXPECT_EQ(a.write(reg::gvcp_config, gvcp_config_heartbeat_disable), gvcp::status_success);
  EXPECT_FALSE(heartbeat_lapsed(d, 3600000 * ms));
  EXPECT_EQ(a.write(gvcp::reg_ccp, 0), gvcp::status_success);
  EXPECT_FALSE(control_held(d));
}

TEST(CameraDevice, AcquisitionStartsAndStopsAsTheRegistersSay) {
  device d = make_device();
  GvcpHost a = host_of(d, app_a), b = host_of(d, app_b);
  EXPECT_EQ(a.write(reg::acquisition_start, 1), gvcp::status_access_denied) << "no control";
  a.write(gvcp::reg_ccp, gvcp::ccp_control);
  EXPECT_EQ(a.write(reg::acquisition_start, 1), gvcp::status_access_denied) << "no destination";
  a.write(gvcp::reg_scda(0), 0x0A000001);
  a.write(gvcp::reg_scp(0), 50010);
  EXPECT_EQ(a.write(reg::acquisition_start, 1), gvcp::status_success);
  EXPECT_EQ(d.state, acquisition::running);
  EXPECT_TRUE(d.start_requested);
  d.start_requested = false;
  // While it streams, nothing that changes the stream's shape may change.
  for (std::uint32_t r :
       {reg::width, reg::pixel_format, reg::chunk_control, gvcp::reg_scda(0), reg::gvsp_config})
    EXPECT_EQ(a.write(r, a.read(r)), gvcp::status_write_protect) << std::hex << r;
  EXPECT_EQ(a.write(reg::loss_ppm, 5000), gvcp::status_success) << "impairments stay live";
  EXPECT_TRUE(d.stream_settings_changed);
  EXPECT_EQ(a.write(reg::acquisition_stop, 1), gvcp::status_success);
  EXPECT_EQ(d.state, acquisition::stopping);
  // Written and started again before the last block is out: the new
  // acquisition begins, with the new size, once that block is.
  EXPECT_EQ(a.write(reg::width, 320), gvcp::status_success);
  EXPECT_EQ(a.write(reg::acquisition_start, 1), gvcp::status_success);
  EXPECT_FALSE(d.start_requested);
  EXPECT_TRUE(settle_stop(d));
  EXPECT_EQ(d.state, acquisition::running);
  EXPECT_TRUE(d.start_requested);
  d.start_requested = false;

  // Losing control stops the stream and forgets where it went.
  EXPECT_EQ(a.write(gvcp::reg_ccp, 0), gvcp::status_success);
  EXPECT_EQ(d.state, acquisition::stopping);
  EXPECT_FALSE(destination_set(d));
  d.state = acquisition::idle;

  // An AcquisitionStart trigger arms; its software trigger starts frames,
  // and each FrameStart trigger asks one.
  b.write(gvcp::reg_ccp, gvcp::ccp_control);
  b.write(gvcp::reg_scda(0), 0x0A000003);
  b.write(gvcp::reg_scp(0), 50012);
  b.write(reg::trigger_acquisition_start, trigger_mode_on);
  b.write(reg::trigger_frame_start, trigger_mode_on);
  EXPECT_EQ(b.write(reg::acquisition_start, 1), gvcp::status_success);
  EXPECT_EQ(d.state, acquisition::armed);
  b.write(reg::trigger_software_frame_start, 1);
  EXPECT_EQ(d.frame_triggers, 0u) << "not running yet";
  b.write(reg::trigger_software_acquisition_start, 1);
  EXPECT_EQ(d.state, acquisition::running);
  b.write(reg::trigger_software_frame_start, 1);
  b.write(reg::trigger_software_frame_start, 1);
  EXPECT_EQ(d.frame_triggers, 2u);
  // Line0 is wired to nothing: a software trigger does not fire it.
  b.write(reg::trigger_frame_start, trigger_mode_on | (1u << trigger_source_shift));
  b.write(reg::trigger_software_frame_start, 1);
  EXPECT_EQ(d.frame_triggers, 2u);
}

}  // namespace
