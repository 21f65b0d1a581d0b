#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <pugixml.hpp>
#include <set>

#include "description_internal.h"
#include "formula_internal.h"

namespace {

using node = pugi::xml_node;

bool parse_integer_text(std::string_view text, std::int64_t &out) {
  std::string s(text);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && std::isspace(static_cast<unsigned char>(s[start]))) ++start;
  s = s.substr(start);
  if (s.empty()) return false;
  const bool negative = s[0] == '-';
  if (negative || s[0] == '+') s = s.substr(1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s = s.substr(2);
  }
  if (s.empty()) return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || !std::isxdigit(static_cast<unsigned char>(s[0]))) return false;
  if (negative && v > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()) + 1)
    return false;
  out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
  return true;
}

bool parse_float_text(std::string_view text, double &out) {
  const std::string s(text);
  char *end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return !s.empty() && end != s.c_str() && *end == '\0' && std::isfinite(out);
}

// A value no integer can hold (a NaN or huge float register read as an
// integer) surfaces as a formula_error outside any formula.
description_error as_description_error(const formula_error &e) {
  return description_error(std::string("value out of range: ") + e.what());
}

bool is_int_kind(std::string_view k) {
  return k == "Integer" || k == "IntReg" || k == "MaskedIntReg" || k == "StructEntry" ||
         k == "IntSwissKnife" || k == "IntConverter" || k == "Enumeration" || k == "Boolean" ||
         k == "Command";
}
bool is_float_kind(std::string_view k) {
  return k == "Float" || k == "FloatReg" || k == "SwissKnife" || k == "Converter";
}

}  // namespace

struct description::impl {
  pugi::xml_document doc;
  std::map<std::string, node, std::less<>> nodes;
  register_port &port;
  // Nodes holding a plain Value keep what was written to them here: the
  // description in the file stays as the camera served it.
  std::map<std::string, formula_value, std::less<>> written;
  int depth = 0;

  explicit impl(register_port &p) : port(p) {}

  struct guard {
    impl &d;
    guard(impl &owner, node n) : d(owner) {
      if (++d.depth > 64)
        throw description_error(std::string("the description refers to itself through ") +
                                n.attribute("Name").value());
    }
    ~guard() { --d.depth; }
  };

  [[noreturn]] static void fail(node n, const std::string &what) {
    throw description_error(std::string(n.attribute("Name").value()) + ": " + what);
  }

  node find(std::string_view name) const {
    const auto it = nodes.find(name);
    if (it == nodes.end()) throw description_error("no feature or node named " + std::string(name));
    return it->second;
  }
  static std::string kind(node n) { return n.name(); }

  // A StructEntry takes what it does not say itself from its StructReg.
  static node element(node n, const char *name) {
    node c = n.child(name);
    if (!c && std::strcmp(n.name(), "StructEntry") == 0) c = n.parent().child(name);
    return c;
  }
  static std::string text(node n, const char *name, const char *fallback = "") {
    const node c = element(n, name);
    return c ? std::string(c.child_value()) : std::string(fallback);
  }
  node ref(node n, const char *name) const {
    const node c = element(n, name);
    return c ? find(trim(c.child_value())) : node();
  }
  static std::string trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return std::string(s);
  }
  std::int64_t literal_int(node n, const char *name, std::int64_t fallback) const {
    const node c = element(n, name);
    if (!c) return fallback;
    std::int64_t v = 0;
    if (!parse_integer_text(c.child_value(), v)) fail(n, std::string("bad ") + name);
    return v;
  }

  // pIsImplemented/pIsAvailable: 0 means the feature cannot be used now.
  bool available(node n) {
    for (const char *p : {"pIsImplemented", "pIsAvailable"}) {
      for (node c = n.child(p); c; c = c.next_sibling(p))
        if (number(find(trim(c.child_value()))).as_int() == 0) return false;
    }
    return true;
  }
  bool locked(node n) {
    const node c = n.child("pIsLocked");
    return c && number(find(trim(c.child_value()))).as_int() != 0;
  }

  // ----- registers

  std::uint64_t address(node n) {
    node owner = std::strcmp(n.name(), "StructEntry") == 0 ? n.parent() : n;
    std::uint64_t sum = 0;
    bool any = false;
    for (node c : owner.children()) {
      const std::string_view name = c.name();
      if (name == "Address") {
        std::int64_t v = 0;
        if (!parse_integer_text(c.child_value(), v)) fail(n, "bad Address");
        sum += static_cast<std::uint64_t>(v);
        any = true;
      } else if (name == "pAddress") {
        sum += static_cast<std::uint64_t>(number(find(trim(c.child_value()))).as_int());
        any = true;
      } else if (name == "pIndex") {
        // One register of a table: the index node's value times the entry
        // size (Offset, pOffset, or the register's length).
        std::int64_t step = 0;
        if (const char *p = c.attribute("pOffset").value(); *p != '\0') {
          step = number(find(p)).as_int();
        } else if (c.attribute("Offset")) {
          if (!parse_integer_text(c.attribute("Offset").value(), step))
            fail(n, "bad pIndex Offset");
        } else {
          step = static_cast<std::int64_t>(length(n));
        }
        sum += static_cast<std::uint64_t>(number(find(trim(c.child_value()))).as_int() * step);
        any = true;
      } else if (name == "IntSwissKnife") {
        sum += static_cast<std::uint64_t>(swiss_knife(c).as_int());
        any = true;
      }
    }
    if (!any) fail(n, "register without an address");
    return sum;
  }
  std::size_t length(node n) {
    std::int64_t len = literal_int(n, "Length", -1);
    if (const node p = ref(n, "pLength")) len = number(p).as_int();
    if (len <= 0 || len > 4096) fail(n, "register length missing or out of range");
    return static_cast<std::size_t>(len);
  }
  static bool big_endian(node n) { return text(n, "Endianess", "LittleEndian") == "BigEndian"; }
  static bool is_signed(node n) { return text(n, "Sign", "Unsigned") == "Signed"; }
  std::string register_access(node n) { return trim(text(n, "AccessMode", "RO")); }
  void check_readable(node n) {
    if (register_access(n) == "WO") fail(n, "write-only");
  }
  void check_writable(node n) {
    if (register_access(n) == "RO") fail(n, "read-only");
  }

  std::vector<std::byte> read_bytes(node n) {
    std::vector<std::byte> b(length(n));
    port.read(address(n), b);
    return b;
  }
  std::uint64_t read_raw(node n, std::size_t &len) {
    check_readable(n);
    const std::vector<std::byte> b = read_bytes(n);
    len = b.size();
    if (len > 8) fail(n, "integer register longer than 8 bytes");
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < len; ++i) {
      const std::size_t k = big_endian(n) ? i : len - 1 - i;
      v = (v << 8) | std::to_integer<std::uint64_t>(b[k]);
    }
    return v;
  }
  void write_raw(node n, std::uint64_t v, std::size_t len) {
    std::vector<std::byte> b(len);
    for (std::size_t i = 0; i < len; ++i) {
      const std::size_t k = big_endian(n) ? len - 1 - i : i;
      b[k] = std::byte(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    port.write(address(n), b);
  }
  static std::int64_t sign_extend(std::uint64_t v, unsigned bits) {
    if (bits >= 64) return static_cast<std::int64_t>(v);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    return static_cast<std::int64_t>((v ^ sign) - sign);
  }
  // Bit positions counted from the least significant bit. A BigEndian
  // description numbers bits from the most significant one.
  void mask_bits(node n, std::size_t len, unsigned &low, unsigned &high) {
    const std::int64_t width = static_cast<std::int64_t>(len * 8);
    std::int64_t lsb, msb;
    if (element(n, "Bit")) {
      lsb = msb = literal_int(n, "Bit", 0);
    } else {
      lsb = literal_int(n, "LSB", big_endian(n) ? width - 1 : 0);
      msb = literal_int(n, "MSB", big_endian(n) ? 0 : width - 1);
    }
    if (big_endian(n)) {
      lsb = width - 1 - lsb;
      msb = width - 1 - msb;
    }
    if (lsb < 0 || msb < lsb || msb >= width) fail(n, "mask bits outside the register");
    low = static_cast<unsigned>(lsb);
    high = static_cast<unsigned>(msb);
  }
  static std::uint64_t field_mask(unsigned low, unsigned high) {
    const unsigned bits = high - low + 1;
    return bits >= 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << bits) - 1);
  }

  // ----- formulas

  formula_value swiss_knife(node n) {
    guard g(*this, n);
    const bool is_int = std::strcmp(n.name(), "IntSwissKnife") == 0;
    const formula_value v = evaluate(n, text(n, "Formula"), nullptr, formula_value{});
    return is_int ? formula_int(v.as_int()) : formula_float(v.as_double());
  }
  // Evaluates a formula with the node's pVariable, Constant and Expression
  // names, and `extra_name` (TO or FROM) when given.
  formula_value evaluate(node n, const std::string &formula, const char *extra_name,
                         formula_value extra) {
    // Float formulas compute in doubles throughout, so that "TO / 10" of an
    // integer register keeps its fraction.
    const bool in_doubles = is_float_kind(n.name());
    const formula_lookup inner = [&](std::string_view name) -> formula_value {
      if (extra_name != nullptr && name == extra_name) return extra;
      if (const auto v = variable(n, name)) return *v;
      const std::size_t dot = name.rfind('.');
      if (dot != std::string_view::npos) {
        const std::string base(name.substr(0, dot));
        const std::string_view prop = name.substr(dot + 1);
        for (node c : n.children("pVariable")) {
          if (base == c.attribute("Name").value())
            return property(find(trim(c.child_value())), prop);
        }
      }
      throw formula_error("unknown name " + std::string(name));
    };
    const formula_lookup lookup = [&](std::string_view name) {
      const formula_value v = inner(name);
      return in_doubles ? formula_float(v.as_double()) : v;
    };
    try {
      return evaluate_formula(formula, lookup);
    } catch (const formula_error &e) {
      fail(n, e.what());
    }
  }
  std::unique_ptr<formula_value> variable(node n, std::string_view name) {
    for (node c : n.children()) {
      if (name != c.attribute("Name").value()) continue;
      const std::string_view k = c.name();
      if (k == "pVariable")
        return std::make_unique<formula_value>(number(find(trim(c.child_value()))));
      if (k == "Constant") {
        std::int64_t i = 0;
        double f = 0;
        if (parse_integer_text(c.child_value(), i))
          return std::make_unique<formula_value>(formula_int(i));
        if (parse_float_text(trim(c.child_value()), f))
          return std::make_unique<formula_value>(formula_float(f));
        fail(n, "bad Constant " + std::string(name));
      }
      if (k == "Expression")
        return std::make_unique<formula_value>(evaluate(n, c.child_value(), nullptr, {}));
    }
    return nullptr;
  }
  formula_value property(node n, std::string_view prop) {
    if (prop == "Min") return minimum(n);
    if (prop == "Max") return maximum(n);
    if (prop == "Inc") return formula_int(increment(n));
    if (prop == "Value") return number(n);
    fail(n, "unknown property " + std::string(prop));
  }

  // ----- ranges

  formula_value bound(node n, const char *literal, const char *pointer, bool upper) {
    guard g(*this, n);
    const std::string k = kind(n);
    if (const node p = ref(n, pointer)) return number(p);
    if (const node c = element(n, literal)) {
      std::int64_t i = 0;
      double f = 0;
      if (is_float_kind(k) && parse_float_text(trim(c.child_value()), f)) return formula_float(f);
      if (parse_integer_text(c.child_value(), i)) return formula_int(i);
      fail(n, std::string("bad ") + literal);
    }
    if ((k == "Integer" || k == "Float" || k == "IntConverter" || k == "Converter") &&
        n.child("pValue"))
      return bound(find(trim(n.child_value("pValue"))), literal, pointer, upper);
    if (k == "IntReg" || k == "MaskedIntReg" || k == "StructEntry") {
      std::size_t len = length(n);
      unsigned bits = static_cast<unsigned>(len * 8);
      if (k != "IntReg") {
        unsigned low = 0, high = 0;
        mask_bits(n, len, low, high);
        bits = high - low + 1;
      }
      if (bits >= 64)
        return formula_int(upper ? std::numeric_limits<std::int64_t>::max()
                                 : (is_signed(n) ? std::numeric_limits<std::int64_t>::min() : 0));
      if (is_signed(n))
        return formula_int(upper ? (std::int64_t{1} << (bits - 1)) - 1
                                 : -(std::int64_t{1} << (bits - 1)));
      return formula_int(upper ? static_cast<std::int64_t>((std::uint64_t{1} << bits) - 1) : 0);
    }
    if (is_float_kind(k))
      return formula_float(upper ? std::numeric_limits<double>::max()
                                 : std::numeric_limits<double>::lowest());
    return formula_int(upper ? std::numeric_limits<std::int64_t>::max()
                             : std::numeric_limits<std::int64_t>::min());
  }
  formula_value minimum(node n) { return bound(n, "Min", "pMin", false); }
  formula_value maximum(node n) { return bound(n, "Max", "pMax", true); }
  std::int64_t increment(node n) {
    if (const node p = ref(n, "pInc")) return number(p).as_int();
    return literal_int(n, "Inc", 1);
  }

  // ----- reading

  formula_value number(node n) {
    guard g(*this, n);
    const std::string k = kind(n);
    if (!available(n)) fail(n, "not available now");
    if (k == "Integer" || k == "Float" || k == "Enumeration" || k == "Boolean" || k == "Command") {
      if (const auto it = written.find(n.attribute("Name").value()); it != written.end())
        return it->second;
      formula_value v;
      if (const node p = ref(n, "pValue")) {
        v = number(p);
      } else if (n.child("Value")) {
        std::int64_t i = 0;
        double f = 0;
        if (parse_integer_text(n.child_value("Value"), i)) {
          v = formula_int(i);
        } else if (parse_float_text(trim(n.child_value("Value")), f)) {
          v = formula_float(f);
        } else {
          fail(n, "bad Value");
        }
      } else if (k == "Command") {
        fail(n, "a command has no value to read");
      } else {
        fail(n, "neither Value nor pValue");
      }
      return k == "Float" ? formula_float(v.as_double()) : formula_int(v.as_int());
    }
    if (k == "IntReg") {
      std::size_t len = 0;
      const std::uint64_t raw = read_raw(n, len);
      return formula_int(is_signed(n) ? sign_extend(raw, static_cast<unsigned>(len * 8))
                                      : static_cast<std::int64_t>(raw));
    }
    if (k == "MaskedIntReg" || k == "StructEntry") {
      std::size_t len = 0;
      const std::uint64_t raw = read_raw(n, len);
      unsigned low = 0, high = 0;
      mask_bits(n, len, low, high);
      const std::uint64_t v = (raw >> low) & field_mask(low, high);
      return formula_int(is_signed(n) ? sign_extend(v, high - low + 1)
                                      : static_cast<std::int64_t>(v));
    }
    if (k == "FloatReg") {
      check_readable(n);
      const std::vector<std::byte> b = read_bytes(n);
      if (b.size() != 4 && b.size() != 8) fail(n, "float register length is not 4 or 8");
      std::uint64_t raw = 0;
      for (std::size_t i = 0; i < b.size(); ++i)
        raw = (raw << 8) | std::to_integer<std::uint64_t>(b[big_endian(n) ? i : b.size() - 1 - i]);
      if (b.size() == 4) {
        const auto r32 = static_cast<std::uint32_t>(raw);
        float f;
        std::memcpy(&f, &r32, 4);
        return formula_float(f);
      }
      double f;
      std::memcpy(&f, &raw, 8);
      return formula_float(f);
    }
    if (k == "IntSwissKnife" || k == "SwissKnife") return swiss_knife(n);
    if (k == "IntConverter" || k == "Converter") {
      const node p = ref(n, "pValue");
      if (!p) fail(n, "converter without pValue");
      const formula_value v = evaluate(n, text(n, "FormulaFrom"), "TO", number(p));
      return k == "IntConverter" ? formula_int(v.as_int()) : formula_float(v.as_double());
    }
    unsupported(n);
  }

  [[noreturn]] static void unsupported(node n) {
    throw description_error(std::string("node ") + n.attribute("Name").value() + " is of kind " +
                            n.name() + ", which camctl does not evaluate");
  }

  // ----- writing

  void check_range(node n, const formula_value &v) {
    const formula_value lo = minimum(n), hi = maximum(n);
    if (v.is_float || lo.is_float || hi.is_float) {
      if (v.as_double() < lo.as_double() || v.as_double() > hi.as_double())
        fail(n, "value out of range [" + show(lo) + ", " + show(hi) + "]");
      return;
    }
    if (v.i < lo.i || v.i > hi.i)
      fail(n, "value out of range [" + show(lo) + ", " + show(hi) + "]");
    const std::int64_t inc = increment(n);
    if (inc > 1 && (static_cast<std::uint64_t>(v.i) - static_cast<std::uint64_t>(lo.i)) %
                           static_cast<std::uint64_t>(inc) !=
                       0)
      fail(n, "value must be " + show(lo) + " plus a multiple of " + std::to_string(inc));
  }
  static std::string show(const formula_value &v) {
    if (!v.is_float) return std::to_string(v.i);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", v.f);
    return buf;
  }

  void set_number(node n, formula_value v) {
    guard g(*this, n);
    const std::string k = kind(n);
    if (!available(n)) fail(n, "not available now");
    if (locked(n)) fail(n, "locked");
    if (k == "Integer" || k == "Float" || k == "Enumeration" || k == "Boolean" || k == "Command") {
      if (k == "Integer") {
        v = formula_int(v.as_int());
        check_range(n, v);
      } else if (k == "Float") {
        v = formula_float(v.as_double());
        check_range(n, v);
      }
      if (const node p = ref(n, "pValue")) return set_number(p, v);
      if (!n.child("Value")) fail(n, "neither Value nor pValue");
      written[n.attribute("Name").value()] = v;
      return;
    }
    if (k == "IntReg" || k == "MaskedIntReg" || k == "StructEntry") {
      check_writable(n);
      const std::int64_t i = v.as_int();
      const formula_value lo = minimum(n), hi = maximum(n);
      if (i < lo.i || i > hi.i) fail(n, "value does not fit the register");
      const std::size_t len = length(n);
      if (len > 8) fail(n, "integer register longer than 8 bytes");
      if (k == "IntReg") return write_raw(n, static_cast<std::uint64_t>(i), len);
      unsigned low = 0, high = 0;
      mask_bits(n, len, low, high);
      // The other bits of the register belong to other features: keep them.
      std::size_t read_len = 0;
      const std::uint64_t old = register_access(n) == "WO" ? 0 : read_raw(n, read_len);
      const std::uint64_t mask = field_mask(low, high) << low;
      const std::uint64_t raw = (old & ~mask) | ((static_cast<std::uint64_t>(i) << low) & mask);
      return write_raw(n, raw, len);
    }
    if (k == "FloatReg") {
      check_writable(n);
      const std::size_t len = length(n);
      std::uint64_t raw = 0;
      if (len == 4) {
        const float f = static_cast<float>(v.as_double());
        std::uint32_t r;
        std::memcpy(&r, &f, 4);
        raw = r;
      } else if (len == 8) {
        const double f = v.as_double();
        std::memcpy(&raw, &f, 8);
      } else {
        fail(n, "float register length is not 4 or 8");
      }
      return write_raw(n, raw, len);
    }
    if (k == "IntConverter" || k == "Converter") {
      const node p = ref(n, "pValue");
      if (!p) fail(n, "converter without pValue");
      if (k == "IntConverter") v = formula_int(v.as_int());
      check_range(n, v);
      const formula_value raw = evaluate(n, text(n, "FormulaTo"), "FROM", v);
      return set_number(p, raw);
    }
    if (k == "IntSwissKnife" || k == "SwissKnife") fail(n, "read-only (a formula)");
    unsupported(n);
  }

  // ----- strings

  std::string string_value(node n) {
    guard g(*this, n);
    const std::string k = kind(n);
    if (!available(n)) fail(n, "not available now");
    if (k == "String") {
      if (const auto it = written_text.find(n.attribute("Name").value()); it != written_text.end())
        return it->second;
      if (const node p = ref(n, "pValue")) return string_value(p);
      return n.child_value("Value");
    }
    if (k == "StringReg") {
      check_readable(n);
      const std::vector<std::byte> b = read_bytes(n);
      std::string s;
      for (std::byte c : b) {
        if (c == std::byte{0}) break;
        s.push_back(static_cast<char>(c));
      }
      return s;
    }
    unsupported(n);
  }
  std::map<std::string, std::string, std::less<>> written_text;
  void set_string(node n, std::string_view s) {
    guard g(*this, n);
    const std::string k = kind(n);
    if (!available(n)) fail(n, "not available now");
    if (locked(n)) fail(n, "locked");
    if (k == "String") {
      if (const node p = ref(n, "pValue")) return set_string(p, s);
      written_text[n.attribute("Name").value()] = std::string(s);
      return;
    }
    if (k == "StringReg") {
      check_writable(n);
      const std::size_t len = length(n);
      if (s.size() > len)
        fail(n, "text longer than the register's " + std::to_string(len) + " bytes");
      std::vector<std::byte> b(len, std::byte{0});
      for (std::size_t i = 0; i < s.size(); ++i) b[i] = std::byte(static_cast<unsigned char>(s[i]));
      port.write(address(n), b);
      return;
    }
    unsupported(n);
  }

  // ----- access

  std::string access_of(node n) {
    guard g(*this, n);
    const std::string k = kind(n);
    if (!available(n)) return "NA";
    std::string a;
    if (k == "IntReg" || k == "MaskedIntReg" || k == "StructEntry" || k == "FloatReg" ||
        k == "StringReg" || k == "Register") {
      a = register_access(n);
    } else if (k == "IntSwissKnife" || k == "SwissKnife") {
      a = "RO";
    } else if (k == "Category") {
      a = "";
    } else if (const node p = ref(n, "pValue")) {
      a = access_of(p);
    } else {
      a = "RW";
    }
    if (text(n, "ImposedAccessMode") == "RO" && a == "RW") a = "RO";
    if (a == "RW" && locked(n)) a = "RO";
    return a;
  }
};

description::description(std::string_view xml, register_port &port)
    : d_(std::make_unique<impl>(port)) {
  const pugi::xml_parse_result r = d_->doc.load_buffer(xml.data(), xml.size());
  if (!r)
    throw description_error(std::string("the device description is not valid XML: ") +
                            r.description());
  const node root = d_->doc.child("RegisterDescription");
  if (!root) throw description_error("the device description has no RegisterDescription");
  for (node n : root.children()) {
    const char *name = n.attribute("Name").value();
    if (*name == '\0') continue;
    d_->nodes.emplace(name, n);
    if (std::strcmp(n.name(), "StructReg") == 0) {
      for (node e : n.children("StructEntry"))
        if (*e.attribute("Name").value() != '\0') d_->nodes.emplace(e.attribute("Name").value(), e);
    }
  }
}

description::~description() = default;

bool description::has(std::string_view feature) const {
  return d_->nodes.count(feature) != 0;
}

std::int64_t description::get_int(std::string_view feature) try {
  return d_->number(d_->find(feature)).as_int();
} catch (const formula_error &e) {
  throw as_description_error(e);
}

std::string description::get(std::string_view feature) try {
  const node n = d_->find(feature);
  const std::string k = n.name();
  if (k == "Enumeration") {
    const std::int64_t v = d_->number(n).as_int();
    for (node e : n.children("EnumEntry")) {
      std::int64_t ev = 0;
      if (parse_integer_text(e.child_value("Value"), ev) && ev == v) {
        const char *symbolic = e.child_value("Symbolic");
        return *symbolic != '\0' ? symbolic : e.attribute("Name").value();
      }
    }
    return "(no entry for " + std::to_string(v) + ")";
  }
  if (k == "Boolean") {
    const std::int64_t on = d_->literal_int(n, "OnValue", 1);
    return d_->number(n).as_int() == on ? "true" : "false";
  }
  if (k == "String" || k == "StringReg") return d_->string_value(n);
  if (k == "Command") return "(command)";
  if (k == "Category") throw description_error(std::string(feature) + " is a category");
  if (k == "Register") {
    d_->check_readable(n);
    std::string hex = "0x";
    char b[3];
    for (std::byte c : d_->read_bytes(n)) {
      std::snprintf(b, sizeof b, "%02x", std::to_integer<unsigned>(c));
      hex += b;
    }
    return hex;
  }
  if (is_int_kind(k) || is_float_kind(k)) {
    const formula_value v = d_->number(n);
    return is_float_kind(k) ? impl::show(formula_float(v.as_double())) : std::to_string(v.as_int());
  }
  impl::unsupported(n);
} catch (const formula_error &e) {
  throw as_description_error(e);
}

void description::set(std::string_view feature, std::string_view value) try {
  const node n = d_->find(feature);
  const std::string k = n.name();
  if (k == "Command") return execute(feature);
  if (k == "Enumeration") {
    for (node e : n.children("EnumEntry")) {
      if (value != e.attribute("Name").value() && value != e.child_value("Symbolic")) continue;
      if (!d_->available(e)) impl::fail(n, "entry " + std::string(value) + " is not available now");
      std::int64_t ev = 0;
      if (!parse_integer_text(e.child_value("Value"), ev)) impl::fail(n, "entry without a value");
      return d_->set_number(n, formula_int(ev));
    }
    std::string names;
    for (node e : n.children("EnumEntry"))
      names += std::string(names.empty() ? "" : ", ") + e.attribute("Name").value();
    impl::fail(n, "no entry " + std::string(value) + " (entries: " + names + ")");
  }
  if (k == "Boolean") {
    bool on;
    if (value == "true" || value == "1" || value == "on") {
      on = true;
    } else if (value == "false" || value == "0" || value == "off") {
      on = false;
    } else {
      impl::fail(n, "want true or false, not " + std::string(value));
    }
    return d_->set_number(
        n, formula_int(on ? d_->literal_int(n, "OnValue", 1) : d_->literal_int(n, "OffValue", 0)));
  }
  if (k == "String" || k == "StringReg") return d_->set_string(n, value);
  if (is_float_kind(k)) {
    double f = 0;
    if (!parse_float_text(value, f)) impl::fail(n, "not a number: " + std::string(value));
    return d_->set_number(n, formula_float(f));
  }
  if (is_int_kind(k)) {
    std::int64_t i = 0;
    if (!parse_integer_text(value, i)) impl::fail(n, "not an integer: " + std::string(value));
    return d_->set_number(n, formula_int(i));
  }
  impl::unsupported(n);
} catch (const formula_error &e) {
  throw as_description_error(e);
}

void description::execute(std::string_view command) try {
  const node n = d_->find(command);
  if (std::strcmp(n.name(), "Command") != 0) impl::fail(n, "not a command");
  std::int64_t v = d_->literal_int(n, "CommandValue", 1);
  if (const node p = d_->ref(n, "pCommandValue")) v = d_->number(p).as_int();
  const node p = d_->ref(n, "pValue");
  if (!p) impl::fail(n, "command without pValue");
  if (!d_->available(n)) impl::fail(n, "not available now");
  if (d_->locked(n)) impl::fail(n, "locked");
  d_->set_number(p, formula_int(v));
} catch (const formula_error &e) {
  throw as_description_error(e);
}

std::string description::access(std::string_view feature) try {
  return d_->access_of(d_->find(feature));
} catch (const formula_error &e) {
  throw as_description_error(e);
}

std::vector<feature_info> description::features() {
  std::vector<feature_info> out;
  std::set<std::string> seen;
  const auto add = [&](node n, auto &&self) -> void {
    const std::string name = n.attribute("Name").value();
    if (!seen.insert(name).second) return;
    if (std::strcmp(n.name(), "Category") == 0) {
      for (node f : n.children("pFeature")) {
        const auto it = d_->nodes.find(impl::trim(f.child_value()));
        if (it != d_->nodes.end()) self(it->second, self);
      }
      return;
    }
    std::string access;
    try {
      access = d_->access_of(n);
    } catch (const description_error &) {
      access = "??";
    } catch (const formula_error &) {
      access = "??";
    }
    out.push_back({name, n.name(), access});
  };
  const auto root = d_->nodes.find("Root");
  if (root != d_->nodes.end()) {
    add(root->second, add);
  } else {
    for (node n : d_->doc.child("RegisterDescription").children()) {
      const std::string k = n.name();
      if (k == "Integer" || k == "Float" || k == "Enumeration" || k == "Boolean" ||
          k == "Command" || k == "String")
        add(n, add);
    }
  }
  return out;
}
