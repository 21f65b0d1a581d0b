#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "formula_internal.h"

formula_value formula_int(std::int64_t v) {
  return {false, v, 0};
}
formula_value formula_float(double v) {
  return {true, 0, v};
}

// To the nearest integer, halves away from zero: a value computed in binary
// fractions (0.1 * 3 * 10 is 2.9999999999999996) lands where the
// description's author meant it, where truncation would lose one.
std::int64_t formula_value::as_int() const {
  if (!is_float) return i;
  if (std::isnan(f)) throw formula_error("the result is not a number (0/0, SQRT(-1), ...)");
  if (std::isinf(f)) throw formula_error("the result is infinite (a division by zero?)");
  if (f >= 9.2e18 || f <= -9.2e18) throw formula_error("value out of the integer range");
  return static_cast<std::int64_t>(std::llround(f));
}

namespace {

// Precedence climbing over the text; each level is one function so that the
// standard's precedence table reads top to bottom.
struct parser {
  std::string_view s;
  std::size_t pos = 0;
  const formula_lookup &lookup;
  int depth = 0;

  [[noreturn]] void fail(const std::string &what) {
    throw formula_error(what + " at offset " + std::to_string(pos) + " in \"" + std::string(s) +
                        "\"");
  }
  void skip_space() {
    while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) ++pos;
  }
  bool eat(std::string_view op) {
    skip_space();
    if (s.substr(pos, op.size()) != op) return false;
    pos += op.size();
    return true;
  }
  // Eats op only when it is not the start of a longer operator (`<` of `<<`).
  bool eat_alone(std::string_view op, std::string_view not_followed_by) {
    skip_space();
    if (s.substr(pos, op.size()) != op) return false;
    if (pos + op.size() < s.size() &&
        not_followed_by.find(s[pos + op.size()]) != std::string_view::npos)
      return false;
    pos += op.size();
    return true;
  }

  formula_value parse() {
    formula_value v = ternary();
    skip_space();
    if (pos != s.size()) fail("unexpected text");
    return v;
  }

  formula_value ternary() {
    if (++depth > 200) fail("formula nested too deeply");
    formula_value cond = logical_or();
    if (eat("?")) {
      formula_value a = ternary();
      if (!eat(":")) fail("expected ':'");
      formula_value b = ternary();
      cond = truth(cond) ? a : b;
    }
    --depth;
    return cond;
  }
  static bool truth(const formula_value &v) { return v.is_float ? v.f != 0 : v.i != 0; }
  formula_value logical_or() {
    formula_value a = logical_and();
    while (eat("||")) {
      formula_value b = logical_and();
      a = formula_int(truth(a) || truth(b));
    }
    return a;
  }
  formula_value logical_and() {
    formula_value a = bit_or();
    while (eat("&&")) {
      formula_value b = bit_or();
      a = formula_int(truth(a) && truth(b));
    }
    return a;
  }
  formula_value bit_or() {
    formula_value a = bit_xor();
    while (eat_alone("|", "|")) a = formula_int(a.as_int() | bit_xor().as_int());
    return a;
  }
  formula_value bit_xor() {
    formula_value a = bit_and();
    while (eat("^")) a = formula_int(a.as_int() ^ bit_and().as_int());
    return a;
  }
  formula_value bit_and() {
    formula_value a = equality();
    while (eat_alone("&", "&")) a = formula_int(a.as_int() & equality().as_int());
    return a;
  }
  static bool equal(const formula_value &a, const formula_value &b) {
    return (a.is_float || b.is_float) ? a.as_double() == b.as_double() : a.i == b.i;
  }
  static bool less(const formula_value &a, const formula_value &b) {
    return (a.is_float || b.is_float) ? a.as_double() < b.as_double() : a.i < b.i;
  }
  formula_value equality() {
    formula_value a = relational();
    for (;;) {
      // '=' is comparison in this language; '==' and '!=' are taken as well.
      if (eat("<>") || eat("!=")) {
        a = formula_int(!equal(a, relational()));
      } else if (eat("==") || eat_alone("=", "")) {
        a = formula_int(equal(a, relational()));
      } else {
        return a;
      }
    }
  }
  formula_value relational() {
    formula_value a = shift();
    for (;;) {
      if (eat("<=")) {
        formula_value b = shift();
        a = formula_int(!less(b, a));
      } else if (eat(">=")) {
        formula_value b = shift();
        a = formula_int(!less(a, b));
      } else if (eat_alone("<", "<>")) {
        a = formula_int(less(a, shift()));
      } else if (eat_alone(">", ">")) {
        formula_value b = shift();
        a = formula_int(less(b, a));
      } else {
        return a;
      }
    }
  }
  formula_value shift() {
    formula_value a = additive();
    for (;;) {
      const bool left = eat("<<");
      if (!left && !eat(">>")) return a;
      const std::int64_t n = additive().as_int();
      const std::int64_t v = a.as_int();
      // Shifts of 64 or more (or negative) are undefined in C; the register
      // value they stand for is simply gone.
      if (n < 0 || n >= 64) {
        a = formula_int(left || v >= 0 ? 0 : -1);
      } else {
        a = formula_int(left ? static_cast<std::int64_t>(static_cast<std::uint64_t>(v) << n)
                             : v >> n);
      }
    }
  }
  formula_value additive() {
    formula_value a = multiplicative();
    for (;;) {
      const bool plus = eat("+");
      if (!plus && !eat("-")) return a;
      formula_value b = multiplicative();
      if (a.is_float || b.is_float) {
        a = formula_float(plus ? a.as_double() + b.as_double() : a.as_double() - b.as_double());
      } else {
        a = formula_int(static_cast<std::int64_t>(plus ? static_cast<std::uint64_t>(a.i) + b.i
                                                       : static_cast<std::uint64_t>(a.i) - b.i));
      }
    }
  }
  formula_value multiplicative() {
    formula_value a = power();
    for (;;) {
      char op;
      if (eat_alone("*", "*")) {
        op = '*';
      } else if (eat("/")) {
        op = '/';
      } else if (eat("%")) {
        op = '%';
      } else {
        return a;
      }
      formula_value b = power();
      if (a.is_float || b.is_float) {
        if (op == '*') a = formula_float(a.as_double() * b.as_double());
        if (op == '/') a = formula_float(a.as_double() / b.as_double());
        if (op == '%') a = formula_float(std::fmod(a.as_double(), b.as_double()));
        continue;
      }
      if (op != '*' && b.i == 0) fail("division by zero");
      if (op != '*' && b.i == -1 && a.i == std::numeric_limits<std::int64_t>::min())
        fail("integer overflow");
      if (op == '*') {
        a = formula_int(static_cast<std::int64_t>(static_cast<std::uint64_t>(a.i) * b.i));
      } else {
        a = formula_int(op == '/' ? a.i / b.i : a.i % b.i);
      }
    }
  }
  formula_value power() {
    formula_value a = unary();
    if (eat("**")) {
      formula_value b = power();
      const double r = std::pow(a.as_double(), b.as_double());
      if (!a.is_float && !b.is_float && b.i >= 0 && std::fabs(r) < 9e18)
        return formula_int(static_cast<std::int64_t>(std::llround(r)));
      return formula_float(r);
    }
    return a;
  }
  formula_value unary() {
    if (++depth > 200) fail("formula nested too deeply");
    formula_value v;
    if (eat("-")) {
      v = unary();
      v = v.is_float ? formula_float(-v.f)
                     : formula_int(static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(v.i)));
    } else if (eat("+")) {
      v = unary();
    } else if (eat("~")) {
      v = formula_int(~unary().as_int());
    } else if (eat_alone("!", "=")) {
      v = formula_int(!truth(unary()));
    } else {
      v = primary();
    }
    --depth;
    return v;
  }

  formula_value call(const std::string &name) {
    std::vector<formula_value> args{ternary()};
    while (eat(",")) args.push_back(ternary());
    if (!eat(")")) fail("expected ')'");
    const formula_value a = args[0];
    const double x = a.as_double();
    if (name == "ROUND" && args.size() == 2) {
      // x rounded to n decimal places.
      const std::int64_t n = args[1].as_int();
      if (n < -30 || n > 30) fail("ROUND to " + std::to_string(n) + " places");
      const double scale = std::pow(10.0, static_cast<double>(n));
      const double scaled = x * scale;
      return formula_float(std::isfinite(scaled) ? std::round(scaled) / scale : x);
    }
    if (args.size() != 1) fail("wrong number of arguments to " + name);
    if (name == "SGN")
      return a.is_float ? formula_float((x > 0) - (x < 0)) : formula_int((a.i > 0) - (a.i < 0));
    // Negating the most negative integer wraps, as the other operators do.
    const std::int64_t negated = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(a.i));
    if (name == "NEG") return a.is_float ? formula_float(-x) : formula_int(negated);
    if (name == "ABS")
      return a.is_float ? formula_float(std::fabs(x)) : formula_int(a.i < 0 ? negated : a.i);
    if (name == "SQRT") return formula_float(std::sqrt(x));
    if (name == "TRUNC") return formula_float(std::trunc(x));
    if (name == "FLOOR") return formula_float(std::floor(x));
    if (name == "CEIL") return formula_float(std::ceil(x));
    if (name == "ROUND") return formula_float(std::round(x));
    if (name == "EXP") return formula_float(std::exp(x));
    if (name == "LN") return formula_float(std::log(x));
    if (name == "LG") return formula_float(std::log10(x));
    if (name == "SIN") return formula_float(std::sin(x));
    if (name == "COS") return formula_float(std::cos(x));
    if (name == "TAN") return formula_float(std::tan(x));
    if (name == "ASIN") return formula_float(std::asin(x));
    if (name == "ACOS") return formula_float(std::acos(x));
    if (name == "ATAN") return formula_float(std::atan(x));
    fail("unknown function " + name);
  }

  formula_value primary() {
    skip_space();
    if (eat("(")) {
      formula_value v = ternary();
      if (!eat(")")) fail("expected ')'");
      return v;
    }
    if (pos >= s.size()) fail("unexpected end");
    const char c = s[pos];
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') return number();
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const std::size_t start = pos;
      while (pos < s.size() &&
             (std::isalnum(static_cast<unsigned char>(s[pos])) || s[pos] == '_' || s[pos] == '.'))
        ++pos;
      const std::string name(s.substr(start, pos - start));
      if (eat("(")) return call(name);
      if (name == "PI") return formula_float(M_PI);
      if (name == "E") return formula_float(M_E);
      return lookup(name);
    }
    fail(std::string("unexpected character '") + c + "'");
  }

  formula_value number() {
    const std::size_t start = pos;
    if (s.substr(pos, 2) == "0x" || s.substr(pos, 2) == "0X") {
      pos += 2;
      std::uint64_t v = 0;
      std::size_t digits = 0;
      while (pos < s.size() && std::isxdigit(static_cast<unsigned char>(s[pos]))) {
        if (++digits > 16) fail("hexadecimal literal too long");
        const char d = s[pos++];
        v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(d))
                                               ? d - '0'
                                               : std::tolower(d) - 'a' + 10);
      }
      if (digits == 0) fail("bad hexadecimal literal");
      return formula_int(static_cast<std::int64_t>(v));
    }
    bool is_float = false;
    while (pos < s.size()) {
      const char d = s[pos];
      if (std::isdigit(static_cast<unsigned char>(d))) {
        ++pos;
      } else if (d == '.') {
        is_float = true;
        ++pos;
      } else if ((d == 'e' || d == 'E') && pos + 1 < s.size() &&
                 (std::isdigit(static_cast<unsigned char>(s[pos + 1])) || s[pos + 1] == '-' ||
                  s[pos + 1] == '+')) {
        is_float = true;
        pos += 2;
      } else {
        break;
      }
    }
    const std::string text(s.substr(start, pos - start));
    try {
      if (is_float) return formula_float(std::stod(text));
      return formula_int(static_cast<std::int64_t>(std::stoull(text)));
    } catch (const std::exception &) {
      fail("bad number " + text);
    }
  }
};

}  // namespace

formula_value evaluate_formula(std::string_view formula, const formula_lookup &lookup) {
  parser p{formula, 0, lookup};
  return p.parse();
}
