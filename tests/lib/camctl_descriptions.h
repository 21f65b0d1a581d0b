// Device descriptions for camctl's tests whose size or shape a file on disk
// would make tedious, and the way to the ones on disk.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace camctl_test {

// tests/e2e/descriptions/<name>, as text.
inline std::string description_file(const std::string &name) {
  std::ifstream in(std::string(CAMCTL_DESCRIPTIONS_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::uint32_t float_bits(float f) {
  std::uint32_t v;
  std::memcpy(&v, &f, 4);
  return v;
}

// rich.xml's registers (big-endian words) as a camera would hold them.
inline std::vector<std::pair<std::uint32_t, std::uint32_t>> rich_registers() {
  return {
      {0x30000, (640u << 16) | 480},  // Width, Height
      {0x30008, 0},                   // BinningSelector: Sensor
      {0x3000C, 4},                   // Binning at Sensor
      {0x30010, 0x01100007},          // PixelFormat: Mono16
      {0x30020, 1},                   // TriggerSelector: LineStart
      {0x30024, 0x1},                 // TriggerMode: On at FrameStart, Off at LineStart
      {0x30028, float_bits(12.5f)},   // TriggerDelay at FrameStart
      {0x3002C, float_bits(7.25f)},   // TriggerDelay elsewhere
      {0x30030, 2500},                // ExposureTime in 0.02 us ticks
      {0x30034, 35924},               // StrobeDuration's raw count
      {0x30038, 100},                 // Gain's raw value
      {0x30040, 1},                   // ChunkModeActive
      {0x30044, 0xE5000000},          // DeviceTemperature -27
      {0x30048, 777},                 // ReadOutTime
      {0x68, 0x52696368},             // DeviceModelName "Rich"
  };
}

inline std::string reg_xml(const std::string &name, unsigned address) {
  return "<IntReg Name=\"" + name + "\"><Address>" + std::to_string(address) +
         "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>"
         "<Endianess>BigEndian</Endianess></IntReg>";
}

// `features` Integer features F0... under Root (ten to a category), each
// through an IntConverter onto its own register (adjacent, from 0x50000),
// each available only when Ready is not 0. Ready is the top of a formula
// graph `layers` deep and `width` wide over `width` registers from 0x40000:
// each node sums every node of the layer below, so evaluating it without
// remembering values reads width^layers registers.
inline std::string fanout_description(int features, int width, int layers) {
  std::string x =
      "<?xml version=\"1.0\"?><RegisterDescription ModelName=\"Fanout\" "
      "VendorName=\"camctl tests\"><Port Name=\"Device\"/><Category Name=\"Root\">";
  for (int c = 0; c * 10 < features; ++c) x += "<pFeature>C" + std::to_string(c) + "</pFeature>";
  x += "<pFeature>Ready</pFeature></Category>";
  for (int c = 0; c * 10 < features; ++c) {
    x += "<Category Name=\"C" + std::to_string(c) + "\">";
    for (int i = c * 10; i < features && i < c * 10 + 10; ++i)
      x += "<pFeature>F" + std::to_string(i) + "</pFeature>";
    x += "</Category>";
  }
  for (int i = 0; i < features; ++i) {
    const std::string n = std::to_string(i);
    x += "<Integer Name=\"F" + n + "\"><pValue>F" + n + "Conv</pValue><pIsAvailable>Ready" +
         "</pIsAvailable></Integer><IntConverter Name=\"F" + n + "Conv\"><pValue>F" + n +
         "Reg</pValue><FormulaTo>FROM / 2</FormulaTo><FormulaFrom>TO * 2</FormulaFrom>"
         "</IntConverter>" +
         reg_xml("F" + n + "Reg", 0x50000 + 4 * static_cast<unsigned>(i));
  }
  const auto name = [](int layer, int i) {
    return "L" + std::to_string(layer) + "_" + std::to_string(i);
  };
  for (int i = 0; i < width; ++i) x += reg_xml(name(0, i), 0x40000 + 4 * static_cast<unsigned>(i));
  for (int layer = 1; layer <= layers; ++layer) {
    for (int i = 0; i < (layer == layers ? 1 : width); ++i) {
      x += "<IntSwissKnife Name=\"" + name(layer, i) + "\">";
      std::string formula = "0";
      for (int k = 0; k < width; ++k) {
        x +=
            "<pVariable Name=\"V" + std::to_string(k) + "\">" + name(layer - 1, k) + "</pVariable>";
        formula += " + V" + std::to_string(k);
      }
      x += "<Formula>" + formula + "</Formula></IntSwissKnife>";
    }
  }
  x += "<Integer Name=\"Ready\"><pValue>" + name(layers, 0) + "</pValue></Integer>";
  return x + "</RegisterDescription>";
}

}  // namespace camctl_test
