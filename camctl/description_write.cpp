#include <cstring>
#include <unordered_set>

#include "description_impl_internal.h"

void description::impl::check_range(node_id id, const formula_value &v) {
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

void description::impl::check_usable(node_id id) {
  check_on_device(id);
  if (!available(id)) fail(at(id), "not available now");
  if (locked(id)) fail(at(id), "locked");
}

void description::impl::set_number(node_id id, formula_value v) {
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

void description::impl::after_write() {
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

std::vector<node_id> description::impl::reachable(const std::vector<node_id> &from) const {
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

void description::impl::set_string(node_id id, std::string_view s) {
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

void description::set(std::string_view feature, std::string_view value) try {
  d_->begin();
  const node_id id = d_->nodes->find(feature);
  const node_record &n = d_->at(id);
  const kind_traits &t = traits(n.kind);
  if (n.kind == node_kind::command) return execute(feature);
  if (n.kind == node_kind::other) impl::unsupported(n);
  if (t.type == value_type::none || t.type == value_type::bytes) impl::fail(n, "cannot be set");
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
        impl::fail(n, "entry " + std::string(value) + " is not available now");
      if (!has_value) impl::fail(n, "entry without a value");
      return d_->writing([&] { d_->set_number(id, formula_int(ev)); });
    }
    std::string names;
    for (pugi::xml_node e : n.xml.children("EnumEntry"))
      names += std::string(names.empty() ? "" : ", ") + e.attribute("Name").value();
    impl::fail(n, "no entry " + std::string(value) + " (entries: " + names + ")");
  }
  if (n.kind == node_kind::boolean) {
    bool on;
    if (value == "true" || value == "1" || value == "on") {
      on = true;
    } else if (value == "false" || value == "0" || value == "off") {
      on = false;
    } else {
      impl::fail(n, "want true or false, not " + std::string(value));
    }
    const std::int64_t raw =
        on ? d_->literal_int(id, "OnValue", 1) : d_->literal_int(id, "OffValue", 0);
    return d_->writing([&] { d_->set_number(id, formula_int(raw)); });
  }
  if (t.type == value_type::text) return d_->writing([&] { d_->set_string(id, value); });
  if (t.type == value_type::floating) {
    double f = 0;
    if (!parse_float_text(value, f)) impl::fail(n, "not a number: " + std::string(value));
    return d_->writing([&] { d_->set_number(id, formula_float(f)); });
  }
  std::int64_t i = 0;
  if (!parse_integer_text(value, i)) impl::fail(n, "not an integer: " + std::string(value));
  d_->writing([&] { d_->set_number(id, formula_int(i)); });
} catch (const formula_error &e) {
  throw description_error(std::string(feature) + ": " + e.what());
}

void description::execute(std::string_view command) try {
  d_->begin();
  const node_id id = d_->nodes->find(command);
  const node_record &n = d_->at(id);
  if (n.kind != node_kind::command) impl::fail(n, "not a command");
  d_->check_usable(id);
  std::int64_t v = d_->literal_int(id, "CommandValue", 1);
  if (const auto p = d_->nodes->ref(id, "pCommandValue")) v = d_->number(*p).as_int();
  const auto p = d_->nodes->ref(id, "pValue");
  if (!p) impl::fail(n, "command without pValue");
  d_->writing([&] { d_->set_number(*p, formula_int(v)); });
} catch (const formula_error &e) {
  throw description_error(std::string(command) + ": " + e.what());
}
