// Random filters over the four-field fixture of the differential test, each written twice:
// in the filter language, and as an SQLite condition that keeps exactly the records the
// filter must keep.
//
// The SQLite side spells out where the filter language parts from plain SQL:
// - a comparison is two-valued: a NULL side gives true or false by the NULL codes (none,
//   one side, both sides NULL), strict or not as the parser decides, never NULL;
// - a bare field against a NULL, text or date constant is not strict: a NULL side counts
//   as lower than anything, two NULLs as equal; `Eng = NULL` therefore keeps NULL fields;
// - a text constant ending in `*` (with partial compare) compares only over the constant's
//   length; `'*'` alone is the empty text, which is NULL;
// - a LIKE whose pattern is a plain prefix followed by one `%` is that prefix comparison
//   (false, not NULL, for a NULL field; `NOT LIKE` of it is strict);
// - IN lists and BETWEEN compare letter case alike, with or without the case-insensitive
//   option; an IN element that is NULL never matches;
// - `IS TRUE` and its kin never give NULL.
// Text compares with the engine's own collation, registered with SQLite as DOD and DODCI.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace dadoveri::testing {

struct GeneratedFilter {
  std::string filter;  // our filter language
  std::string sqlite;  // the SQLite condition keeping the same records
};

class FilterGenerator {
 public:
  FilterGenerator(uint32_t seed, bool case_insensitive, bool partial)
      : rng_(seed), ci_(case_insensitive), partial_(partial) {}

  void SetOptions(bool case_insensitive, bool partial) {
    ci_ = case_insensitive;
    partial_ = partial;
  }

  GeneratedFilter Next() {
    const Expr e = condition(0);
    return {e.ours, e.lite};
  }

  // A random text of the fixture's alphabet (1 to `max` characters), UTF-8.
  std::string Word(int max, bool persian) {
    static const char* const kLatin[] = {"a", "b", "A", "B", "c"};
    static const char* const kPersian[] = {"a", "b", "A", "\xD9\xBE", "\xD8\xA7"};  // پ ا
    std::string s;
    const int n = 1 + static_cast<int>(rng_() % static_cast<uint32_t>(max));
    const char* const* letters = persian ? kPersian : kLatin;
    for (int i = 0; i < n; ++i) s.append(letters[rng_() % 5]);
    return s;
  }

 private:
  struct Expr {
    std::string ours;
    std::string lite;
  };

  // What a comparison side is, which decides strictness and rewrites.
  enum class Kind { Field, Constant, NullConstant, Computed };
  struct Side {
    std::string ours;
    std::string lite;
    Kind kind;
    bool text;
    int partial_length = -1;  // > 0: a constant that ended in '*' (characters left)
  };

  uint32_t pick(uint32_t n) { return rng_() % n; }
  bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }

  std::string collation(bool force_ci = false) const {
    return ci_ || force_ci ? " COLLATE DODCI" : " COLLATE DOD";
  }

  static std::string quote(const std::string& s) { return "'" + s + "'"; }
  static size_t characters(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8)
      if ((c & 0xC0) != 0x80) ++n;
    return n;
  }

  Expr condition(int depth) {
    const uint32_t k = depth >= 3 ? 5 + pick(7) : pick(16);
    switch (k) {
      case 0:
      case 1: {
        const Expr a = condition(depth + 1), b = condition(depth + 1);
        return {"(" + a.ours + " AND " + b.ours + ")", "(" + a.lite + " AND " + b.lite + ")"};
      }
      case 2:
      case 3: {
        const Expr a = condition(depth + 1), b = condition(depth + 1);
        return {"(" + a.ours + " OR " + b.ours + ")", "(" + a.lite + " OR " + b.lite + ")"};
      }
      case 4: {
        const Expr a = condition(depth + 1);
        if (chance(70)) return {"NOT (" + a.ours + ")", "NOT (" + a.lite + ")"};
        static const char* const kIs[] = {"IS TRUE", "IS NOT TRUE", "IS FALSE", "IS NOT FALSE"};
        const char* is = kIs[pick(4)];
        return {"(" + a.ours + ") " + is, "((" + a.lite + ") " + is + ")"};
      }
      case 5:
      case 6:
        return numeric_comparison();
      case 7:
      case 8:
        return text_comparison();
      case 9:
        return like();
      case 10:
        return is_null();
      default:
        return chance(50) ? between() : in_list();
    }
  }

  // --- numeric -----------------------------------------------------------------------------

  Side numeric_value(int depth) {
    const uint32_t k = depth >= 2 ? pick(3) : pick(6);
    switch (k) {
      case 0:
        return chance(50) ? Side{"Num", "Num", Kind::Field, false} : Side{"Qty", "Qty", Kind::Field, false};
      case 1: {
        const std::string v = std::to_string(static_cast<int>(pick(41)) - 10);
        return {v, "(" + v + ")", Kind::Constant, false};
      }
      case 2:
        return chance(70) ? Side{"Num", "Num", Kind::Field, false} : Side{"Qty", "Qty", Kind::Field, false};
      case 3: {
        const Side a = numeric_value(depth + 1), b = numeric_value(depth + 1);
        const char* op = chance(50) ? " + " : " - ";
        const std::string right = b.kind == Kind::Computed ? "(" + b.ours + ")" : b.ours;
        return {a.ours + op + right, "(" + a.lite + op + b.lite + ")", Kind::Computed, false};
      }
      case 4: {
        const Side a = numeric_value(depth + 1);
        const std::string f = std::to_string(pick(7) + 1);
        const std::string left = a.kind == Kind::Computed ? "(" + a.ours + ")" : a.ours;
        return {left + " * " + f, "(" + a.lite + " * " + f + ")", Kind::Computed, false};
      }
      default: {
        const Side a = numeric_value(depth + 1);
        return {"-(" + a.ours + ")", "(-" + a.lite + ")", Kind::Computed, false};
      }
    }
  }

  Expr numeric_comparison() {
    Side a = numeric_value(0);
    Side b = chance(10) ? Side{"NULL", "NULL", Kind::NullConstant, false} : numeric_value(0);
    if (chance(50)) std::swap(a, b);
    return compare(a, b, op());
  }

  // --- text --------------------------------------------------------------------------------

  Side text_field() {
    return chance(50) ? Side{"Eng", "Eng", Kind::Field, true} : Side{"Far", "Far", Kind::Field, true};
  }

  Side text_constant() {
    std::string w = Word(3, chance(30));
    if (partial_ && chance(35)) {
      if (chance(15)) w.clear();
      w += "*";
    }
    Side s{quote(w), quote(w), Kind::Constant, true};
    if (partial_ && !w.empty() && w.back() == '*') {
      const std::string body = w.substr(0, w.size() - 1);
      if (body.empty()) return {quote(w), "NULL", Kind::NullConstant, true};
      s.lite = quote(body);
      s.partial_length = static_cast<int>(characters(body));
    }
    return s;
  }

  Side text_value() {
    const uint32_t k = pick(10);
    if (k < 6) return text_field();
    if (k < 8) {
      const Side f = text_field();
      const bool upper = chance(50);
      const std::string fn = upper ? "UPPER" : "LOWER";
      return {fn + "(" + f.ours + ")", (upper ? "upper(" : "lower(") + f.lite + ")", Kind::Computed, true};
    }
    const Side f = text_field();
    return {f.ours + " || 'a'", "(" + f.lite + " || 'a')", Kind::Computed, true};
  }

  Expr text_comparison() {
    Side a = text_value();
    Side b = chance(80) ? text_constant() : text_field();
    if (chance(30)) std::swap(a, b);
    return compare(a, b, op());
  }

  // --- comparisons -------------------------------------------------------------------------

  const char* op() {
    static const char* const kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    return kOps[pick(6)];
  }

  // Truth of `op` for a comparison result order (-1, 0, 1).
  static bool holds(const std::string& op, int order) {
    if (op == "=") return order == 0;
    if (op == "<>") return order != 0;
    if (op == "<") return order < 0;
    if (op == ">") return order > 0;
    if (op == "<=") return order <= 0;
    return order >= 0;
  }

  Expr compare(const Side& a, const Side& b, const std::string& o) {
    const bool a_const = a.kind == Kind::Constant || a.kind == Kind::NullConstant;
    const bool b_const = b.kind == Kind::Constant || b.kind == Kind::NullConstant;
    const bool text_or_null_const = (a_const && (a.text || a.kind == Kind::NullConstant)) ||
                                    (b_const && (b.text || b.kind == Kind::NullConstant));
    const bool field_vs_const = (a.kind == Kind::Field && b_const) || (b.kind == Kind::Field && a_const);
    const bool strict = !(field_vs_const && text_or_null_const);
    const std::string ours = a.ours + " " + o + " " + b.ours;

    // A NULL text constant (the lone '*') against a bare field: IS [NOT] NULL.
    const bool null_text = (a.kind == Kind::NullConstant && a.text) || (b.kind == Kind::NullConstant && b.text);
    if (null_text && field_vs_const && (o == "=" || o == "<>")) {
      const std::string f = a.kind == Kind::Field ? a.lite : b.lite;
      return {ours, "(" + f + (o == "=" ? " IS NULL)" : " IS NOT NULL)")};
    }

    std::string la = a.lite, lb = b.lite;
    const int partial = a.partial_length > 0 ? a.partial_length : b.partial_length;
    if (partial > 0) {
      const std::string n = std::to_string(partial);
      la = "substr(" + la + ", 1, " + n + ")";
      lb = "substr(" + lb + ", 1, " + n + ")";
    }
    const bool text = a.text || b.text;
    const std::string plain = "(" + la + " " + o + " " + lb + (text ? collation() : std::string()) + ")";
    const std::string t3 = strict ? "0" : (holds(o, -1) ? "1" : "0");
    const std::string t4 = strict ? "0" : (holds(o, 1) ? "1" : "0");
    const std::string t5 = strict ? "0" : (holds(o, 0) ? "1" : "0");
    return {ours, "(CASE WHEN (" + a.lite + ") IS NULL AND (" + b.lite + ") IS NULL THEN " + t5 + " WHEN (" +
                      a.lite + ") IS NULL THEN " + t3 + " WHEN (" + b.lite + ") IS NULL THEN " + t4 + " ELSE " +
                      plain + " END)"};
  }

  // --- predicates --------------------------------------------------------------------------

  Expr like() {
    const Side f = text_field();
    const bool negated = chance(30);
    const bool escape = chance(20);
    static const char* const kParts[] = {"a", "b", "A", "%", "_", "ab"};
    std::string pattern;
    const int n = 1 + static_cast<int>(pick(4));
    for (int i = 0; i < n; ++i) {
      if (escape && chance(25)) pattern += chance(50) ? "\\%" : "\\_";
      pattern += kParts[pick(6)];
    }
    if (chance(30)) pattern += "%";
    const std::string not_word = negated ? " NOT LIKE " : " LIKE ";
    std::string ours = f.ours + not_word + quote(pattern);
    if (escape) ours += " ESCAPE '\\'";

    // A plain prefix and one trailing '%' becomes a prefix comparison.
    const size_t percent = pattern.find('%');
    const bool rewritten = !escape && pattern.size() >= 2 && percent == pattern.size() - 1 &&
                           pattern.find('_') == std::string::npos;
    if (rewritten) {
      const std::string prefix = pattern.substr(0, pattern.size() - 1);
      const std::string n_chars = std::to_string(characters(prefix));
      return {ours, "(CASE WHEN " + f.lite + " IS NULL THEN 0 ELSE (substr(" + f.lite + ", 1, " + n_chars + ") " +
                        (negated ? "<>" : "=") + " " + quote(prefix) + collation() + ") END)"};
    }
    std::string lite = "(" + f.lite + not_word + quote(pattern);
    if (escape) lite += " ESCAPE '\\'";
    return {ours, lite + ")"};
  }

  Expr is_null() {
    const Side f = chance(50) ? text_field() : numeric_value(1);
    const char* is = chance(50) ? " IS NULL" : " IS NOT NULL";
    return {f.ours + is, "(" + f.lite + is + ")"};
  }

  // A BETWEEN or IN operand list of the same kind as the tested value.
  Side list_value(bool text) {
    if (chance(8)) return {"NULL", "NULL", Kind::NullConstant, false};
    if (text) {
      const std::string w = Word(3, chance(30));
      return {quote(w), quote(w), Kind::Constant, true};
    }
    const std::string v = std::to_string(static_cast<int>(pick(41)) - 10);
    return {v, v, Kind::Constant, false};
  }

  Expr between() {
    const bool text = chance(50);
    const Side x = text ? text_field() : numeric_value(1);
    const Side a = list_value(text), b = list_value(text);
    const bool negated = chance(30);
    const std::string c = text ? " COLLATE DODCI" : "";
    const std::string test = "(" + x.lite + " >= " + a.lite + c + " AND " + x.lite + " <= " + b.lite + c + ")";
    const std::string lite = "(CASE WHEN " + x.lite + " IS NULL OR " + a.lite + " IS NULL OR " + b.lite +
                             " IS NULL THEN NULL ELSE " + (negated ? "NOT " : "") + test + " END)";
    return {x.ours + (negated ? " NOT BETWEEN " : " BETWEEN ") + a.ours + " AND " + b.ours, lite};
  }

  Expr in_list() {
    const bool text = chance(50);
    const Side x = text ? text_field() : numeric_value(1);
    const bool negated = chance(30);
    const int n = 1 + static_cast<int>(pick(3));
    std::string ours_list, any;
    for (int i = 0; i < n; ++i) {
      const Side v = list_value(text);
      ours_list += (i ? ", " : "") + v.ours;
      any += std::string(i ? " OR " : "") + "COALESCE(" + x.lite + " = " + v.lite + (text ? " COLLATE DODCI" : "") +
             ", 0)";
    }
    const std::string lite = "(CASE WHEN " + x.lite + " IS NULL THEN NULL ELSE " + (negated ? "NOT " : "") + "(" +
                             any + ") END)";
    return {x.ours + (negated ? " NOT IN (" : " IN (") + ours_list + ")", lite};
  }

  std::mt19937 rng_;
  bool ci_;
  bool partial_;
};

}  // namespace dadoveri::testing
