#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "description_internal.h"
#include "description_nodes_internal.h"
#include "description_registers_internal.h"
#include "formula_internal.h"

namespace {

// A register of more than this is not a register but a broken description.
constexpr std::int64_t max_register_bytes = 1 << 20;

[[noreturn]] void fail(const node_record &n, const std::string &what) {
  throw description_error(std::string(n.name) + ": " + what);
}

[[noreturn]] void unsupported(const node_record &n) {
  throw description_error(std::string("node ") + std::string(n.name) + " is of kind " +
                          n.xml.name() + ", which camctl does not evaluate");
}

std::string show(const formula_value &v) {
  if (!v.is_float) return std::to_string(v.i);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v.f);
  return buf;
}

const char *source_text(data_source s) {
  return s == data_source::chunk ? "only in a block's chunk data" : "only in an event";
}

// Where a write to a literal Value is kept: the node, and which of its
// values (plain, one index's, the default).
enum class slot_of_value : std::uint8_t { plain, indexed, fallback };
using written_key = std::tuple<node_id, slot_of_value, std::int64_t>;

}  // namespace

struct description::impl {
  pugi::xml_document doc;
  std::optional<node_table> nodes;
  register_cache regs;

  // Values and availability worked out in this command. A write starts a new
  // epoch; an entry that read a register which changes by itself is good
  // for its own operation only.
  struct memo {
    std::uint64_t epoch = 0, operation = 0;
    bool per_operation = false;
    std::optional<formula_value> value;
    std::string error;
  };
  std::vector<memo> values, availability;
  std::uint64_t epoch = 1, operation = 1;
  bool volatile_seen = false;
  int depth = 0;
  // Value nodes keep what was written to them here: the description in the
  // file stays as the camera served it.
  std::map<written_key, formula_value> written;
  std::unordered_map<node_id, std::string> written_text;
  // What each register node last read, to forget when it goes stale, and
  // what the current write went through.
  std::unordered_map<node_id, register_range> read_ranges;
  std::vector<node_id> touched;

  explicit impl(register_port &p) : regs(p) {}

  const node_record &at(node_id id) const { return (*nodes)[id]; }

  // Every public call is one operation.
  void begin() {
    ++operation;
    regs.next_operation();
    volatile_seen = false;
    depth = 0;
  }

  struct guard {
    impl &d;
    guard(impl &owner, node_id id) : d(owner) {
      if (++d.depth > max_depth) {
        --d.depth;
        fail(d.at(id), "the description refers to itself through this node");
      }
    }
    ~guard() { --d.depth; }
    guard(const guard &) = delete;
    guard &operator=(const guard &) = delete;
  };

  template <typename F>
  formula_value memoised(std::vector<memo> &table, node_id id, F &&compute) {
    if (const memo &m = table[id];
        m.epoch == epoch && (!m.per_operation || m.operation == operation)) {
      volatile_seen = volatile_seen || m.per_operation;
      if (!m.value) throw description_error(m.error);
      return *m.value;
    }
    const bool outer = std::exchange(volatile_seen, false);
    memo fresh{epoch, operation, false, std::nullopt, {}};
    try {
      fresh.value = compute();
    } catch (const description_error &e) {
      fresh.error = e.what();
    } catch (const formula_error &e) {
      // A value no integer can hold (a NaN or huge float read as an integer).
      fresh.error = std::string(at(id).name) + ": " + e.what();
    } catch (...) {
      // Not knowable offline, or the camera gone: nothing to remember.
      volatile_seen = outer || volatile_seen;
      throw;
    }
    fresh.per_operation = volatile_seen;
    volatile_seen = outer || volatile_seen;
    table[id] = fresh;
    if (!fresh.value) throw description_error(fresh.error);
    return *fresh.value;
  }

  std::int64_t literal_int(node_id id, const char *name, std::int64_t fallback) const {
    const pugi::xml_node c = nodes->element(id, name);
    if (!c) return fallback;
    std::int64_t v = 0;
    if (!parse_integer_text(c.child_value(), v)) fail(at(id), std::string("bad ") + name);
    return v;
  }
  std::string_view text(node_id id, const char *name, std::string_view fallback = "") const {
    const pugi::xml_node c = nodes->element(id, name);
    return c ? trimmed(c.child_value()) : fallback;
  }

  // ----- availability

  // pIsImplemented/pIsAvailable: 0 means the node cannot be used now. A
  // StructEntry's own say overrides its StructReg's.
  bool available(node_id id) {
    return memoised(availability, id, [&] {
             guard g(*this, id);
             const node_record &n = at(id);
             for (const char *p : {"pIsImplemented", "pIsAvailable"}) {
               pugi::xml_node holder = n.xml;
               if (!holder.child(p) && n.kind == node_kind::struct_entry) holder = n.xml.parent();
               if (!flags_allow(holder, p)) return formula_int(0);
             }
             return formula_int(1);
           }).i != 0;
  }
  bool flags_allow(pugi::xml_node holder, const char *p) {
    for (pugi::xml_node c = holder.child(p); c; c = c.next_sibling(p))
      if (number(nodes->find(trimmed(c.child_value()))).as_int() == 0) return false;
    return true;
  }
  bool locked(node_id id) {
    const auto p = nodes->ref(id, "pIsLocked");
    return p && number(*p).as_int() != 0;
  }

  // ----- registers

  std::uint64_t address(node_id id) {
    const node_record &n = at(id);
    const pugi::xml_node owner = n.kind == node_kind::struct_entry ? n.xml.parent() : n.xml;
    std::uint64_t sum = 0;
    bool any = false;
    for (pugi::xml_node c : owner.children()) {
      const std::string_view name = c.name();
      if (name == "Address") {
        std::int64_t v = 0;
        if (!parse_integer_text(c.child_value(), v)) fail(n, "bad Address");
        sum += static_cast<std::uint64_t>(v);
      } else if (name == "pAddress") {
        sum += static_cast<std::uint64_t>(number(nodes->find(trimmed(c.child_value()))).as_int());
      } else if (name == "pIndex") {
        // One register of a table: the index node's value times the entry
        // size (Offset, pOffset, or the register's length).
        std::int64_t step = 0;
        if (const std::string_view p = trimmed(c.attribute("pOffset").value()); !p.empty()) {
          step = number(nodes->find(p)).as_int();
        } else if (c.attribute("Offset")) {
          if (!parse_integer_text(c.attribute("Offset").value(), step))
            fail(n, "bad pIndex Offset");
        } else {
          step = static_cast<std::int64_t>(length(id));
        }
        const std::int64_t index = number(nodes->find(trimmed(c.child_value()))).as_int();
        sum += static_cast<std::uint64_t>(index) * static_cast<std::uint64_t>(step);
      } else if (name == "IntSwissKnife") {
        sum += static_cast<std::uint64_t>(evaluate_in(id, c, c.child_value("Formula")).as_int());
      } else {
        continue;
      }
      any = true;
    }
    if (!any) fail(n, "register without an address");
    return sum;
  }
  std::size_t length(node_id id) {
    std::int64_t len = literal_int(id, "Length", -1);
    if (const auto p = nodes->ref(id, "pLength")) len = number(*p).as_int();
    if (len <= 0 || len > max_register_bytes)
      fail(at(id), "register length missing or out of range");
    return static_cast<std::size_t>(len);
  }
  register_range range(node_id id) { return {address(id), length(id)}; }
  bool big_endian(node_id id) const { return text(id, "Endianess", "LittleEndian") == "BigEndian"; }
  bool is_signed(node_id id) const { return text(id, "Sign", "Unsigned") == "Signed"; }
  std::string register_mode(node_id id) const { return std::string(text(id, "AccessMode", "RO")); }
  // NoCache and PollingTime: the camera changes the register by itself.
  bool changes_by_itself(node_id id) const {
    return text(id, "Cachable") == "NoCache" || nodes->element(id, "PollingTime");
  }

  void check_on_device(node_id id) {
    const data_source s = nodes->source(id);
    if (s != data_source::device)
      fail(at(id), std::string(source_text(s)) + ", not in the camera's registers");
  }

  std::vector<std::byte> read_bytes(node_id id) {
    check_on_device(id);
    if (register_mode(id) == "WO") fail(at(id), "write-only");
    const register_range r = range(id);
    read_ranges[id] = r;
    const bool lasting = !changes_by_itself(id);
    volatile_seen = volatile_seen || !lasting;
    std::vector<std::byte> b(r.length);
    regs.read(r, b, lasting);
    return b;
  }
  void write_bytes(node_id id, std::span<const std::byte> data) {
    check_on_device(id);
    // WriteThrough (the default) reads back what was written; WriteAround
    // does not: read it again.
    const bool keep = !changes_by_itself(id) && text(id, "Cachable") != "WriteAround";
    regs.write({address(id), data.size()}, data, keep);
  }
  std::uint64_t read_raw(node_id id, std::size_t &len) {
    const std::vector<std::byte> b = read_bytes(id);
    len = b.size();
    if (len > 8) fail(at(id), "integer register longer than 8 bytes");
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < len; ++i)
      v = (v << 8) | std::to_integer<std::uint64_t>(b[big_endian(id) ? i : len - 1 - i]);
    return v;
  }
  void write_raw(node_id id, std::uint64_t v, std::size_t len) {
    std::vector<std::byte> b(len);
    for (std::size_t i = 0; i < len; ++i)
      b[big_endian(id) ? len - 1 - i : i] = std::byte(static_cast<std::uint8_t>(v >> (8 * i)));
    write_bytes(id, b);
  }
  static std::int64_t sign_extend(std::uint64_t v, unsigned bits) {
    if (bits >= 64) return static_cast<std::int64_t>(v);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    return static_cast<std::int64_t>((v ^ sign) - sign);
  }
  // Bit positions counted from the least significant bit. A BigEndian
  // description numbers bits from the most significant one.
  void mask_bits(node_id id, std::size_t len, unsigned &low, unsigned &high) {
    const std::int64_t width = static_cast<std::int64_t>(len * 8);
    std::int64_t lsb, msb;
    if (nodes->element(id, "Bit")) {
      lsb = msb = literal_int(id, "Bit", 0);
    } else {
      lsb = literal_int(id, "LSB", big_endian(id) ? width - 1 : 0);
      msb = literal_int(id, "MSB", big_endian(id) ? 0 : width - 1);
    }
    if (big_endian(id)) {
      lsb = width - 1 - lsb;
      msb = width - 1 - msb;
    }
    if (lsb < 0 || msb < lsb || msb >= width) fail(at(id), "mask bits outside the register");
    low = static_cast<unsigned>(lsb);
    high = static_cast<unsigned>(msb);
  }
  static std::uint64_t field_mask(unsigned low, unsigned high) {
    const unsigned bits = high - low + 1;
    return bits >= 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << bits) - 1);
  }
  std::int64_t read_int_register(node_id id) {
    std::size_t len = 0;
    const std::uint64_t raw = read_raw(id, len);
    if (!traits(at(id).kind).is_masked())
      return is_signed(id) ? sign_extend(raw, static_cast<unsigned>(len * 8))
                           : static_cast<std::int64_t>(raw);
    unsigned low = 0, high = 0;
    mask_bits(id, len, low, high);
    const std::uint64_t v = (raw >> low) & field_mask(low, high);
    return is_signed(id) ? sign_extend(v, high - low + 1) : static_cast<std::int64_t>(v);
  }
  double read_float_register(node_id id) {
    std::size_t len = 0;
    const std::vector<std::byte> b = read_bytes(id);
    len = b.size();
    if (len != 4 && len != 8) fail(at(id), "float register length is not 4 or 8");
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < len; ++i)
      raw = (raw << 8) | std::to_integer<std::uint64_t>(b[big_endian(id) ? i : len - 1 - i]);
    if (len == 4) {
      const auto r32 = static_cast<std::uint32_t>(raw);
      float f;
      std::memcpy(&f, &r32, 4);
      return f;
    }
    double f;
    std::memcpy(&f, &raw, 8);
    return f;
  }

  // ----- formulas

  // Evaluates a formula with the pVariable, Constant and Expression names
  // found under `holder` (the node itself, or an address term inside a
  // register), and `extra_name` (TO or FROM) when given.
  formula_value evaluate_in(node_id id, pugi::xml_node holder, std::string_view formula,
                            const char *extra_name = nullptr, formula_value extra = {}) {
    // Float formulas compute in doubles throughout, so that "TO / 10" of an
    // integer register keeps its fraction.
    const bool in_doubles = traits(at(id).kind).type == value_type::floating;
    // An Expression used many times is worked out once.
    std::map<std::string, formula_value, std::less<>> expressions;
    std::function<formula_value(std::string_view)> evaluate_text;
    const formula_lookup lookup = [&](std::string_view name) -> formula_value {
      const formula_value v =
          variable(id, holder, name, extra_name, extra, expressions, evaluate_text);
      return in_doubles ? formula_float(v.as_double()) : v;
    };
    evaluate_text = [&](std::string_view text) -> formula_value {
      guard g(*this, id);
      return evaluate_formula(text, lookup);
    };
    try {
      return evaluate_text(formula);
    } catch (const formula_error &e) {
      fail(at(id), e.what());
    }
  }
  formula_value variable(node_id id, pugi::xml_node holder, std::string_view name,
                         const char *extra_name, const formula_value &extra,
                         std::map<std::string, formula_value, std::less<>> &expressions,
                         const std::function<formula_value(std::string_view)> &evaluate_text) {
    if (extra_name != nullptr && name == extra_name) return extra;
    if (const auto it = expressions.find(name); it != expressions.end()) return it->second;
    for (pugi::xml_node c : holder.children()) {
      if (name != c.attribute("Name").value()) continue;
      const std::string_view k = c.name();
      if (k == "pVariable") return number(nodes->find(trimmed(c.child_value())));
      if (k == "Constant") {
        std::int64_t i = 0;
        double f = 0;
        if (parse_integer_text(c.child_value(), i)) return formula_int(i);
        if (parse_float_text(c.child_value(), f)) return formula_float(f);
        fail(at(id), "bad Constant " + std::string(name));
      }
      if (k == "Expression") {
        const formula_value v = evaluate_text(c.child_value());
        expressions.emplace(std::string(name), v);
        return v;
      }
    }
    // NAME.Min, NAME.Max, NAME.Inc, NAME.Value of a pVariable's node.
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
      const std::string_view base = name.substr(0, dot), prop = name.substr(dot + 1);
      for (pugi::xml_node c : holder.children("pVariable")) {
        if (base == c.attribute("Name").value())
          return property(nodes->find(trimmed(c.child_value())), prop);
      }
    }
    throw formula_error("unknown name " + std::string(name));
  }
  formula_value property(node_id id, std::string_view prop) {
    if (prop == "Min") return minimum(id);
    if (prop == "Max") return maximum(id);
    if (prop == "Inc") return formula_int(increment(id));
    if (prop == "Value") return number(id);
    fail(at(id), "unknown property " + std::string(prop));
  }

  // ----- ranges

  formula_value bound(node_id id, const char *literal, const char *pointer, bool upper) {
    guard g(*this, id);
    const node_record &n = at(id);
    const kind_traits &t = traits(n.kind);
    if (const auto p = nodes->ref(id, pointer)) return number(*p);
    if (const pugi::xml_node c = nodes->element(id, literal)) {
      std::int64_t i = 0;
      double f = 0;
      if (t.type == value_type::floating && parse_float_text(c.child_value(), f))
        return formula_float(f);
      if (parse_integer_text(c.child_value(), i)) return formula_int(i);
      fail(n, std::string("bad ") + literal);
    }
    if ((t.holds_value() || t.is_converter()) && n.xml.child("pValue") && !n.xml.child("pIndex"))
      return bound(nodes->find(trimmed(n.xml.child_value("pValue"))), literal, pointer, upper);
    if (t.is_register() && t.type == value_type::integer) {
      const std::size_t len = length(id);
      unsigned bits = static_cast<unsigned>(len * 8);
      if (t.is_masked()) {
        unsigned low = 0, high = 0;
        mask_bits(id, len, low, high);
        bits = high - low + 1;
      }
      if (bits >= 64)
        return formula_int(upper ? std::numeric_limits<std::int64_t>::max()
                                 : (is_signed(id) ? std::numeric_limits<std::int64_t>::min() : 0));
      if (is_signed(id))
        return formula_int(upper ? (std::int64_t{1} << (bits - 1)) - 1
                                 : -(std::int64_t{1} << (bits - 1)));
      return formula_int(upper ? static_cast<std::int64_t>((std::uint64_t{1} << bits) - 1) : 0);
    }
    if (t.type == value_type::floating)
      return formula_float(upper ? std::numeric_limits<double>::max()
                                 : std::numeric_limits<double>::lowest());
    return formula_int(upper ? std::numeric_limits<std::int64_t>::max()
                             : std::numeric_limits<std::int64_t>::min());
  }
  formula_value minimum(node_id id) { return bound(id, "Min", "pMin", false); }
  formula_value maximum(node_id id) { return bound(id, "Max", "pMax", true); }
  std::int64_t increment(node_id id) {
    if (const auto p = nodes->ref(id, "pInc")) return number(*p).as_int();
    return literal_int(id, "Inc", 1);
  }

  // ----- values

  // Where a value node's value is: another node, or a literal (Value,
  // ValueIndexed, ValueDefault) that a write replaces. With pIndex, the
  // selector's current value picks the entry.
  struct value_slot {
    std::optional<node_id> target;
    pugi::xml_node literal;
    written_key key;
  };
  value_slot slot(node_id id) {
    const node_record &n = at(id);
    const bool indexable = n.kind == node_kind::integer || n.kind == node_kind::float_number ||
                           n.kind == node_kind::enumeration;
    if (const pugi::xml_node p = n.xml.child("pIndex"); indexable && p) {
      const std::int64_t index = number(nodes->find(trimmed(p.child_value()))).as_int();
      for (pugi::xml_node c : n.xml.children()) {
        const std::string_view e = c.name();
        if (e != "ValueIndexed" && e != "pValueIndexed") continue;
        std::int64_t at_index = 0;
        if (!parse_integer_text(c.attribute("Index").value(), at_index))
          fail(n, "bad Index of " + std::string(e));
        if (at_index != index) continue;
        if (e == "pValueIndexed") return {nodes->find(trimmed(c.child_value())), {}, {}};
        return {std::nullopt, c, {id, slot_of_value::indexed, index}};
      }
      if (const pugi::xml_node d = n.xml.child("pValueDefault"))
        return {nodes->find(trimmed(d.child_value())), {}, {}};
      if (const pugi::xml_node d = n.xml.child("ValueDefault"))
        return {std::nullopt, d, {id, slot_of_value::fallback, 0}};
      fail(n, "no value for index " + std::to_string(index) + " of " + p.child_value());
    }
    if (const pugi::xml_node p = n.xml.child("pValue"))
      return {nodes->find(trimmed(p.child_value())), {}, {}};
    if (const pugi::xml_node v = n.xml.child("Value"))
      return {std::nullopt, v, {id, slot_of_value::plain, 0}};
    if (n.kind == node_kind::command) fail(n, "a command has no value to read");
    fail(n, "neither Value nor pValue");
  }
  formula_value held_value(node_id id) {
    const value_slot s = slot(id);
    if (s.target) return number(*s.target);
    if (const auto it = written.find(s.key); it != written.end()) return it->second;
    std::int64_t i = 0;
    double f = 0;
    if (parse_integer_text(s.literal.child_value(), i)) return formula_int(i);
    if (parse_float_text(s.literal.child_value(), f)) return formula_float(f);
    fail(at(id), std::string("bad ") + s.literal.name());
  }

  formula_value number(node_id id) {
    return memoised(values, id, [&] {
      guard g(*this, id);
      return compute_number(id);
    });
  }
  formula_value compute_number(node_id id) {
    const node_record &n = at(id);
    const kind_traits &t = traits(n.kind);
    if (t.type == value_type::text) fail(n, "a text, not a number");
    if (t.type == value_type::bytes) fail(n, "a block of bytes, not a number");
    if (t.holds_value()) {
      const formula_value v = held_value(id);
      return t.type == value_type::floating ? formula_float(v.as_double())
                                            : formula_int(v.as_int());
    }
    switch (n.kind) {
      case node_kind::enum_entry: {
        std::int64_t v = 0;
        if (!parse_integer_text(n.xml.child_value("Value"), v)) fail(n, "entry without a value");
        return formula_int(v);
      }
      case node_kind::int_reg:
      case node_kind::masked_int_reg:
      case node_kind::struct_entry:
        return formula_int(read_int_register(id));
      case node_kind::float_reg:
        return formula_float(read_float_register(id));
      case node_kind::int_swiss_knife:
      case node_kind::swiss_knife: {
        const formula_value v = evaluate_in(id, n.xml, n.xml.child_value("Formula"));
        return t.type == value_type::floating ? formula_float(v.as_double())
                                              : formula_int(v.as_int());
      }
      case node_kind::int_converter:
      case node_kind::converter: {
        const auto p = nodes->ref(id, "pValue");
        if (!p) fail(n, "converter without pValue");
        const formula_value v =
            evaluate_in(id, n.xml, n.xml.child_value("FormulaFrom"), "TO", number(*p));
        return t.type == value_type::floating ? formula_float(v.as_double())
                                              : formula_int(v.as_int());
      }
      default:
        unsupported(n);
    }
  }

  // ----- writing

  void check_range(node_id id, const formula_value &v) {
    const formula_value lo = minimum(id), hi = maximum(id);
    if (v.is_float || lo.is_float || hi.is_float) {
      if (v.as_double() < lo.as_double() || v.as_double() > hi.as_double())
        fail(at(id), "value out of range [" + show(lo) + ", " + show(hi) + "]");
      return;
    }
    if (v.i < lo.i || v.i > hi.i)
      fail(at(id), "value out of range [" + show(lo) + ", " + show(hi) + "]");
    const std::int64_t inc = increment(id);
    if (inc > 1 && (static_cast<std::uint64_t>(v.i) - static_cast<std::uint64_t>(lo.i)) %
                           static_cast<std::uint64_t>(inc) !=
                       0)
      fail(at(id), "value must be " + show(lo) + " plus a multiple of " + std::to_string(inc));
  }

  // Only the feature asked for answers for its availability and lock: the
  // nodes it is built from are its own business.
  void check_usable(node_id id) {
    check_on_device(id);
    if (!available(id)) fail(at(id), "not available now");
    if (locked(id)) fail(at(id), "locked");
  }

  void set_number(node_id id, formula_value v) {
    guard g(*this, id);
    const node_record &n = at(id);
    const kind_traits &t = traits(n.kind);
    touched.push_back(id);
    if (t.holds_value() && t.type != value_type::text) {
      if (n.kind == node_kind::integer) {
        v = formula_int(v.as_int());
        check_range(id, v);
      } else if (n.kind == node_kind::float_number) {
        v = formula_float(v.as_double());
        check_range(id, v);
      }
      const value_slot s = slot(id);
      if (s.target) return set_number(*s.target, v);
      written[s.key] = v;
      return;
    }
    switch (n.kind) {
      case node_kind::int_reg:
      case node_kind::masked_int_reg:
      case node_kind::struct_entry: {
        if (register_mode(id) == "RO") fail(n, "read-only");
        const std::int64_t i = v.as_int();
        const formula_value lo = minimum(id), hi = maximum(id);
        if (i < lo.i || i > hi.i) fail(n, "value does not fit the register");
        const std::size_t len = length(id);
        if (len > 8) fail(n, "integer register longer than 8 bytes");
        if (!t.is_masked()) return write_raw(id, static_cast<std::uint64_t>(i), len);
        unsigned low = 0, high = 0;
        mask_bits(id, len, low, high);
        // The other bits of the register belong to other features: keep them.
        std::size_t read_len = 0;
        const std::uint64_t old = register_mode(id) == "WO" ? 0 : read_raw(id, read_len);
        const std::uint64_t mask = field_mask(low, high) << low;
        return write_raw(id, (old & ~mask) | ((static_cast<std::uint64_t>(i) << low) & mask), len);
      }
      case node_kind::float_reg: {
        if (register_mode(id) == "RO") fail(n, "read-only");
        const std::size_t len = length(id);
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
        return write_raw(id, raw, len);
      }
      case node_kind::int_converter:
      case node_kind::converter: {
        const auto p = nodes->ref(id, "pValue");
        if (!p) fail(n, "converter without pValue");
        if (n.kind == node_kind::int_converter) v = formula_int(v.as_int());
        check_range(id, v);
        return set_number(*p, evaluate_in(id, n.xml, n.xml.child_value("FormulaTo"), "FROM", v));
      }
      case node_kind::int_swiss_knife:
      case node_kind::swiss_knife:
        fail(n, "read-only (a formula)");
      default:
        if (t.type == value_type::text) fail(n, "a text, not a number");
        unsupported(n);
    }
  }

  // What the write went through makes stale what names it in pInvalidator,
  // and what names those, in turn; every worked-out value is recomputed.
  void after_write() {
    std::unordered_set<node_id> stale;
    std::vector<node_id> queue = std::move(touched);
    touched.clear();
    while (!queue.empty()) {
      const node_id x = queue.back();
      queue.pop_back();
      for (node_id y : nodes->invalidated_by_writing(x))
        if (stale.insert(y).second) queue.push_back(y);
    }
    for (node_id r : reachable(std::vector<node_id>(stale.begin(), stale.end())))
      if (const auto it = read_ranges.find(r); it != read_ranges.end()) regs.forget(it->second);
    ++epoch;
  }
  template <typename F>
  void writing(F &&write) {
    try {
      write();
    } catch (...) {
      after_write();
      throw;
    }
    after_write();
  }

  // Every node reading these may involve.
  std::vector<node_id> reachable(const std::vector<node_id> &from) const {
    std::vector<bool> seen(nodes->size());
    std::vector<node_id> out, stack = from;
    while (!stack.empty()) {
      const node_id x = stack.back();
      stack.pop_back();
      if (seen[x]) continue;
      seen[x] = true;
      out.push_back(x);
      nodes->for_each_read_ref(x, [&](node_id r) {
        if (!seen[r]) stack.push_back(r);
      });
    }
    return out;
  }

  // ----- strings

  std::string string_value(node_id id) {
    guard g(*this, id);
    const node_record &n = at(id);
    if (n.kind == node_kind::string) {
      if (const auto it = written_text.find(id); it != written_text.end()) return it->second;
      if (const auto p = nodes->ref(id, "pValue")) return string_value(*p);
      return n.xml.child_value("Value");
    }
    if (n.kind == node_kind::string_reg) {
      std::string s;
      for (std::byte c : read_bytes(id)) {
        if (c == std::byte{0}) break;
        s.push_back(static_cast<char>(c));
      }
      return s;
    }
    fail(n, "not a text");
  }
  void set_string(node_id id, std::string_view s) {
    guard g(*this, id);
    const node_record &n = at(id);
    touched.push_back(id);
    if (n.kind == node_kind::string) {
      if (const auto p = nodes->ref(id, "pValue")) return set_string(*p, s);
      written_text[id] = std::string(s);
      return;
    }
    if (n.kind == node_kind::string_reg) {
      if (register_mode(id) == "RO") fail(n, "read-only");
      const std::size_t len = length(id);
      if (s.size() > len)
        fail(n, "text longer than the register's " + std::to_string(len) + " bytes");
      std::vector<std::byte> b(len, std::byte{0});
      for (std::size_t i = 0; i < s.size(); ++i) b[i] = std::byte(static_cast<unsigned char>(s[i]));
      return write_bytes(id, b);
    }
    fail(n, "not a text");
  }

  // ----- access

  // RO, RW or WO as the node's chain of values says, whatever the
  // availability of the nodes in it.
  std::string mode(node_id id) {
    guard g(*this, id);
    const node_record &n = at(id);
    const kind_traits &t = traits(n.kind);
    std::string a;
    if (t.is_register()) {
      a = register_mode(id);
    } else if (t.is_formula() && !t.is_converter()) {
      a = "RO";
    } else if (n.kind == node_kind::enum_entry) {
      a = "RO";
    } else if (t.holds_value() || t.is_converter()) {
      const value_slot s =
          t.is_converter() ? value_slot{nodes->ref(id, "pValue"), {}, {}} : slot(id);
      a = s.target ? mode(*s.target) : "RW";
    }
    const std::string_view imposed = text(id, "ImposedAccessMode");
    if (a == "RW" && (imposed == "RO" || imposed == "WO")) a = imposed;
    return a;
  }
  std::string access_of(node_id id) {
    if (!available(id)) return "NA";
    std::string a = mode(id);
    if (a == "RW" && locked(id)) a = "RO";
    return a;
  }
  // Without reading anything: for values the camera does not hold.
  std::string static_mode(node_id id, int depth_left = max_depth) const {
    const node_record &n = at(id);
    const kind_traits &t = traits(n.kind);
    if (t.is_register()) return register_mode(id);
    if (t.is_formula() && !t.is_converter()) return "RO";
    const pugi::xml_node p = n.xml.child("pValue");
    if ((t.holds_value() || t.is_converter()) && p && depth_left > 0) {
      if (const auto target = nodes->lookup(trimmed(p.child_value())))
        return static_mode(*target, depth_left - 1);
    }
    return t.holds_value() && !n.xml.child("pIndex") ? "RW" : "";
  }

  // ----- features

  std::string value_text(node_id id) {
    const node_record &n = at(id);
    switch (n.kind) {
      case node_kind::category:
        fail(n, "a category, not a feature");
      case node_kind::port:
        fail(n, "a port, not a value");
      case node_kind::other:
        unsupported(n);
      case node_kind::command:
        check_on_device(id);
        return "(command)";
      default:
        break;
    }
    check_on_device(id);
    if (!available(id)) fail(n, "not available now");
    switch (n.kind) {
      case node_kind::enumeration: {
        const std::int64_t v = number(id).as_int();
        for (pugi::xml_node e : n.xml.children("EnumEntry")) {
          std::int64_t ev = 0;
          if (parse_integer_text(e.child_value("Value"), ev) && ev == v) {
            const char *symbolic = e.child_value("Symbolic");
            return *symbolic != '\0' ? symbolic : e.attribute("Name").value();
          }
        }
        return "(no entry for " + std::to_string(v) + ")";
      }
      case node_kind::boolean:
        return number(id).as_int() == literal_int(id, "OnValue", 1) ? "true" : "false";
      case node_kind::string:
      case node_kind::string_reg:
        return string_value(id);
      case node_kind::register_block: {
        std::string hex = "0x";
        char b[3];
        for (std::byte c : read_bytes(id)) {
          std::snprintf(b, sizeof b, "%02x", std::to_integer<unsigned>(c));
          hex += b;
        }
        return hex;
      }
      default: {
        const formula_value v = number(id);
        return traits(n.kind).type == value_type::floating ? show(formula_float(v.as_double()))
                                                           : std::to_string(v.as_int());
      }
    }
  }

  feature_info info(node_id id) {
    const node_record &n = at(id);
    feature_info f{std::string(n.name), n.xml.name(), "", "-", {}};
    for (node_id s : nodes->selectors_of(id)) f.selectors.emplace_back(at(s).name);
    if (n.kind == node_kind::other) {
      f.value = std::string("(camctl does not evaluate ") + n.xml.name() + " nodes)";
      return f;
    }
    if (n.kind == node_kind::port) {
      f.value = "(a port, not a value)";
      return f;
    }
    if (const data_source s = nodes->source(id); s != data_source::device) {
      f.access = static_mode(id);
      f.value = std::string("(") + source_text(s) + ")";
      return f;
    }
    try {
      f.access = access_of(id);
      if (f.access == "RO" || f.access == "RW") f.value = value_text(id);
    } catch (const description_error &e) {
      f.value = std::string("(") + e.what() + ")";
    } catch (const formula_error &e) {
      f.value = std::string("(") + e.what() + ")";
    }
    return f;
  }

  // Reads ahead, in as few exchanges as adjacency allows, the registers
  // these features read. Addresses that depend on other registers are
  // known once those are in: a few rounds settle them.
  void prefetch(const std::vector<node_id> &features) {
    std::vector<node_id> pending;
    for (node_id r : reachable(features)) {
      const kind_traits &t = traits(at(r).kind);
      if (t.is_register() && nodes->source(r) == data_source::device && register_mode(r) != "WO")
        pending.push_back(r);
    }
    for (int round = 0; round < 4 && !pending.empty(); ++round) {
      std::vector<std::pair<register_range, bool>> wanted;
      std::vector<node_id> later;
      regs.offline = true;
      for (node_id r : pending) {
        try {
          wanted.push_back({range(r), !changes_by_itself(r)});
        } catch (const needs_read &) {
          later.push_back(r);
        } catch (const description_error &) {
        } catch (const formula_error &) {
        }
      }
      regs.offline = false;
      volatile_seen = false;
      depth = 0;
      if (wanted.empty()) return;
      regs.prefetch(std::move(wanted));
      pending = std::move(later);
    }
  }
};

description::description(std::string_view xml, register_port &port)
    : d_(std::make_unique<impl>(port)) {
  const pugi::xml_parse_result r = d_->doc.load_buffer(xml.data(), xml.size());
  if (!r)
    throw description_error(std::string("the device description is not valid XML: ") +
                            r.description());
  const pugi::xml_node root = d_->doc.child("RegisterDescription");
  if (!root) throw description_error("the device description has no RegisterDescription");
  d_->nodes.emplace(root);
  d_->values.resize(d_->nodes->size());
  d_->availability.resize(d_->nodes->size());
}

description::~description() = default;

bool description::has(std::string_view feature) const {
  return d_->nodes->lookup(feature).has_value();
}

std::int64_t description::get_int(std::string_view feature) try {
  d_->begin();
  const node_id id = d_->nodes->find(feature);
  d_->check_on_device(id);
  return d_->number(id).as_int();
} catch (const formula_error &e) {
  throw description_error(std::string(feature) + ": " + e.what());
}

std::string description::get(std::string_view feature) try {
  d_->begin();
  const node_id id = d_->nodes->find(feature);
  if (d_->nodes->source(id) == data_source::device) d_->prefetch({id});
  return d_->value_text(id);
} catch (const formula_error &e) {
  throw description_error(std::string(feature) + ": " + e.what());
}

void description::set(std::string_view feature, std::string_view value) try {
  d_->begin();
  const node_id id = d_->nodes->find(feature);
  const node_record &n = d_->at(id);
  const kind_traits &t = traits(n.kind);
  if (n.kind == node_kind::command) return execute(feature);
  if (n.kind == node_kind::other) unsupported(n);
  if (t.type == value_type::none || t.type == value_type::bytes) fail(n, "cannot be set");
  d_->check_usable(id);
  if (n.kind == node_kind::enumeration) {
    std::int64_t number = 0;
    const bool numeric = parse_integer_text(value, number);
    for (pugi::xml_node e : n.xml.children("EnumEntry")) {
      std::int64_t ev = 0;
      const bool has_value = parse_integer_text(e.child_value("Value"), ev);
      if (value != e.attribute("Name").value() && value != e.child_value("Symbolic") &&
          !(numeric && has_value && ev == number))
        continue;
      if (!d_->flags_allow(e, "pIsImplemented") || !d_->flags_allow(e, "pIsAvailable"))
        fail(n, "entry " + std::string(value) + " is not available now");
      if (!has_value) fail(n, "entry without a value");
      return d_->writing([&] { d_->set_number(id, formula_int(ev)); });
    }
    std::string names;
    for (pugi::xml_node e : n.xml.children("EnumEntry"))
      names += std::string(names.empty() ? "" : ", ") + e.attribute("Name").value();
    fail(n, "no entry " + std::string(value) + " (entries: " + names + ")");
  }
  if (n.kind == node_kind::boolean) {
    bool on;
    if (value == "true" || value == "1" || value == "on") {
      on = true;
    } else if (value == "false" || value == "0" || value == "off") {
      on = false;
    } else {
      fail(n, "want true or false, not " + std::string(value));
    }
    const std::int64_t raw =
        on ? d_->literal_int(id, "OnValue", 1) : d_->literal_int(id, "OffValue", 0);
    return d_->writing([&] { d_->set_number(id, formula_int(raw)); });
  }
  if (t.type == value_type::text) return d_->writing([&] { d_->set_string(id, value); });
  if (t.type == value_type::floating) {
    double f = 0;
    if (!parse_float_text(value, f)) fail(n, "not a number: " + std::string(value));
    return d_->writing([&] { d_->set_number(id, formula_float(f)); });
  }
  std::int64_t i = 0;
  if (!parse_integer_text(value, i)) fail(n, "not an integer: " + std::string(value));
  d_->writing([&] { d_->set_number(id, formula_int(i)); });
} catch (const formula_error &e) {
  throw description_error(std::string(feature) + ": " + e.what());
}

void description::execute(std::string_view command) try {
  d_->begin();
  const node_id id = d_->nodes->find(command);
  const node_record &n = d_->at(id);
  if (n.kind != node_kind::command) fail(n, "not a command");
  d_->check_usable(id);
  std::int64_t v = d_->literal_int(id, "CommandValue", 1);
  if (const auto p = d_->nodes->ref(id, "pCommandValue")) v = d_->number(*p).as_int();
  const auto p = d_->nodes->ref(id, "pValue");
  if (!p) fail(n, "command without pValue");
  d_->writing([&] { d_->set_number(*p, formula_int(v)); });
} catch (const formula_error &e) {
  throw description_error(std::string(command) + ": " + e.what());
}

std::string description::access(std::string_view feature) try {
  d_->begin();
  const node_id id = d_->nodes->find(feature);
  if (d_->nodes->source(id) != data_source::device) return d_->static_mode(id);
  return d_->access_of(id);
} catch (const formula_error &e) {
  throw description_error(std::string(feature) + ": " + e.what());
}

std::vector<feature_info> description::features() {
  d_->begin();
  const auto root = d_->nodes->root();
  if (!root || d_->at(*root).kind != node_kind::category)
    throw description_error(
        "the description has no Root category: camctl cannot tell its features from its "
        "internal nodes");
  // The features in the categories' order, each once; a name no node
  // answers to is listed too, as such.
  struct listed {
    std::string name;
    std::optional<node_id> id;
  };
  std::vector<listed> order;
  std::vector<bool> seen(d_->nodes->size());
  std::set<std::string, std::less<>> missing;
  const auto walk = [&](node_id category, auto &&self) -> void {
    seen[category] = true;
    for (pugi::xml_node f : d_->at(category).xml.children("pFeature")) {
      const std::string_view name = trimmed(f.child_value());
      const auto id = d_->nodes->lookup(name);
      if (!id) {
        if (missing.emplace(name).second) order.push_back({std::string(name), std::nullopt});
        continue;
      }
      if (seen[*id]) continue;
      if (d_->at(*id).kind == node_kind::category) {
        self(*id, self);
      } else {
        seen[*id] = true;
        order.push_back({std::string(name), *id});
      }
    }
  };
  walk(*root, walk);
  std::vector<node_id> readable;
  for (const listed &l : order)
    if (l.id && d_->nodes->source(*l.id) == data_source::device) readable.push_back(*l.id);
  d_->prefetch(readable);
  std::vector<feature_info> out;
  for (const listed &l : order) {
    if (l.id) {
      out.push_back(d_->info(*l.id));
    } else {
      out.push_back({l.name, "?", "", "(no node of this name in the description)", {}});
    }
  }
  return out;
}
