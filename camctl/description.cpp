#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "description_impl_internal.h"

namespace {

// A register of more than this is not a register but a broken description.
constexpr std::int64_t max_register_bytes = 1 << 20;

}  // namespace

[[noreturn]] void description::impl::fail(const node_record &n, const std::string &what) {
  throw description_error(std::string(n.name) + ": " + what);
}

[[noreturn]] void description::impl::unsupported(const node_record &n) {
  throw description_error(std::string("node ") + std::string(n.name) + " is of kind " +
                          n.xml.name() + ", which camctl does not evaluate");
}

std::string description::impl::show(const formula_value &v) {
  if (!v.is_float) return std::to_string(v.i);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v.f);
  return buf;
}

const char *description::impl::source_text(data_source s) {
  return s == data_source::chunk ? "only in a block's chunk data" : "only in an event";
}

void description::impl::begin() {
  ++operation;
  regs.next_operation();
  volatile_seen = false;
  depth = 0;
}

std::int64_t description::impl::literal_int(node_id id, const char *name,
                                            std::int64_t fallback) const {
  const pugi::xml_node c = nodes->element(id, name);
  if (!c) return fallback;
  std::int64_t v = 0;
  if (!parse_integer_text(c.child_value(), v)) fail(at(id), std::string("bad ") + name);
  return v;
}

std::string_view description::impl::text(node_id id, const char *name,
                                         std::string_view fallback) const {
  const pugi::xml_node c = nodes->element(id, name);
  return c ? trimmed(c.child_value()) : fallback;
}

bool description::impl::available(node_id id) {
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

bool description::impl::flags_allow(pugi::xml_node holder, const char *p) {
  for (pugi::xml_node c = holder.child(p); c; c = c.next_sibling(p))
    if (number(nodes->find(trimmed(c.child_value()))).as_int() == 0) return false;
  return true;
}

bool description::impl::locked(node_id id) {
  const auto p = nodes->ref(id, "pIsLocked");
  return p && number(*p).as_int() != 0;
}

std::uint64_t description::impl::address(node_id id) {
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
        if (!parse_integer_text(c.attribute("Offset").value(), step)) fail(n, "bad pIndex Offset");
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

std::size_t description::impl::length(node_id id) {
  std::int64_t len = literal_int(id, "Length", -1);
  if (const auto p = nodes->ref(id, "pLength")) len = number(*p).as_int();
  if (len <= 0 || len > max_register_bytes) fail(at(id), "register length missing or out of range");
  return static_cast<std::size_t>(len);
}

bool description::impl::changes_by_itself(node_id id) const {
  return text(id, "Cachable") == "NoCache" || nodes->element(id, "PollingTime");
}

void description::impl::check_on_device(node_id id) {
  const data_source s = nodes->source(id);
  if (s != data_source::device)
    fail(at(id), std::string(source_text(s)) + ", not in the camera's registers");
}

std::vector<std::byte> description::impl::read_bytes(node_id id) {
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

void description::impl::write_bytes(node_id id, std::span<const std::byte> data) {
  check_on_device(id);
  // WriteThrough (the default) reads back what was written; WriteAround
  // does not: read it again.
  const bool keep = !changes_by_itself(id) && text(id, "Cachable") != "WriteAround";
  regs.write({address(id), data.size()}, data, keep);
}

std::uint64_t description::impl::read_raw(node_id id, std::size_t &len) {
  const std::vector<std::byte> b = read_bytes(id);
  len = b.size();
  if (len > 8) fail(at(id), "integer register longer than 8 bytes");
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < len; ++i)
    v = (v << 8) | std::to_integer<std::uint64_t>(b[big_endian(id) ? i : len - 1 - i]);
  return v;
}

void description::impl::write_raw(node_id id, std::uint64_t v, std::size_t len) {
  std::vector<std::byte> b(len);
  for (std::size_t i = 0; i < len; ++i)
    b[big_endian(id) ? len - 1 - i : i] = std::byte(static_cast<std::uint8_t>(v >> (8 * i)));
  write_bytes(id, b);
}

std::int64_t description::impl::sign_extend(std::uint64_t v, unsigned bits) {
  if (bits >= 64) return static_cast<std::int64_t>(v);
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  return static_cast<std::int64_t>((v ^ sign) - sign);
}

void description::impl::mask_bits(node_id id, std::size_t len, unsigned &low, unsigned &high) {
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

std::uint64_t description::impl::field_mask(unsigned low, unsigned high) {
  const unsigned bits = high - low + 1;
  return bits >= 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << bits) - 1);
}

std::int64_t description::impl::read_int_register(node_id id) {
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

double description::impl::read_float_register(node_id id) {
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

formula_value description::impl::evaluate_in(node_id id, pugi::xml_node holder,
                                             std::string_view formula, const char *extra_name,
                                             formula_value extra) {
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

formula_value description::impl::variable(
    node_id id, pugi::xml_node holder, std::string_view name, const char *extra_name,
    const formula_value &extra, std::map<std::string, formula_value, std::less<>> &expressions,
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

formula_value description::impl::property(node_id id, std::string_view prop) {
  if (prop == "Min") return minimum(id);
  if (prop == "Max") return maximum(id);
  if (prop == "Inc") return formula_int(increment(id));
  if (prop == "Value") return number(id);
  fail(at(id), "unknown property " + std::string(prop));
}

formula_value description::impl::bound(node_id id, const char *literal, const char *pointer,
                                       bool upper) {
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

std::int64_t description::impl::increment(node_id id) {
  if (const auto p = nodes->ref(id, "pInc")) return number(*p).as_int();
  return literal_int(id, "Inc", 1);
}

description::impl::value_slot description::impl::slot(node_id id) {
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

formula_value description::impl::held_value(node_id id) {
  const value_slot s = slot(id);
  if (s.target) return number(*s.target);
  if (const auto it = written.find(s.key); it != written.end()) return it->second;
  std::int64_t i = 0;
  double f = 0;
  if (parse_integer_text(s.literal.child_value(), i)) return formula_int(i);
  if (parse_float_text(s.literal.child_value(), f)) return formula_float(f);
  fail(at(id), std::string("bad ") + s.literal.name());
}

formula_value description::impl::number(node_id id) {
  return memoised(values, id, [&] {
    guard g(*this, id);
    return compute_number(id);
  });
}

formula_value description::impl::compute_number(node_id id) {
  const node_record &n = at(id);
  const kind_traits &t = traits(n.kind);
  if (t.type == value_type::text) fail(n, "a text, not a number");
  if (t.type == value_type::bytes) fail(n, "a block of bytes, not a number");
  if (t.holds_value()) {
    const formula_value v = held_value(id);
    return t.type == value_type::floating ? formula_float(v.as_double()) : formula_int(v.as_int());
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

std::string description::impl::string_value(node_id id) {
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
