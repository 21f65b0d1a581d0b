#include <cstdio>
#include <set>

#include "description_impl_internal.h"

std::string description::impl::mode(node_id id) {
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
    const value_slot s = t.is_converter() ? value_slot{nodes->ref(id, "pValue"), {}, {}} : slot(id);
    a = s.target ? mode(*s.target) : "RW";
  }
  const std::string_view imposed = text(id, "ImposedAccessMode");
  if (a == "RW" && (imposed == "RO" || imposed == "WO")) a = imposed;
  return a;
}

std::string description::impl::access_of(node_id id) {
  if (!available(id)) return "NA";
  std::string a = mode(id);
  if (a == "RW" && locked(id)) a = "RO";
  return a;
}

std::string description::impl::static_mode(node_id id, int depth_left) const {
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

std::string description::impl::value_text(node_id id) {
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

feature_info description::impl::info(node_id id) {
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

void description::impl::prefetch(const std::vector<node_id> &features) {
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
