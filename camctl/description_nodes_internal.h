// The description's nodes as parsed once: each node's kind, where it sits in
// the XML, and the relations the evaluator needs before reading anything
// (which port a value comes from, which selectors govern a feature, which
// nodes a write makes stale, which registers a feature reads).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "description_internal.h"

enum class node_kind : std::uint8_t {
  integer,
  float_number,
  enumeration,
  enum_entry,
  boolean,
  command,
  string,
  int_reg,
  masked_int_reg,
  struct_entry,
  float_reg,
  string_reg,
  register_block,
  int_swiss_knife,
  swiss_knife,
  int_converter,
  converter,
  category,
  port,
  other,  // any kind camctl does not evaluate (IntKey, ConfRom, ...)
};

enum class value_type : std::uint8_t { none, integer, floating, text, bytes };

// What each kind is, one row per kind. Flags:
//   reg: reads and writes the port itself; masked: a bit field of its
//   register (LSB/MSB or Bit); value: its value is Value, pValue, or picked
//   by pIndex; formula: computes its value; converter: both ways, to and
//   from its pValue.
namespace kind_flag {
enum : unsigned { reg = 1, masked = 2, value = 4, formula = 8, converter = 16 };
}

struct kind_traits {
  node_kind kind;
  std::string_view element;
  value_type type;
  unsigned flags;
  bool is_register() const { return (flags & kind_flag::reg) != 0; }
  bool is_masked() const { return (flags & kind_flag::masked) != 0; }
  bool holds_value() const { return (flags & kind_flag::value) != 0; }
  bool is_formula() const { return (flags & kind_flag::formula) != 0; }
  bool is_converter() const { return (flags & kind_flag::converter) != 0; }
};

// clang-format off
inline constexpr auto kind_table = [] {
  using namespace kind_flag;
  return std::array<kind_traits, static_cast<std::size_t>(node_kind::other) + 1>{{
    {node_kind::integer,         "Integer",       value_type::integer,  value},
    {node_kind::float_number,    "Float",         value_type::floating, value},
    {node_kind::enumeration,     "Enumeration",   value_type::integer,  value},
    {node_kind::enum_entry,      "EnumEntry",     value_type::integer,  0},
    {node_kind::boolean,         "Boolean",       value_type::integer,  value},
    {node_kind::command,         "Command",       value_type::integer,  value},
    {node_kind::string,          "String",        value_type::text,     value},
    {node_kind::int_reg,         "IntReg",        value_type::integer,  reg},
    {node_kind::masked_int_reg,  "MaskedIntReg",  value_type::integer,  reg | masked},
    {node_kind::struct_entry,    "StructEntry",   value_type::integer,  reg | masked},
    {node_kind::float_reg,       "FloatReg",      value_type::floating, reg},
    {node_kind::string_reg,      "StringReg",     value_type::text,     reg},
    {node_kind::register_block,  "Register",      value_type::bytes,    reg},
    {node_kind::int_swiss_knife, "IntSwissKnife", value_type::integer,  formula},
    {node_kind::swiss_knife,     "SwissKnife",    value_type::floating, formula},
    {node_kind::int_converter,   "IntConverter",  value_type::integer,  formula | converter},
    {node_kind::converter,       "Converter",     value_type::floating, formula | converter},
    {node_kind::category,        "Category",      value_type::none,     0},
    {node_kind::port,            "Port",          value_type::none,     0},
    {node_kind::other,           "",              value_type::none,     0},
  }};
}();
// clang-format on
constexpr bool kind_table_in_order() {
  for (std::size_t i = 0; i < std::size(kind_table); ++i)
    if (static_cast<std::size_t>(kind_table[i].kind) != i) return false;
  return true;
}
static_assert(kind_table_in_order());

inline const kind_traits &traits(node_kind k) {
  return kind_table[static_cast<std::size_t>(k)];
}

// Where a value lives: the camera's registers, or data that only comes with
// a block (chunk) or an event, which camctl never reads from the camera.
enum class data_source : std::uint8_t { device, chunk, event };

using node_id = std::uint32_t;

// How deep one node's references may nest before the description counts as
// referring to itself.
inline constexpr int max_depth = 64;

struct node_record {
  node_kind kind;
  pugi::xml_node xml;
  std::string_view name;
};

std::string_view trimmed(std::string_view s);
bool parse_integer_text(std::string_view text, std::int64_t &out);
bool parse_float_text(std::string_view text, double &out);

class node_table {
 public:
  // Every node under RegisterDescription, however deep in Groups; a
  // StructReg's entries are nodes of their own.
  explicit node_table(pugi::xml_node register_description);

  std::optional<node_id> lookup(std::string_view name) const;
  // Throws description_error naming what is missing.
  node_id find(std::string_view name) const;
  const node_record &operator[](node_id id) const { return nodes_[id]; }
  std::size_t size() const { return nodes_.size(); }
  std::optional<node_id> root() const { return lookup("Root"); }

  // The element of that name, for a StructEntry its StructReg's when the
  // entry does not say it itself.
  pugi::xml_node element(node_id id, const char *name) const;
  // The node a `p...` element names; nullopt when the element is absent.
  std::optional<node_id> ref(node_id id, const char *name) const;

  data_source source(node_id id, int depth = 0) const;
  const std::vector<node_id> &selectors_of(node_id id) const;
  // The nodes whose pInvalidator names this one.
  const std::vector<node_id> &invalidated_by_writing(node_id id) const;
  // Calls f for each node this one reads for its value, its availability and
  // its register's address: the registers reachable from them are what
  // reading it may read.
  template <typename F>
  void for_each_read_ref(node_id id, F &&f) const {
    for_each_ref(id, read_refs, f);
  }

  // Reference elements by use: what a value is computed from, and what
  // reading a feature may read (value, availability, address).
  enum ref_set : std::uint8_t { value_refs = 1, read_refs = 2 };

 private:
  template <typename F>
  void for_each_ref(node_id id, ref_set which, F &&f) const;
  void add(pugi::xml_node n, node_kind kind);
  void collect(pugi::xml_node container);

  std::vector<node_record> nodes_;
  std::unordered_map<std::string_view, node_id> by_name_;
  std::unordered_map<node_id, std::vector<node_id>> selectors_, invalidated_by_;
  mutable std::vector<std::uint8_t> source_;  // 0 unknown, 1 being found, else data_source + 2
};

// Which sets (node_table::ref_set bits) an element naming another node
// belongs to; 0 for elements that are no such reference.
std::uint8_t ref_element_sets(std::string_view element);

template <typename F>
void node_table::for_each_ref(node_id id, ref_set which, F &&f) const {
  const auto visit = [&](pugi::xml_node parent, auto &&self) -> void {
    for (pugi::xml_node c : parent.children()) {
      const std::string_view e = c.name();
      if (e == "IntSwissKnife") {
        // An address term: a formula inside the register.
        if (which == read_refs) self(c, self);
        continue;
      }
      // A StructReg's other entries are no part of this one.
      if ((ref_element_sets(e) & which) == 0) continue;
      if (const auto target = lookup(trimmed(c.child_value()))) f(*target);
      if (which == read_refs && e == "pIndex") {
        if (const auto offset = lookup(trimmed(c.attribute("pOffset").value()))) f(*offset);
      }
    }
  };
  const node_record &n = nodes_[id];
  visit(n.xml, visit);
  if (n.kind == node_kind::struct_entry) visit(n.xml.parent(), visit);
}
