// The evaluator behind `description`, shared by the files that hold its
// parts: reading values (description.cpp), writing them
// (description_write.cpp), and access and the features listing
// (description_features.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "description_internal.h"
#include "description_nodes_internal.h"
#include "description_registers_internal.h"
#include "formula_internal.h"

// Where a write to a literal Value is kept: the node, and which of its
// values (plain, one index's, the default).
enum class slot_of_value : std::uint8_t { plain, indexed, fallback };
using written_key = std::tuple<node_id, slot_of_value, std::int64_t>;

struct description::impl {
  [[noreturn]] static void fail(const node_record &n, const std::string &what);
  [[noreturn]] static void unsupported(const node_record &n);
  static std::string show(const formula_value &v);
  static const char *source_text(data_source s);

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
  void begin();

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

  std::int64_t literal_int(node_id id, const char *name, std::int64_t fallback) const;
  std::string_view text(node_id id, const char *name, std::string_view fallback = "") const;

  // ----- availability

  // pIsImplemented/pIsAvailable: 0 means the node cannot be used now. A
  // StructEntry's own say overrides its StructReg's.
  bool available(node_id id);
  bool flags_allow(pugi::xml_node holder, const char *p);
  bool locked(node_id id);

  // ----- registers

  std::uint64_t address(node_id id);
  std::size_t length(node_id id);
  register_range range(node_id id) { return {address(id), length(id)}; }
  bool big_endian(node_id id) const { return text(id, "Endianess", "LittleEndian") == "BigEndian"; }
  bool is_signed(node_id id) const { return text(id, "Sign", "Unsigned") == "Signed"; }
  std::string register_mode(node_id id) const { return std::string(text(id, "AccessMode", "RO")); }
  // NoCache and PollingTime: the camera changes the register by itself.
  bool changes_by_itself(node_id id) const;

  void check_on_device(node_id id);

  std::vector<std::byte> read_bytes(node_id id);
  void write_bytes(node_id id, std::span<const std::byte> data);
  std::uint64_t read_raw(node_id id, std::size_t &len);
  void write_raw(node_id id, std::uint64_t v, std::size_t len);
  static std::int64_t sign_extend(std::uint64_t v, unsigned bits);
  // Bit positions counted from the least significant bit. A BigEndian
  // description numbers bits from the most significant one.
  void mask_bits(node_id id, std::size_t len, unsigned &low, unsigned &high);
  static std::uint64_t field_mask(unsigned low, unsigned high);
  std::int64_t read_int_register(node_id id);
  double read_float_register(node_id id);

  // ----- formulas

  // Evaluates a formula with the pVariable, Constant and Expression names
  // found under `holder` (the node itself, or an address term inside a
  // register), and `extra_name` (TO or FROM) when given.
  formula_value evaluate_in(node_id id, pugi::xml_node holder, std::string_view formula,
                            const char *extra_name = nullptr, formula_value extra = {});
  formula_value variable(node_id id, pugi::xml_node holder, std::string_view name,
                         const char *extra_name, const formula_value &extra,
                         std::map<std::string, formula_value, std::less<>> &expressions,
                         const std::function<formula_value(std::string_view)> &evaluate_text);
  formula_value property(node_id id, std::string_view prop);

  // ----- ranges

  formula_value bound(node_id id, const char *literal, const char *pointer, bool upper);
  formula_value minimum(node_id id) { return bound(id, "Min", "pMin", false); }
  formula_value maximum(node_id id) { return bound(id, "Max", "pMax", true); }
  std::int64_t increment(node_id id);

  // ----- values

  // Where a value node's value is: another node, or a literal (Value,
  // ValueIndexed, ValueDefault) that a write replaces. With pIndex, the
  // selector's current value picks the entry.
  struct value_slot {
    std::optional<node_id> target;
    pugi::xml_node literal;
    written_key key;
  };
  value_slot slot(node_id id);
  formula_value held_value(node_id id);

  formula_value number(node_id id);
  formula_value compute_number(node_id id);

  // ----- writing

  void check_range(node_id id, const formula_value &v);

  // Only the feature asked for answers for its availability and lock: the
  // nodes it is built from are its own business.
  void check_usable(node_id id);

  void set_number(node_id id, formula_value v);

  // What the write went through makes stale what names it in pInvalidator,
  // and what names those, in turn; every worked-out value is recomputed.
  void after_write();
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
  std::vector<node_id> reachable(const std::vector<node_id> &from) const;

  // ----- strings

  std::string string_value(node_id id);
  void set_string(node_id id, std::string_view s);

  // ----- access

  // RO, RW or WO as the node's chain of values says, whatever the
  // availability of the nodes in it.
  std::string mode(node_id id);
  std::string access_of(node_id id);
  // Without reading anything: for values the camera does not hold.
  std::string static_mode(node_id id, int depth_left = max_depth) const;

  // ----- features

  std::string value_text(node_id id);

  feature_info info(node_id id);

  // Reads ahead, in as few exchanges as adjacency allows, the registers
  // these features read. Addresses that depend on other registers are
  // known once those are in: a few rounds settle them.
  void prefetch(const std::vector<node_id> &features);
};
