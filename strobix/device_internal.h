// The camera's device: its register space, who controls it, and where its
// acquisition stands. Pure state and rules, no sockets: the camera's shell
// (camera.cpp) applies what a command changed, and tests drive it directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "gvcp/gvcp.h"

// Register addresses beyond the bootstrap registers of gvcp.h; camera.xml
// names the same addresses.
namespace reg {
inline constexpr std::uint32_t device_mode = 0x0004;
inline constexpr std::uint32_t ip_config_supported = 0x0010;
inline constexpr std::uint32_t ip_config_current = 0x0014;
inline constexpr std::uint32_t manufacturer = 0x0048;
inline constexpr std::uint32_t model = 0x0068;
inline constexpr std::uint32_t device_version = 0x0088;
inline constexpr std::uint32_t manufacturer_info = 0x00A8;
inline constexpr std::uint32_t serial = 0x00D8;
inline constexpr std::uint32_t user_name = 0x00E8;
inline constexpr std::uint32_t interface_count = 0x0600;
inline constexpr std::uint32_t stream_channel_capability = 0x092C;
inline constexpr std::uint32_t tick_frequency_high = 0x093C;
inline constexpr std::uint32_t tick_frequency_low = 0x0940;
inline constexpr std::uint32_t timestamp_control = 0x0944;
inline constexpr std::uint32_t timestamp_latched_high = 0x0948;
inline constexpr std::uint32_t timestamp_latched_low = 0x094C;
inline constexpr std::uint32_t gvcp_config = 0x0954;
inline constexpr std::uint32_t pending_timeout = 0x0958;
inline constexpr std::uint32_t switchover_key = 0x095C;
inline constexpr std::uint32_t gvsp_config = 0x0960;
inline constexpr std::uint32_t scc0 = 0x0D20;
inline constexpr std::uint32_t sccfg0 = 0x0D24;
inline constexpr std::uint32_t bootstrap_end = 0x1000;

inline constexpr std::uint32_t sensor_width = 0x20000;
inline constexpr std::uint32_t sensor_height = 0x20004;
inline constexpr std::uint32_t width = 0x20008;
inline constexpr std::uint32_t height = 0x2000C;
inline constexpr std::uint32_t offset_x = 0x20010;
inline constexpr std::uint32_t offset_y = 0x20014;
inline constexpr std::uint32_t pixel_format = 0x20018;
inline constexpr std::uint32_t payload_size = 0x2001C;
inline constexpr std::uint32_t acquisition_mode = 0x20020;
inline constexpr std::uint32_t frame_count = 0x20024;
inline constexpr std::uint32_t acquisition_start = 0x20028;
inline constexpr std::uint32_t acquisition_stop = 0x2002C;
inline constexpr std::uint32_t tl_params_locked = 0x20030;
inline constexpr std::uint32_t frame_rate_mhz = 0x20034;
inline constexpr std::uint32_t exposure_high = 0x20038;  // a double, high word first
inline constexpr std::uint32_t exposure_low = 0x2003C;
inline constexpr std::uint32_t gain = 0x20040;  // a float
inline constexpr std::uint32_t trigger_selector = 0x20050;
inline constexpr std::uint32_t trigger_frame_start = 0x20054;  // per selector: mode, source
inline constexpr std::uint32_t trigger_acquisition_start = 0x20058;
inline constexpr std::uint32_t trigger_software_frame_start = 0x2005C;
inline constexpr std::uint32_t trigger_software_acquisition_start = 0x20060;
inline constexpr std::uint32_t chunk_selector = 0x20070;
inline constexpr std::uint32_t chunk_control = 0x20074;
inline constexpr std::uint32_t loss_ppm = 0x20080;
inline constexpr std::uint32_t order = 0x20084;  // reorder distance, shuffle, duplicate
inline constexpr std::uint32_t features_end = 0x20088;

// The description in the device's memory, plain and zipped.
inline constexpr std::uint32_t description_xml = 0x100000;
inline constexpr std::uint32_t description_zip = 0x180000;
inline constexpr std::uint32_t description_room = 0x80000;
}  // namespace reg

inline constexpr std::uint32_t ccp_switchover = 0x4;
inline constexpr std::uint32_t gvcp_config_heartbeat_disable = 0x1;
inline constexpr std::uint32_t gvcp_config_pending_ack = 0x2;
inline constexpr std::uint32_t gvsp_config_64bit_ids = 0x40000000;
inline constexpr std::uint32_t sccfg_all_in = 0x4;
inline constexpr std::uint32_t trigger_mode_on = 0x1;
inline constexpr std::uint32_t trigger_source_shift = 8;
inline constexpr std::uint32_t trigger_source_software = 0;
inline constexpr std::uint32_t chunk_mode_active = 0x1;
inline constexpr std::uint32_t chunk_enable_timestamp = 0x2;
inline constexpr std::uint32_t chunk_enable_frame_id = 0x4;
inline constexpr std::uint32_t chunk_enable_exposure = 0x8;
inline constexpr std::uint32_t order_distance_mask = 0xFFFFFF;
inline constexpr std::uint32_t order_shuffle = 0x40000000;
inline constexpr std::uint32_t order_duplicate = 0x80000000;
inline constexpr std::uint32_t min_packet_size = 576;
inline constexpr std::uint32_t max_packet_size = 65532;
inline constexpr std::uint64_t tick_frequency = 1000000000;  // ticks are nanoseconds

// An application on the control channel: its address and GVCP port.
struct host {
  std::uint32_t ip = 0;  // host byte order
  std::uint16_t port = 0;
  bool operator==(const host &) const = default;
};

// idle -> (AcquisitionStart) -> armed, when its trigger waits, or running;
// armed -> (AcquisitionStart trigger) -> running;
// armed or running -> (AcquisitionStop, control released or lapsed) ->
// stopping, which ends at idle once the block being sent is out (at once when
// none is), or begins the next acquisition when AcquisitionStart came in
// between; running -> stopping after a SingleFrame's or MultiFrame's last
// frame. Only armed and running lock the stream's layout.
enum class acquisition : std::uint8_t { idle, armed, running, stopping };

struct device_registers {
  std::uint32_t heartbeat_timeout_ms = 3000;
  std::uint32_t gvcp_config = 0;
  std::uint32_t gvsp_config = 0;
  std::uint32_t switchover_key = 0;
  std::uint32_t scp = 0;  // host port in the low 16 bits
  std::uint32_t scps = 1500;
  std::uint32_t scpd = 0;
  std::uint32_t scda = 0;
  std::uint32_t sccfg = 0;
  std::uint32_t sensor_width = 4096, sensor_height = 3072;
  std::uint32_t width = 640, height = 480, offset_x = 0, offset_y = 0;
  std::uint32_t pixel_format = 0x01080001;
  std::uint32_t acquisition_mode = 0;  // Continuous, SingleFrame, MultiFrame
  std::uint32_t frame_count = 1;
  std::uint32_t tl_params_locked = 0;
  std::uint32_t frame_rate_mhz = 10000;
  std::uint64_t exposure_bits = 0x40C3880000000000;  // 10000.0 us
  std::uint32_t gain_bits = 0;                       // 0.0 dB
  std::uint32_t trigger_selector = 0;
  std::array<std::uint32_t, 2> trigger{};  // FrameStart, AcquisitionStart
  std::uint32_t chunk_selector = 0;
  std::uint32_t chunk_control = 0;
  std::uint32_t loss_ppm = 0;
  std::uint32_t order = 0;
  std::uint64_t latched_ticks = 0;
};

struct device_identity {
  std::array<std::uint8_t, 6> mac{};
  std::uint32_t ip = 0, mask = 0, gateway = 0;  // host byte order
  std::uint16_t source_port = 0;                // where the stream comes from
  std::string version, serial;
  std::array<char, 16> user_name{};
};

struct device {
  device_registers regs;
  device_identity id;
  std::span<const std::byte> xml;  // the description as served
  std::span<const std::byte> zip;  // empty when built without libzip
  bool zip_first = false;          // the first URL names the zipped form
  std::array<char, 512> first_url{}, second_url{};

  host owner;             // meaningful while the CCP holds a privilege
  std::uint32_t ccp = 0;  // privilege bits as the owner wrote them
  std::int64_t last_owner_ns = 0;
  std::int64_t tick_origin_ns = 0;

  acquisition state = acquisition::idle;
  std::uint64_t frames_in_acquisition = 0;
  unsigned frame_triggers = 0;  // software FrameStart triggers not yet served

  // Set by a command for the shell, which clears them once acted on.
  bool start_requested = false;
  bool restart_after_stop = false;
  bool fire_test_packet = false;
  bool stream_settings_changed = false;  // impairments or packet delay
};

// Fills the URLs from the description's forms; call once xml, zip and
// zip_first are set.
void set_description(device &d);
bool control_held(const device &d);
bool destination_set(const device &d);
// Bytes of one block at the current settings: the image and, with chunk
// mode on, every enabled chunk.
std::uint64_t payload_size(const device_registers &r);
std::uint64_t ticks(const device &d, std::int64_t now_ns);

// One register (address a multiple of 4). Reads are open to every
// application; writes come from `from` at now_ns and are checked against the
// control channel by the caller. Return a GVCP status.
std::uint16_t read_word(const device &d, std::uint32_t address, std::uint32_t &value);
std::uint16_t write_word(device &d, std::uint32_t address, std::uint32_t value, const host &from,
                         std::int64_t now_ns);
// Memory: the description, the strings, and registers word by word.
std::uint16_t read_memory(const device &d, std::uint32_t address, std::span<std::byte> out);
std::uint16_t write_memory(device &d, std::uint32_t address, std::span<const std::byte> data,
                           const host &from, std::int64_t now_ns);

// The block being sent is out: a stopping acquisition ends (true), and the
// next begins if one was asked for meanwhile.
bool settle_stop(device &d);
// Releases control (as a write of 0 to the CCP does): acquisition stops and
// the stream's destination is forgotten, so no stream outlives its controller.
void release_control(device &d);
// True (and control released) when the owner has been silent longer than the
// heartbeat timeout allows.
bool heartbeat_lapsed(device &d, std::int64_t now_ns);

// What the shell sends back for one command datagram: nothing, an
// acknowledge, and for a command that takes long a PENDING_ACK first.
struct command_answer {
  std::size_t ack_bytes = 0;  // in the caller's buffer
  std::uint16_t req_id = 0;
  bool broadcast = false;  // a DISCOVERY from off our subnet asked for it
  bool resend = false;     // a PACKETRESEND: the stream answers it
  bool malformed = false;
};

// Handles a command datagram from `from`, writing the acknowledge into out
// (at least gvcp::max_datagram bytes). PACKETRESEND is left to the stream.
command_answer handle_command(device &d, gvcp::bytes datagram, const host &from,
                              std::int64_t now_ns, gvcp::out_bytes out);
