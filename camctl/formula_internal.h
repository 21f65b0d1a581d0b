// The description's formula language: C-like expressions over integers and
// doubles, with the standard's operators and functions.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

// A formula's value keeps integer arithmetic exact (64-bit registers, masks,
// shifts) until a double enters it.
struct formula_value {
  bool is_float = false;
  std::int64_t i = 0;
  double f = 0;
  double as_double() const { return is_float ? f : static_cast<double>(i); }
  std::int64_t as_int() const;
};

formula_value formula_int(std::int64_t v);
formula_value formula_float(double v);

struct formula_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Looks a variable up by the name used in the formula (".Min" etc. included);
// throws formula_error (or anything) when the name is unknown.
using formula_lookup = std::function<formula_value(std::string_view name)>;

// Throws formula_error naming the problem and the formula.
formula_value evaluate_formula(std::string_view formula, const formula_lookup &lookup);
