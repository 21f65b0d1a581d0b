#include <gtest/gtest.h>
#include <zip.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "description_internal.h"
#include "formula_internal.h"
#include "lib/camctl_descriptions.h"

namespace {

// A device's register space in memory; bytes never written read as 0.
// Counts its exchanges, and how often each byte was read.
struct memory_port : register_port {
  std::map<std::uint64_t, std::byte> bytes;
  int reads = 0, writes = 0;
  std::function<void(std::uint64_t)> on_write;  // the camera's own reaction
  std::map<std::uint64_t, int> reads_of;        // per byte
  void read(std::uint64_t address, std::span<std::byte> out) override {
    ++reads;
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = bytes[address + i];
      ++reads_of[address + i];
    }
  }
  int most_reads_of_a_byte() const {
    int most = 0;
    for (const auto &[address, n] : reads_of) most = std::max(most, n);
    return most;
  }
  void write(std::uint64_t address, std::span<const std::byte> data) override {
    ++writes;
    for (std::size_t i = 0; i < data.size(); ++i) bytes[address + i] = data[i];
    if (on_write) on_write(address);
  }
  void put32(std::uint64_t address, std::uint32_t v) {
    put(address, {v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF});
  }
  void put(std::uint64_t address, std::initializer_list<unsigned> values) {
    for (unsigned v : values) bytes[address++] = std::byte(v);
  }
  std::vector<unsigned> at(std::uint64_t address, std::size_t n) {
    std::vector<unsigned> out;
    for (std::size_t i = 0; i < n; ++i)
      out.push_back(std::to_integer<unsigned>(bytes[address + i]));
    return out;
  }
};

std::string xml(const std::string &nodes) {
  return "<?xml version=\"1.0\"?><RegisterDescription ModelName=\"t\" VendorName=\"t\">" + nodes +
         "</RegisterDescription>";
}

std::int64_t eval(const char *f) {
  return evaluate_formula(f,
                          [](std::string_view n) -> formula_value {
                            if (n == "X") return formula_int(6);
                            throw formula_error("unknown");
                          })
      .as_int();
}

TEST(CamctlFormula, FollowsTheLanguagesPrecedenceAndOperators) {
  EXPECT_EQ(eval("1 + 2 * 3"), 7);
  EXPECT_EQ(eval("(X + 2) / 3"), 2);
  EXPECT_EQ(eval("2 ** 10 - 1"), 1023);
  EXPECT_EQ(eval("0x10 << 4 | 1"), 0x101);
  EXPECT_EQ(eval("X = 6 ? 10 : 20"), 10);  // '=' compares
  EXPECT_EQ(eval("X <> 6 ? 10 : 20"), 20);
  EXPECT_EQ(eval("X >= 6 && X < 7"), 1);
  EXPECT_EQ(eval("~0 & 0xFF"), 255);
  EXPECT_EQ(eval("-7 % 3"), -1);
  EXPECT_EQ(eval("ROUND(2.5) + TRUNC(1.9)"), 4);
  EXPECT_EQ(eval("1 << 70"), 0);
  EXPECT_THROW(eval("X / 0"), formula_error);
  EXPECT_THROW(eval("Y + 1"), formula_error);
  EXPECT_THROW(eval("(1 + 2"), formula_error);
  EXPECT_THROW(eval(std::string(5000, '(').c_str()), formula_error);
}

// Integer formulas divide as integers; a float anywhere makes the step a
// double, and the result comes back to the nearest integer, halves away from
// zero, where truncation would turn 2.9999999999999996 into 2.
TEST(CamctlFormula, ConvertsToIntegersAndFailsClearly) {
  const struct {
    const char *formula;
    std::int64_t value;
    const char *error;
  } cases[] = {
      {"0.06 / 0.02", 3, nullptr},
      {"-0.06 / 0.02", -3, nullptr},
      {"ROUND(-2.5)", -3, nullptr},
      {"7 / 2 + 7 / 2", 6, nullptr},
      {"7 / 2.0 + 7 / 2", 7, nullptr},
      {"ROUND(3.14159, 2) * 100", 314, nullptr},
      {"ROUND(1234.5, -2)", 1200, nullptr},
      {"1 << 64", 0, nullptr},
      {"-8 >> 70", -1, nullptr},
      {"NEG(-9223372036854775807 - 1)", std::numeric_limits<std::int64_t>::min(), nullptr},
      {"X % 0", 0, "division by zero"},
      {"1.0 / 0", 0, "infinite"},
      {"0.0 / 0", 0, "not a number"},
      {"1e300 * 1e10", 0, "infinite"},
      {"ROUND(1, 2, 3)", 0, "wrong number of arguments"},
      {"ROUND(1, 400)", 0, "ROUND to 400 places"},
  };
  for (const auto &c : cases) {
    if (c.error == nullptr) {
      EXPECT_EQ(eval(c.formula), c.value) << c.formula;
      continue;
    }
    try {
      eval(c.formula);
      ADD_FAILURE() << c.formula << " gave a value";
    } catch (const formula_error &e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
          << c.formula << ": " << e.what();
    }
  }
}

const char *registers = R"(
  <IntReg Name="BigReg"><Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="LittleReg"><Address>0x200</Address><Length>2</Length><AccessMode>RW</AccessMode>
    <Sign>Signed</Sign><Endianess>LittleEndian</Endianess></IntReg>
  <MaskedIntReg Name="HighByte"><Address>0x300</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <LSB>7</LSB><MSB>0</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>
  <MaskedIntReg Name="Flag"><Address>0x300</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <Bit>31</Bit><Endianess>BigEndian</Endianess></MaskedIntReg>
  <IntReg Name="ReadOnly"><Address>0x400</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <Endianess>BigEndian</Endianess></IntReg>
  <FloatReg Name="Gain"><Address>0x500</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <Endianess>BigEndian</Endianess></FloatReg>
  <IntReg Name="Offset"><Address>0x10</Address><pAddress>Base</pAddress><Length>4</Length>
    <AccessMode>RW</AccessMode><Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="Base"><Value>0x600</Value></Integer>
)";

TEST(CamctlDescription, ReadsAndWritesRegistersInTheirByteOrder) {
  memory_port port;
  description d(xml(registers), port);
  port.put(0x100, {0x00, 0x00, 0x02, 0x80});
  EXPECT_EQ(d.get("BigReg"), "640");
  d.set("BigReg", "0x12345678");
  EXPECT_EQ(port.at(0x100, 4), (std::vector<unsigned>{0x12, 0x34, 0x56, 0x78}));

  port.put(0x200, {0xFE, 0xFF});
  EXPECT_EQ(d.get("LittleReg"), "-2");
  d.set("LittleReg", "300");
  EXPECT_EQ(port.at(0x200, 2), (std::vector<unsigned>{0x2C, 0x01}));
  EXPECT_THROW(d.set("LittleReg", "40000"), description_error);

  port.put(0x500, {0x3F, 0xC0, 0x00, 0x00});
  EXPECT_EQ(d.get("Gain"), "1.5");
  d.set("Gain", "2");
  EXPECT_EQ(port.at(0x500, 4), (std::vector<unsigned>{0x40, 0x00, 0x00, 0x00}));

  d.set("Offset", "7");  // at 0x10 + Base
  EXPECT_EQ(port.at(0x610, 4), (std::vector<unsigned>{0, 0, 0, 7}));
}

TEST(CamctlDescription, MasksReadTheirBitsAndWriteOnlyThem) {
  memory_port port;
  description d(xml(registers), port);
  // BigEndian numbering: bits 0..7 are the most significant byte, bit 31 the least.
  port.put(0x300, {0xAB, 0x11, 0x22, 0x01});
  EXPECT_EQ(d.get("HighByte"), "171");
  EXPECT_EQ(d.get("Flag"), "1");
  d.set("HighByte", "0x5");
  EXPECT_EQ(port.at(0x300, 4), (std::vector<unsigned>{0x05, 0x11, 0x22, 0x01}));
  d.set("Flag", "0");
  EXPECT_EQ(port.at(0x300, 4), (std::vector<unsigned>{0x05, 0x11, 0x22, 0x00}));
  EXPECT_THROW(d.set("HighByte", "256"), description_error);
  EXPECT_EQ(port.at(0x300, 4), (std::vector<unsigned>{0x05, 0x11, 0x22, 0x00}));
}

TEST(CamctlDescription, RefusesWritesTheDescriptionForbidsWithoutWriting) {
  memory_port port;
  const std::string text = xml(std::string(registers) + R"(
    <Integer Name="Width"><pValue>BigReg</pValue><Min>16</Min><Max>4096</Max><Inc>8</Inc>
      <pIsAvailable>Available</pIsAvailable></Integer>
    <Integer Name="Available"><pValue>Flag</pValue></Integer>
    <Integer Name="Locked"><pValue>BigReg</pValue><pIsLocked>Flag</pIsLocked></Integer>
    <Integer Name="Exposure"><pValue>ReadOnly</pValue></Integer>
    <Enumeration Name="Mode"><EnumEntry Name="Off"><Value>0</Value></EnumEntry>
      <EnumEntry Name="On"><Value>1</Value></EnumEntry>
      <EnumEntry Name="Hidden"><Value>2</Value><pIsAvailable>Zero</pIsAvailable></EnumEntry>
      <pValue>LittleReg</pValue></Enumeration>
    <Integer Name="Zero"><Value>0</Value></Integer>
    <Weird Name="Strange"><pValue>BigReg</pValue></Weird>
    <Integer Name="UsesStrange"><pValue>Strange</pValue></Integer>
  )");
  port.put(0x300, {0, 0, 0, 0});
  {
    description unavailable(text, port);
    EXPECT_EQ(unavailable.access("Width"), "NA");
    EXPECT_THROW(unavailable.get("Width"), description_error);
    EXPECT_THROW(unavailable.set("Width", "64"), description_error);
  }
  // The next command finds it available: one command's description keeps
  // what it read.
  port.put(0x300, {0, 0, 0, 1});
  description d(text, port);
  EXPECT_THROW(d.set("Width", "12"), description_error);   // below Min
  EXPECT_THROW(d.set("Width", "100"), description_error);  // off the increment
  EXPECT_THROW(d.set("Locked", "1"), description_error);
  EXPECT_THROW(d.set("Exposure", "1"), description_error);  // RO register
  EXPECT_THROW(d.set("Mode", "Hidden"), description_error);
  EXPECT_THROW(d.set("Mode", "Sideways"), description_error);
  try {
    d.set("UsesStrange", "5");
    ADD_FAILURE() << "an unknown node kind was written through";
  } catch (const description_error &e) {
    EXPECT_NE(std::string(e.what()).find("Strange is of kind Weird"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(port.writes, 0);
  d.set("Width", "64");
  d.set("Mode", "On");
  EXPECT_EQ(d.get("Mode"), "On");
  EXPECT_EQ(port.writes, 2);
}

TEST(CamctlDescription, EvaluatesSwissKnivesAndConverters) {
  memory_port port;
  description d(xml(std::string(registers) + R"(
    <IntSwissKnife Name="Payload"><pVariable Name="W">BigReg</pVariable>
      <pVariable Name="H">Base</pVariable><Constant Name="BPP">2</Constant>
      <Formula>W * H * BPP</Formula></IntSwissKnife>
    <IntSwissKnife Name="Limit"><pVariable Name="W">Width</pVariable><Formula>W.Max - W.Min</Formula></IntSwissKnife>
    <Integer Name="Width"><pValue>BigReg</pValue><Min>16</Min><Max>4096</Max></Integer>
    <Converter Name="ExposureTime"><pVariable Name="K">Base</pVariable>
      <FormulaTo>FROM * 10</FormulaTo><FormulaFrom>TO / 10</FormulaFrom>
      <pValue>BigReg</pValue></Converter>
    <Integer Name="Loop"><pValue>Loop</pValue></Integer>
    <Integer Name="FromGain"><pValue>Gain</pValue></Integer>
  )"),
                port);
  port.put(0x100, {0, 0, 0, 4});
  EXPECT_EQ(d.get("Payload"), std::to_string(4 * 0x600 * 2));
  EXPECT_EQ(d.get("Limit"), "4080");
  d.set("ExposureTime", "12.5");
  EXPECT_EQ(port.at(0x100, 4), (std::vector<unsigned>{0, 0, 0, 125}));
  EXPECT_EQ(d.get("ExposureTime"), "12.5");
  EXPECT_THROW(d.set("Payload", "1"), description_error);
  EXPECT_THROW(d.get("Loop"), description_error);  // refers to itself: an error, not a crash
  port.put(0x500, {0x7F, 0xC0, 0x00, 0x00});       // a NaN no integer holds
  EXPECT_THROW(d.get("FromGain"), description_error);
}

memory_port rich_port() {
  memory_port port;
  for (const auto &[address, value] : camctl_test::rich_registers()) port.put32(address, value);
  return port;
}

TEST(CamctlDescription, ListsRootsFeaturesWhereverTheFilePutsThem) {
  memory_port port = rich_port();
  description d(camctl_test::description_file("rich.xml"), port);
  // Chunk and event data are never the camera's registers: nothing is read.
  for (const char *name : {"ChunkExposureTime", "ChunkTimestamp", "EventExposureEndTimestamp"}) {
    EXPECT_THROW(d.get(name), description_error);
    EXPECT_THROW(d.set(name, "1"), description_error);
    EXPECT_THROW(d.get_int(name), description_error);
  }
  EXPECT_EQ(d.access("ChunkTimestamp"), "RO");
  EXPECT_EQ(port.reads + port.writes, 0);
  const struct {
    const char *name, *kind, *access, *value, *selectors;
  } want[] = {
      {"Width", "StructEntry", "RW", "640", ""},
      {"Height", "StructEntry", "RW", "480", ""},
      {"BinningSelector", "Enumeration", "RW", "Sensor", ""},
      {"Binning", "Integer", "RW", "4", "BinningSelector"},
      {"PixelFormat", "Enumeration", "RW", "Mono16", ""},
      {"PayloadSize", "IntSwissKnife", "RO", "614400", ""},
      {"TriggerSelector", "Enumeration", "RW", "LineStart", ""},
      {"TriggerMode", "Enumeration", "RW", "Off", "TriggerSelector"},
      {"TriggerDelay", "Float", "RW", "7.25", "TriggerSelector"},
      {"ExposureTime", "Converter", "RW", "50", ""},
      {"StrobeDuration", "Integer", "RO", "23948", ""},  // 11974 + 11974: integer steps
      {"Gain", "SwissKnife", "RO", "33.33", ""},         // its raw node is not available: no matter
      {"ChunkModeActive", "Boolean", "RW", "true", ""},
      {"ChunkExposureTime", "Float", "RO", "(only in a block's chunk data)", ""},
      {"ChunkTimestamp", "Integer", "RO", "(only in a block's chunk data)", ""},
      {"EventExposureEndTimestamp", "IntReg", "RO", "(only in an event)", ""},
      {"DeviceModelName", "StringReg", "RO", "Rich", ""},
      {"DeviceTemperature", "Integer", "RO", "-27", ""},
      {"DeviceKey", "IntKey", "", "(camctl does not evaluate IntKey nodes)", ""},
      {"FirmwareUpdate", "?", "", "(no node of this name in the description)", ""},
      {"ReadOutTime", "IntReg", "RO", "777", ""},
  };
  const std::vector<feature_info> got = d.features();
  ASSERT_EQ(got.size(), std::size(want));
  for (std::size_t i = 0; i < got.size(); ++i) {
    std::string selectors;
    for (const std::string &s : got[i].selectors) selectors += s;
    EXPECT_EQ(got[i].name + " " + got[i].kind + " " + got[i].access + " " + got[i].value + " " +
                  selectors,
              std::string(want[i].name) + " " + want[i].kind + " " + want[i].access + " " +
                  want[i].value + " " + want[i].selectors);
  }
  // One snapshot: no register read twice.
  EXPECT_EQ(port.most_reads_of_a_byte(), 1);
  EXPECT_THROW(d.get("GainRaw"), description_error);
  // Without a Root nothing tells the features from the internal nodes.
  description bare(xml(registers), port);
  EXPECT_THROW(bare.features(), description_error);
}

TEST(CamctlDescription, SelectorsPickTheValueTheyIndex) {
  memory_port port = rich_port();
  description d(camctl_test::description_file("rich.xml"), port);
  d.set("TriggerSelector", "FrameStart");
  EXPECT_EQ(d.get("TriggerMode"), "On");
  EXPECT_EQ(d.get("TriggerDelay"), "12.5");
  d.set("TriggerSelector", "LineStart");
  d.set("TriggerMode", "On");  // bit 30; FrameStart's bit 31 stays
  EXPECT_EQ(port.at(0x30024, 4), (std::vector<unsigned>{0, 0, 0, 3}));
  d.set("TriggerDelay", "3.5");  // the default entry's register
  EXPECT_EQ(port.at(0x3002C, 4), (std::vector<unsigned>{0x40, 0x60, 0, 0}));
  // Sensor: a register; Region: a value in the file; Host: the default.
  for (const auto &[selector, binning] :
       {std::pair{"Sensor", "4"}, std::pair{"Region", "2"}, std::pair{"Host", "1"}}) {
    d.set("BinningSelector", selector);
    EXPECT_EQ(d.get("Binning"), binning) << selector;
  }
  d.set("BinningSelector", "Region");
  d.set("Binning", "3");
  EXPECT_EQ(d.get("Binning"), "3");
  d.set("BinningSelector", "Sensor");
  EXPECT_EQ(d.get("Binning"), "4");
  // 0.06 / 0.02 is 2.9999999999999996 in doubles: the nearest tick, not 2.
  d.set("ExposureTime", "0.06");
  EXPECT_EQ(port.at(0x30030, 4), (std::vector<unsigned>{0, 0, 0, 3}));
}

TEST(CamctlDescription, ReadsARegisterOnceUnlessItChangesOrIsWritten) {
  memory_port port;
  port.put32(0x40000, 1);
  description fanout(camctl_test::fanout_description(100, 4, 6), port);
  // 4^6 registers without remembering; one run of four with it.
  EXPECT_EQ(fanout.get("Ready"), "1024");
  EXPECT_EQ(port.reads, 1);
  // And one run for the hundred features' registers, each read once.
  EXPECT_EQ(fanout.features().size(), 101u);
  EXPECT_EQ(port.reads, 2);
  EXPECT_EQ(port.most_reads_of_a_byte(), 1);

  memory_port camera = rich_port();
  // Writing the exposure changes the readout time, which says so with
  // pInvalidator; the temperature changes by itself (NoCache).
  camera.on_write = [&](std::uint64_t address) {
    if (address == 0x30030) camera.put32(0x30048, 888);
  };
  description d(camctl_test::description_file("rich.xml"), camera);
  const auto reads_of = [&](std::uint64_t address) { return camera.reads_of[address]; };
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(d.get("PixelFormat"), "Mono16");
    EXPECT_EQ(d.get("DeviceTemperature"), "-27");
    EXPECT_EQ(d.get("ReadOutTime"), "777");
  }
  EXPECT_EQ(reads_of(0x30010), 1);
  EXPECT_EQ(reads_of(0x30044), 2);
  EXPECT_EQ(reads_of(0x30048), 1);
  d.set("ExposureTime", "10");
  EXPECT_EQ(d.get("ReadOutTime"), "888");
  EXPECT_EQ(d.get("PixelFormat"), "Mono16");
  EXPECT_EQ(reads_of(0x30010), 1);
}

TEST(CamctlDescription, FindsTheFileInTheUrlAndInsideAZip) {
  local_url u;
  ASSERT_TRUE(parse_local_url("Local:cam.zip;8001000;1A2B", u));
  EXPECT_EQ(u.file_name, "cam.zip");
  EXPECT_EQ(u.address, 0x8001000u);
  EXPECT_EQ(u.length, 0x1A2Bu);
  EXPECT_FALSE(parse_local_url("http://example.invalid/cam.xml", u));
  EXPECT_FALSE(parse_local_url("Local:cam.xml;zz;10", u));
  EXPECT_FALSE(parse_local_url("Local:cam.xml;10", u));

  const std::string text = xml("<Integer Name=\"Answer\"><Value>42</Value></Integer>");
  zip_error_t err;
  zip_source_t *src = zip_source_buffer_create(nullptr, 0, 0, &err);
  zip_source_keep(src);
  zip_t *z = zip_open_from_source(src, ZIP_TRUNCATE, &err);
  ASSERT_NE(z, nullptr);
  zip_source_t *file = zip_source_buffer(z, text.data(), text.size(), 0);
  ASSERT_GE(zip_file_add(z, "cam.xml", file, 0), 0);
  ASSERT_EQ(zip_close(z), 0);
  ASSERT_EQ(zip_source_open(src), 0);
  std::vector<std::byte> archive(1 << 16);
  const zip_int64_t n = zip_source_read(src, archive.data(), archive.size());
  zip_source_close(src);
  zip_source_free(src);
  ASSERT_GT(n, 0);
  archive.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(unzip_description(archive), text);
  archive.resize(archive.size() / 2);
  EXPECT_THROW(unzip_description(archive), description_error);
}

}  // namespace
