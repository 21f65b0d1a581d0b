// A device's description and registers are whatever the device sends: here
// descriptions assembled from arbitrary choices of node kinds, references
// (cycles included), formulas, register fields, groups, struct entries,
// ports and selectors' indexed values, over a register space of arbitrary
// bytes, are listed, read and written. Errors must be description_errors;
// nothing may crash, loop or read out of bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "description_internal.h"

namespace {

struct fuzz_port : register_port {
  std::vector<std::byte> memory;
  bool words = false;
  bool reads_words_together() const override { return words; }
  void read(std::uint64_t address, std::span<std::byte> out) override {
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = memory.empty() ? std::byte{0} : memory[(address + i) % memory.size()];
  }
  void write(std::uint64_t address, std::span<const std::byte> data) override {
    for (std::size_t i = 0; i < data.size() && !memory.empty(); ++i)
      memory[(address + i) % memory.size()] = data[i];
  }
};

const char *kinds[] = {"Integer",       "Float",      "Enumeration",  "Boolean",   "Command",
                       "String",        "IntReg",     "MaskedIntReg", "FloatReg",  "StringReg",
                       "IntSwissKnife", "SwissKnife", "IntConverter", "Converter", "Register",
                       "Category",      "StructReg",  "Port",         "IntKey"};
const char *elements[] = {"Value",        "pValue",
                          "Min",          "pMin",
                          "Max",          "pMax",
                          "Inc",          "Address",
                          "pAddress",     "Length",
                          "AccessMode",   "Endianess",
                          "Sign",         "LSB",
                          "MSB",          "Bit",
                          "Formula",      "FormulaTo",
                          "FormulaFrom",  "pIsAvailable",
                          "pIsLocked",    "pIndex",
                          "OnValue",      "CommandValue",
                          "pFeature",     "Representation",
                          "pPort",        "ChunkID",
                          "EventID",      "Cachable",
                          "pInvalidator", "pSelected",
                          "ValueDefault", "pValueDefault",
                          "PollingTime",  "ImposedAccessMode",
                          "pLength"};
const char *texts[] = {"N0",
                       "N1",
                       "N2",
                       "N3",
                       "Root",
                       "NoCache",
                       "WriteAround",
                       "0",
                       "1",
                       "4",
                       "8",
                       "0x10",
                       "-1",
                       "RW",
                       "RO",
                       "WO",
                       "BigEndian",
                       "LittleEndian",
                       "Signed",
                       "X + 1",
                       "X * Y / 0",
                       "X ** 70",
                       "TO << 65",
                       "FROM.Max",
                       "(X ? Y : 1) = 2",
                       "0xFFFFFFFFFFFFFFFFF",
                       "1e308 * 10",
                       "SQRT(-1)",
                       "9223372036854775807 + 1"};

template <std::size_t N>
const char *pick(FuzzedDataProvider &in, const char *const (&list)[N]) {
  return list[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string xml = "<RegisterDescription>";
  const int nodes = in.ConsumeIntegralInRange(1, 8);
  const auto fields = [&] {
    std::string x;
    const int n = in.ConsumeIntegralInRange(0, 8);
    for (int f = 0; f < n; ++f) {
      const std::string e = pick(in, elements);
      x += "<" + e + ">" + (in.ConsumeBool() ? pick(in, texts) : in.ConsumeRandomLengthString(12)) +
           "</" + e + ">";
    }
    // A selector's entries: index 0 or 1, a value or a node.
    if (in.ConsumeBool())
      x += std::string("<") + (in.ConsumeBool() ? "pValueIndexed" : "ValueIndexed") + " Index=\"" +
           std::to_string(in.ConsumeIntegralInRange(0, 1)) + "\">" + pick(in, texts) + "</" +
           (in.ConsumeBool() ? "pValueIndexed" : "ValueIndexed") + ">";
    return x;
  };
  int groups = 0;
  for (int i = 0; i < nodes; ++i) {
    if (in.ConsumeBool()) {
      xml += "<Group Comment=\"g\">";
      ++groups;
    }
    const std::string kind = pick(in, kinds);
    const std::string name = i == 0 && in.ConsumeBool() ? "Root" : "N" + std::to_string(i % 4);
    if (kind == "StructReg") {
      xml += "<StructReg Comment=\"s\">" + fields() + "<StructEntry Name=\"" + name + "\">" +
             fields() + "</StructEntry></StructReg>";
    } else {
      xml += "<" + kind + " Name=\"" + name + "\">" + fields() + "<pVariable Name=\"X\">N" +
             std::to_string(in.ConsumeIntegralInRange(0, 3)) +
             "</pVariable><pVariable Name=\"Y\">N1</pVariable><EnumEntry Name=\"E\"><Value>" +
             pick(in, texts) + "</Value></EnumEntry></" + kind + ">";
    }
    if (groups > 0 && in.ConsumeBool()) {
      xml += "</Group>";
      --groups;
    }
  }
  for (; groups > 0; --groups) xml += "</Group>";
  xml += "</RegisterDescription>";
  fuzz_port port;
  port.words = in.ConsumeBool();
  const std::string value = pick(in, texts);
  const auto rest = in.ConsumeRemainingBytes<std::uint8_t>();
  for (std::uint8_t b : rest) port.memory.push_back(std::byte{b});
  try {
    description d(xml, port);
    for (const feature_info &f : d.features()) (void)f;
    for (const char *name : {"N0", "N1", "N2", "N3"}) {
      try {
        (void)d.get(name);
        (void)d.access(name);
        d.set(name, value);
      } catch (const description_error &) {
      }
    }
  } catch (const description_error &) {
  }
  return 0;
}
