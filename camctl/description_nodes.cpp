#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "description_nodes_internal.h"

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool parse_integer_text(std::string_view text, std::int64_t &out) {
  std::string s(trimmed(text));
  if (s.empty()) return false;
  const bool negative = s[0] == '-';
  if (negative || s[0] == '+') s = s.substr(1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s = s.substr(2);
  }
  if (s.empty() || !std::isxdigit(static_cast<unsigned char>(s[0]))) return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, base);
  if (errno != 0 || *end != '\0') return false;
  if (negative && v > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()) + 1)
    return false;
  out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
  return true;
}

bool parse_float_text(std::string_view text, double &out) {
  const std::string s(trimmed(text));
  char *end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return !s.empty() && end != s.c_str() && *end == '\0' && std::isfinite(out);
}

std::uint8_t ref_element_sets(std::string_view e) {
  constexpr std::uint8_t value = node_table::value_refs, read = node_table::read_refs;
  struct row {
    std::string_view element;
    std::uint8_t sets;
  };
  static constexpr row rows[] = {
      {"pValue", value | read},
      {"pVariable", value | read},
      {"pValueIndexed", value | read},
      {"pValueDefault", value | read},
      {"pIndex", read},
      {"pAddress", read},
      {"pLength", read},
      {"pIsAvailable", read},
      {"pIsImplemented", read},
      {"pIsLocked", read},
  };
  for (const row &r : rows)
    if (r.element == e) return r.sets;
  return 0;
}

namespace {

node_kind parse_kind(std::string_view element) {
  for (const kind_traits &t : kind_table)
    if (!t.element.empty() && t.element == element) return t.kind;
  return node_kind::other;
}

}  // namespace

node_table::node_table(pugi::xml_node register_description) {
  collect(register_description);
  // Entries come last: they are nodes too (formulas compare with them), but
  // never hide a node of the same name.
  const std::size_t before = nodes_.size();
  for (std::size_t i = 0; i < before; ++i) {
    if (nodes_[i].kind != node_kind::enumeration) continue;
    for (pugi::xml_node e : nodes_[i].xml.children("EnumEntry")) add(e, node_kind::enum_entry);
  }
  for (node_id id = 0; id < nodes_.size(); ++id) {
    for (pugi::xml_node c : nodes_[id].xml.children()) {
      const std::string_view e = c.name();
      if (e != "pSelected" && e != "pInvalidator") continue;
      const auto target = lookup(trimmed(c.child_value()));
      if (!target) continue;
      (e == "pSelected" ? selectors_ : invalidated_by_)[*target].push_back(id);
    }
  }
  source_.assign(nodes_.size(), 0);
}

void node_table::add(pugi::xml_node n, node_kind kind) {
  const std::string_view name = n.attribute("Name").value();
  if (name.empty() || by_name_.count(name) != 0) return;
  by_name_.emplace(name, static_cast<node_id>(nodes_.size()));
  nodes_.push_back({kind, n, name});
}

// Groups carry no meaning for evaluation: makers wrap anything in them,
// Root included, nested as deep as they like.
void node_table::collect(pugi::xml_node container) {
  for (pugi::xml_node n : container.children()) {
    if (n.type() != pugi::node_element) continue;
    const std::string_view element = n.name();
    if (element == "Group") {
      collect(n);
    } else if (element == "StructReg") {
      // The StructReg itself has no name in most files: only its entries
      // are nodes.
      for (pugi::xml_node e : n.children("StructEntry")) add(e, node_kind::struct_entry);
    } else {
      add(n, parse_kind(element));
    }
  }
}

std::optional<node_id> node_table::lookup(std::string_view name) const {
  const auto it = by_name_.find(name);
  if (it == by_name_.end()) return std::nullopt;
  return it->second;
}

node_id node_table::find(std::string_view name) const {
  if (const auto id = lookup(name)) return *id;
  throw description_error("no feature or node named " + std::string(name));
}

pugi::xml_node node_table::element(node_id id, const char *name) const {
  const node_record &n = nodes_[id];
  pugi::xml_node c = n.xml.child(name);
  if (!c && n.kind == node_kind::struct_entry) c = n.xml.parent().child(name);
  return c;
}

std::optional<node_id> node_table::ref(node_id id, const char *name) const {
  const pugi::xml_node c = element(id, name);
  if (!c) return std::nullopt;
  return find(trimmed(c.child_value()));
}

data_source node_table::source(node_id id, int depth) const {
  std::uint8_t &s = source_[id];
  if (s >= 2) return static_cast<data_source>(s - 2);
  // A cycle, or a chain deeper than evaluation goes: evaluation reports it.
  if (s == 1 || depth > max_depth) return data_source::device;
  s = 1;
  data_source found = data_source::device;
  const auto worse = [&](data_source d) {
    if (d != data_source::device && found == data_source::device) found = d;
  };
  if (traits(nodes_[id].kind).is_register()) {
    const pugi::xml_node p = element(id, "pPort");
    const auto port = p ? lookup(trimmed(p.child_value())) : std::nullopt;
    if (port && nodes_[*port].kind == node_kind::port) {
      const pugi::xml_node n = nodes_[*port].xml;
      if (n.child("ChunkID") || n.child("pChunkID")) worse(data_source::chunk);
      if (n.child("EventID") || n.child("pEventID")) worse(data_source::event);
    }
  }
  for_each_ref(id, value_refs, [&](node_id r) { worse(source(r, depth + 1)); });
  s = static_cast<std::uint8_t>(found) + 2;
  return found;
}

const std::vector<node_id> &node_table::selectors_of(node_id id) const {
  static const std::vector<node_id> none;
  const auto it = selectors_.find(id);
  return it == selectors_.end() ? none : it->second;
}

const std::vector<node_id> &node_table::invalidated_by_writing(node_id id) const {
  static const std::vector<node_id> none;
  const auto it = invalidated_by_.find(id);
  return it == invalidated_by_.end() ? none : it->second;
}
