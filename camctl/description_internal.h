// The device description: the camera's feature tree as its XML lays it out,
// evaluated against the device's registers. Within one description's life
// (one camctl command) a register is read once unless the description says
// it changes by itself (NoCache, PollingTime) or a write makes it stale;
// nothing is kept beyond the command: another controller or the camera
// itself may change a register in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The most one read of adjacent registers fetches at once (what one memory
// read command carries).
inline constexpr std::size_t port_run_bytes = 536;

// The register space the description's registers live in. Throws
// description_error (or a subclass) on failure.
struct register_port {
  virtual ~register_port() = default;
  virtual void read(std::uint64_t address, std::span<std::byte> out) = 0;
  virtual void write(std::uint64_t address, std::span<const std::byte> data) = 0;
  // True when read_words fetches many scattered 32-bit registers in fewer
  // exchanges than one each; only then are lone registers fetched ahead.
  virtual bool reads_words_together() const { return false; }
  // The 4 bytes of each address, in address order of the list, as read()
  // gives them.
  virtual void read_words(std::span<const std::uint64_t> addresses, std::span<std::byte> out) {
    for (std::size_t i = 0; i < addresses.size(); ++i) read(addresses[i], out.subspan(4 * i, 4));
  }
};

struct description_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One feature as `features` lists it.
struct feature_info {
  std::string name;
  std::string kind;    // the node's element name: Integer, Enumeration, ...
  std::string access;  // RW, RO, WO, NA (not available), empty when unknown
  std::string value;   // the value as get prints it, "-", or "(why it cannot be read)"
  std::vector<std::string> selectors;  // the selectors that govern it
};

class description {
 public:
  // Throws description_error when the XML does not parse or holds no
  // RegisterDescription.
  description(std::string_view xml, register_port &port);
  ~description();
  description(const description &) = delete;
  description &operator=(const description &) = delete;

  // The value as text: integers in decimal, floats as %g, enumerations by
  // entry name, booleans as true/false, strings as they are.
  std::string get(std::string_view feature);
  // Parses text as the feature's type wants it (integers also in 0x hex,
  // enumerations by entry name or value, booleans true/false/1/0) and writes.
  // A Command is executed whatever the text.
  void set(std::string_view feature, std::string_view value);
  void execute(std::string_view command);
  // Integer reads for the program's own use (PayloadSize, ...).
  std::int64_t get_int(std::string_view feature);
  bool has(std::string_view feature) const;
  // The features under the Root category, wherever it sits, in the
  // description's order, read as one snapshot of the camera. Throws when
  // the description has no Root.
  std::vector<feature_info> features();
  std::string access(std::string_view feature);

  struct impl;

 private:
  std::unique_ptr<impl> d_;
};

// Parses the first URL register's text: "Local:name;hexaddr;hexlength"
// (zipped when name ends in .zip). False when it is another kind.
struct local_url {
  std::string file_name;
  std::uint64_t address = 0;
  std::uint64_t length = 0;
};
bool parse_local_url(std::string_view url, local_url &out);

// The one XML file inside a zip archive held in memory; throws
// description_error.
std::string unzip_description(std::span<const std::byte> zip);
