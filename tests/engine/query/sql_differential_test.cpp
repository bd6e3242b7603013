// Generated SQL against SQLite: the same three tables in both (integers, floats and text,
// nullable and indexed columns, duplicates and NULLs), then a few hundred generated SELECTs
// whose results must agree as multisets (in order where ORDER BY fixes it), then generated
// UPDATEs and DELETEs after which the tables must agree. A disagreement prints the whole
// statement with both answers.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "tests/engine/query/sql_test_database.h"

namespace dadoveri {
namespace {

using testing::SQLTestDatabase;
using testing::Wide;
using Rows = std::vector<std::string>;

// A field value as both sides are compared: NULL, a number (any text that reads as one,
// written with nine significant digits, so 2 and 2.0 agree and float sums may differ in
// the last bits), or the text itself.
std::string Normal(const char* text) {
  if (!text) return "NULL";
  const std::string s(text);
  if (!s.empty()) {
    char* end = nullptr;
    const double d = std::strtod(s.c_str(), &end);
    if (end && *end == '\0') {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.9g", d == 0 ? 0.0 : d);
      return buffer;
    }
  }
  return s;
}

std::string Show(const Rows& rows) {
  std::string out;
  const size_t shown = std::min<size_t>(rows.size(), 40);
  for (size_t i = 0; i < shown; ++i) out += "    " + rows[i] + "\n";
  if (rows.size() > shown) out += "    ... (" + std::to_string(rows.size()) + " rows)\n";
  if (rows.empty()) out += "    (no rows)\n";
  return out;
}

class Lite {
 public:
  Lite() {
    sqlite3_open(":memory:", &db_);
    Exec("PRAGMA case_sensitive_like = ON");
  }
  ~Lite() { sqlite3_close(db_); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << "SQLite: " << (error ? error : "?") << "\n  " << sql;
      sqlite3_free(error);
    }
  }
  // The rows of a query; false (with the message) when SQLite refuses it.
  bool Query(const std::string& sql, Rows& rows, std::string& error) {
    rows.clear();
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      error = sqlite3_errmsg(db_);
      return false;
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i > 0) row += "|";
        row += Normal(reinterpret_cast<const char*>(sqlite3_column_text(st, i)));
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) {
      error = sqlite3_errmsg(db_);
      return false;
    }
    return true;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The rows of our result cursor, fields normalised as above.
Rows OurRows(TABSCursor* c) {
  Rows rows;
  if (!c) return rows;
  TABSVariant v;
  for (bool more = !c->AtEnd && c->ReadCurrent() == grrFound; more; more = c->GetRecord(grmNext) == grrFound) {
    std::string row;
    for (int32_t i = 0; i < c->VisibleFields.Count(); ++i) {
      c->GetFieldValue(i, false, v);
      if (i > 0) row += "|";
      row += v.IsNull() ? std::string("NULL") : Normal(Utf16ToUtf8(v.GetAsWideString()).c_str());
    }
    rows.push_back(row);
  }
  return rows;
}

// ---------------------------------------------------------------------------------------
// The generator. It keeps to what both engines answer alike. Where ours differs from
// SQLite, the generator stays out of the way:
//  - Text order is our locale collation; text is kept to lower-case a-z and digits, where
//    it agrees with SQLite's byte order.
//  - Ours counts NULL as a value when a field meets a string constant (s <> 'x', s < 'x'
//    and s = NULL hold for a NULL s): comparisons, IN lists, BETWEEN and LIKE on text are
//    made only on NOT NULL text columns.
//  - The empty string is NULL in ours: no empty strings are generated.
//  - Integer division truncates in both, but division by zero fails in ours (NULL in
//    SQLite): only non-zero constant divisors.
//  - Our LIKE is case-sensitive (SQLite gets PRAGMA case_sensitive_like = ON); our MIN,
//    MAX, IN lists and BETWEEN ignore case (single-case text makes that moot).
//  - 'a' || NULL is 'a' in ours, NULL in SQLite: no concatenation with a nullable column.
//  - ORDER BY names only selected columns (by number here), and all of them, so the order
//    is fixed; TOP n, m is LIMIT n OFFSET m - 1.
//  - Text columns are VARCHAR(6) in ours; generated values never grow past that.
//  - EXCEPT ALL and INTERSECT ALL do not exist in SQLite; only UNION takes ALL.
//  - AVG over integers: compared through the normalised number, both give the float mean.
//  - A comparison involving NULL is false in ours, not unknown, so NOT (k > 7) holds for a
//    NULL k: NOT is put only over conditions on NOT NULL columns, without scalar
//    subqueries (which may give NULL).
//  - INTERSECT binds tighter than UNION and EXCEPT in ours; SQLite reads them all left to
//    right: INTERSECT is only ever the first of two operators.
//  - Outer joins fill a side with NULLs: its NOT NULL columns count as nullable there.
// ---------------------------------------------------------------------------------------

enum Kind { kInt, kFloat, kText };

struct Column {
  const char* name;
  Kind kind;
  bool nullable;
};

struct Table {
  const char* name;
  const char* alias;
  std::vector<Column> columns;
  int rows;
};

const std::vector<Table>& Tables() {
  static const std::vector<Table> tables = {
      {"ta", "a",
       {{"id", kInt, false}, {"k", kInt, true}, {"f", kFloat, true}, {"s", kText, false}, {"u", kText, true}},
       1200},
      {"tb", "b", {{"id", kInt, false}, {"k", kInt, true}, {"f", kFloat, false}, {"s", kText, true}}, 700},
      {"tc", "c", {{"id", kInt, false}, {"k", kInt, false}, {"s", kText, false}}, 150},
  };
  return tables;
}

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  int Int(int lo, int hi) { return lo + static_cast<int>(rng_() % static_cast<uint32_t>(hi - lo + 1)); }
  bool Chance(int percent) { return Int(1, 100) <= percent; }
  template <class T>
  const T& Pick(const std::vector<T>& v) {
    return v[static_cast<size_t>(Int(0, static_cast<int>(v.size()) - 1))];
  }

  // Words of one to three characters from a small alphabet, so values repeat.
  std::string Word() {
    static const char letters[] = "abcde01";
    std::string w;
    const int n = Int(1, 3);
    for (int i = 0; i < n; ++i) w += letters[Int(0, 6)];
    return w;
  }
  std::string FloatText() {
    const int halves = Int(-40, 40);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%.1f", halves / 2.0);
    return buffer;
  }
  std::string Literal(Kind kind) {
    switch (kind) {
      case kInt: return std::to_string(Int(-5, 160));
      case kFloat: return FloatText();
      case kText: return "'" + Word() + "'";
    }
    return "NULL";
  }

  // The INSERT texts that fill both sides.
  std::vector<std::string> Fill() {
    std::vector<std::string> out;
    for (const Table& t : Tables()) {
      std::string sql;
      for (int r = 0; r < t.rows; ++r) {
        if (r % 100 == 0) {
          if (!sql.empty()) out.push_back(sql);
          sql = std::string("INSERT INTO ") + t.name + " VALUES ";
        } else {
          sql += ", ";
        }
        sql += "(";
        for (size_t c = 0; c < t.columns.size(); ++c) {
          const Column& col = t.columns[c];
          if (c > 0) sql += ", ";
          if (c == 0) {
            sql += std::to_string(Int(0, 4) == 0 ? Int(1, t.rows) : r + 1);  // ids mostly distinct
          } else if (col.nullable && Chance(15)) {
            sql += "NULL";
          } else if (col.kind == kInt) {
            sql += std::to_string(Int(0, 150));
          } else {
            sql += Literal(col.kind);
          }
        }
        sql += ")";
      }
      out.push_back(sql);
    }
    return out;
  }

  // A column reference of one of `from` (qualified by its alias when `qualify`).
  struct Ref {
    std::string text;
    Column column;
  };
  Ref Pick(const std::vector<const Table*>& from, bool qualify, int kind = -1, bool not_null = false) {
    std::vector<Ref> fit;
    for (const Table* t : from)
      for (const Column& c : t->columns) {
        if (kind >= 0 && c.kind != kind) continue;
        if ((not_null || strict_) && (c.nullable || std::find(nulled_.begin(), nulled_.end(), t) != nulled_.end())) continue;
        fit.push_back({qualify ? std::string(t->alias) + "." + c.name : std::string(c.name), c});
      }
    if (fit.empty()) return {};
    return Pick(fit);
  }
  bool Has(const std::vector<const Table*>& from, int kind, bool not_null) {
    return !Pick(from, false, kind, not_null).text.empty();
  }

  // A number-valued expression: a column, or a column with a constant.
  std::string Number(const std::vector<const Table*>& from, bool qualify) {
    const Ref r = Pick(from, qualify, Chance(70) || !Has(from, kFloat, false) ? kInt : kFloat);
    switch (Int(0, 5)) {
      case 0: return r.text + " + " + std::to_string(Int(1, 9));
      case 1: return r.text + " * 2";
      case 2: return r.column.kind == kInt ? r.text + " / " + std::to_string(Int(2, 7)) : r.text + " - 0.5";
      case 3: return "-" + r.text;
      default: return r.text;
    }
  }

  // An uncorrelated subquery over one table, giving one column of `kind`.
  std::string Subquery(Kind kind, bool not_null) {
    const std::vector<const Table*> outer_nulled = std::move(nulled_);
    nulled_.clear();
    const std::string sql = SubqueryText(kind, not_null);
    nulled_ = outer_nulled;
    return sql;
  }
  std::string SubqueryText(Kind kind, bool not_null) {
    const Table* t = &Pick(Tables());
    std::vector<const Table*> from = {t};
    bool has = false;
    for (const Column& c : t->columns) has |= c.kind == kind && (!not_null || !c.nullable);
    if (!has) {
      t = &Tables()[0];
      from = {t};
    }
    const Ref r = Pick(from, false, kind, not_null);
    std::string sql = "SELECT " + r.text + " FROM " + t->name;
    if (Chance(70)) sql += " WHERE " + Condition(from, false, 1);
    return sql;
  }

  // A condition over `from`, nested at most `depth` more levels.
  std::string Condition(const std::vector<const Table*>& from, bool qualify, int depth) {
    if (depth > 0 && Chance(35)) {
      const std::string op = Chance(50) ? " AND " : " OR ";
      return "(" + Condition(from, qualify, depth - 1) + op + Condition(from, qualify, depth - 1) + ")";
    }
    if (depth > 0 && Chance(8) && !strict_ && Has(from, kInt, true)) {
      // A comparison with NULL is false in ours, not unknown: NOT only over NOT NULL columns.
      strict_ = true;
      const std::string inner = Condition(from, qualify, depth - 1);
      strict_ = false;
      return "NOT (" + inner + ")";
    }
    static const std::vector<std::string> ops = {"=", "<>", "<", "<=", ">", ">="};
    int form = Int(0, 11);
    // Text conditions need a NOT NULL text column; without one, a number comparison.
    if ((form == 1 || form == 2 || form == 5) && !Has(from, kText, true)) form = 11;
    if ((form == 3 || form == 6) && !Has(from, kInt, true)) form = 11;
    // A scalar subquery may give NULL, which a comparison takes as false: not under NOT.
    if (form == 8 && strict_) form = 11;
    switch (form) {
      case 0: {
        const Ref r = Pick(from, qualify);
        return r.text + (Chance(50) ? " IS NULL" : " IS NOT NULL");
      }
      case 1: {
        const Ref r = Pick(from, qualify, kText, true);
        return r.text + " " + Pick(ops) + " " + Literal(kText);
      }
      case 2: {
        const Ref r = Pick(from, qualify, kText, true);
        std::string pattern = Word().substr(0, static_cast<size_t>(Int(1, 2)));
        pattern = Chance(50) ? pattern + "%" : (Chance(50) ? "%" + pattern : "_" + pattern + "%");
        return r.text + (Chance(20) ? " NOT LIKE '" : " LIKE '") + pattern + "'";
      }
      case 3: {
        const Ref r = Pick(from, qualify, Chance(50) && Has(from, kText, true) ? kText : kInt, true);
        std::string list;
        for (int i = Int(1, 4); i > 0; --i) list += (list.empty() ? "" : ", ") + Literal(r.column.kind);
        return r.text + (Chance(20) ? " NOT IN (" : " IN (") + list + ")";
      }
      case 4: {
        const Ref r = Pick(from, qualify, Chance(70) || !Has(from, kFloat, false) ? kInt : kFloat);
        const int lo = Int(-5, 150);
        return r.text + " BETWEEN " + std::to_string(lo) + " AND " + std::to_string(lo + Int(0, 40));
      }
      case 5: {
        const Ref r = Pick(from, qualify, kText, true);
        std::string lo = Word(), hi = Word();
        if (hi < lo) std::swap(lo, hi);
        return r.text + " BETWEEN '" + lo + "' AND '" + hi + "'";
      }
      case 6: {
        // IN over a subquery; NOT IN only where neither side holds NULLs.
        const Ref r = Pick(from, qualify, Chance(30) && Has(from, kText, true) ? kText : kInt, true);
        const bool negated = Chance(25);
        return r.text + (negated ? " NOT IN (" : " IN (") + Subquery(r.column.kind, true) + ")";
      }
      case 7: return std::string(Chance(25) ? "NOT " : "") + "EXISTS (" + Subquery(kInt, false) + ")";
      case 8: {
        const Ref r = Pick(from, qualify, kInt);
        static const std::vector<std::string> aggregates = {"MAX", "MIN", "COUNT", "SUM"};
        const Table& t = Pick(Tables());
        std::vector<const Table*> inner = {&t};
        const Ref col = Pick(inner, false, kInt);
        const std::vector<const Table*> outer_nulled = std::move(nulled_);
        nulled_.clear();
        const std::string sub = "(SELECT " + Pick(aggregates) + "(" + col.text + ") / 2 FROM " + t.name + " WHERE " +
                                Condition(inner, false, 0) + ")";
        nulled_ = outer_nulled;
        return r.text + " " + Pick(ops) + " " + sub;
      }
      case 9: {
        const Ref a = Pick(from, qualify, kInt), b = Pick(from, qualify, Chance(50) || !Has(from, kFloat, false) ? kInt : kFloat);
        return a.text + " " + Pick(ops) + " " + b.text;
      }
      default: return Number(from, qualify) + " " + Pick(ops) + " " + Literal(Chance(70) ? kInt : kFloat);
    }
  }

  // One generated SELECT, in our dialect and in SQLite's, and whether its order is fixed.
  struct Select {
    std::string ours, lite;
    bool ordered = false;
  };

  // The select list of `count` items over `from`.
  std::vector<std::string> Items(const std::vector<const Table*>& from, bool qualify, int count) {
    std::vector<std::string> items;
    for (int i = 0; i < count; ++i) {
      if (Chance(25)) {
        items.push_back(Number(from, qualify));
      } else {
        const Ref r = Pick(from, qualify);
        if (std::find(items.begin(), items.end(), r.text) != items.end()) continue;
        items.push_back(r.text);
      }
    }
    if (items.empty()) items.push_back(Pick(from, qualify).text);
    return items;
  }

  static std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
    return out;
  }

  // The FROM clause of one, two or three tables with their join conditions.
  std::string From(std::vector<const Table*>& from) {
    const std::vector<Table>& all = Tables();
    const int shape = Int(0, 6);
    if (shape <= 1) {
      from = {&Pick(all)};
      return std::string(from[0]->name) + " " + from[0]->alias;
    }
    const Table* left = &all[static_cast<size_t>(Int(0, 2))];
    const Table* right = &all[static_cast<size_t>(Int(0, 2))];
    if (left == right) right = &all[(static_cast<size_t>(right - &all[0]) + 1) % 3];
    from = {left, right};
    const std::string l = std::string(left->name) + " " + left->alias, r = std::string(right->name) + " " + right->alias;
    const std::string key = std::string(left->alias) + ".k = " + right->alias + ".k";
    switch (shape) {
      case 2: {
        // A comma join, its key in WHERE (added by the caller through `pending_`).
        pending_ = key;
        return l + ", " + r;
      }
      case 3: {
        static const std::vector<std::string> kinds = {"JOIN", "INNER JOIN", "LEFT JOIN", "LEFT OUTER JOIN",
                                                       "RIGHT JOIN", "FULL OUTER JOIN", "FULL JOIN"};
        const std::string kind = Pick(kinds);
        // The side an outer join may fill with NULLs holds no NOT NULL column any more.
        if (kind.find("LEFT") != std::string::npos || kind.find("FULL") != std::string::npos) nulled_.push_back(right);
        if (kind.find("RIGHT") != std::string::npos || kind.find("FULL") != std::string::npos) nulled_.push_back(left);
        std::string on = key;
        if (Chance(30)) on += " AND " + std::string(left->alias) + ".id < " + std::to_string(Int(50, 800));
        return l + " " + kind + " " + r + " ON " + on;
      }
      case 4: {
        // A cross join with the small table, kept small by a filter on its key.
        const Table* small = &all[2];
        const Table* big = left == small ? right : left;
        from = {big, small};
        pending_ = std::string("c.id < ") + std::to_string(Int(2, 6));
        return std::string(big->name) + " " + big->alias + " CROSS JOIN tc c";
      }
      case 5: {
        const bool outer = Chance(40);
        if (outer) nulled_.push_back(right);
        return l + (outer ? " LEFT JOIN " : " JOIN ") + r + " USING (k)";
      }
      default: {
        // Three tables, comma and explicit joins mixed.
        from = {&all[0], &all[1], &all[2]};
        pending_ = "a.k = b.k";
        return "ta a JOIN tc c ON a.id = c.id, tb b";
      }
    }
  }

  Select Query() {
    Select s;
    const int form = Int(0, 9);
    if (form <= 4) {
      // Filters, joins, DISTINCT, ORDER BY, TOP.
      std::vector<const Table*> from;
      pending_.clear();
      nulled_.clear();
      const std::string tables = From(from);
      const bool qualify = true;
      const std::vector<std::string> items = Items(from, qualify, Int(1, 4));
      const bool distinct = Chance(25);
      std::string where;
      if (!pending_.empty()) where = pending_;
      if (Chance(75)) where += (where.empty() ? "" : " AND ") + Condition(from, qualify, 2);
      nulled_.clear();
      const std::string head = std::string("SELECT ") + (distinct ? "DISTINCT " : "");
      const std::string body = Join(items) + " FROM " + tables + (where.empty() ? "" : " WHERE " + where);
      std::string order;
      bool top = false;
      if (Chance(45)) {
        order = " ORDER BY ";
        for (size_t i = 1; i <= items.size(); ++i) order += (i > 1 ? ", " : "") + std::to_string(i) + (Chance(30) ? " DESC" : "");
        s.ordered = true;
        top = Chance(50);
      }
      if (top) {
        const int n = Int(1, 30), m = Int(1, 40);
        const bool start = Chance(60);
        s.ours = head + "TOP " + std::to_string(n) + (start ? ", " + std::to_string(m) : "") + " " + body + order;
        s.lite = head + body + order + " LIMIT " + std::to_string(n) + (start ? " OFFSET " + std::to_string(m - 1) : "");
      } else {
        s.ours = head + body + order;
        s.lite = s.ours;
      }
      return s;
    }
    if (form <= 6) {
      // GROUP BY with aggregates and HAVING, or aggregates over the whole input.
      const Table& t = Pick(Tables());
      std::vector<const Table*> from = {&t};
      std::vector<std::string> groups;
      if (Chance(85)) {
        groups.push_back(Pick(from, false).text);
        if (Chance(30)) {
          const std::string second = Pick(from, false).text;
          if (second != groups[0]) groups.push_back(second);
        }
      }
      std::vector<std::string> items = groups;
      static const std::vector<std::string> aggregates = {"COUNT", "SUM", "MIN", "MAX", "AVG"};
      for (int i = Int(1, 3); i > 0; --i) {
        const std::string f = Pick(aggregates);
        if (f == "COUNT" && Chance(50)) {
          items.push_back("COUNT(*)");
          continue;
        }
        const Ref r = Pick(from, false, (f == "SUM" || f == "AVG") ? (Chance(60) || !Has(from, kFloat, false) ? kInt : kFloat) : -1);
        items.push_back(f + "(" + r.text + ")");
      }
      std::string sql = "SELECT " + Join(items) + " FROM " + t.name;
      if (Chance(50)) sql += " WHERE " + Condition(from, false, 1);
      if (!groups.empty()) {
        sql += " GROUP BY " + Join(groups);
        if (Chance(40)) sql += " HAVING COUNT(*) " + std::string(Chance(50) ? ">" : "<=") + " " + std::to_string(Int(1, 12));
      }
      s.ours = s.lite = sql;
      if (!groups.empty() && Chance(40)) {
        std::string order = " ORDER BY ";
        for (size_t i = 1; i <= groups.size(); ++i) order += (i > 1 ? ", " : "") + std::to_string(i) + (Chance(30) ? " DESC" : "");
        s.ours += order;
        s.lite += order;
        s.ordered = true;
      }
      return s;
    }
    // Set operations over two single-table queries of one column kind.
    const Kind kind = Chance(60) ? kInt : kText;
    auto side = [&]() {
      const Table& t = Pick(Tables());
      std::vector<const Table*> from = {&t};
      const Ref r = Pick(from, false, kind);
      return "SELECT " + r.text + " FROM " + t.name + " WHERE " + Condition(from, false, 1);
    };
    static const std::vector<std::string> ops = {"UNION", "UNION ALL", "EXCEPT", "INTERSECT"};
    s.ours = side() + " " + Pick(ops) + " " + side();
    // INTERSECT binds tighter than UNION and EXCEPT in ours; SQLite reads all of them
    // left to right: INTERSECT is never the second operator.
    static const std::vector<std::string> later = {"UNION", "UNION ALL", "EXCEPT"};
    if (Chance(30)) s.ours += " " + Pick(later) + " " + side();
    if (Chance(40)) {
      s.ours += Chance(30) ? " ORDER BY 1 DESC" : " ORDER BY 1";
      s.ordered = true;
    }
    s.lite = s.ours;
    return s;
  }

  // A generated UPDATE or DELETE (the same text on both sides).
  std::string Change() {
    const Table& t = Pick(Tables());
    std::vector<const Table*> from = {&t};
    const std::string where = " WHERE " + Condition(from, false, 1);
    if (Chance(30)) return std::string("DELETE FROM ") + t.name + where;
    std::string set;
    for (int i = Int(1, 2); i > 0; --i) {
      const Column& c = t.columns[static_cast<size_t>(Int(1, static_cast<int>(t.columns.size()) - 1))];
      if (set.find(std::string(c.name) + " =") != std::string::npos) continue;
      std::string value;
      if (c.nullable && Chance(15)) {
        value = "NULL";
      } else if (c.kind == kText) {
        value = Literal(kText);
      } else if (c.kind == kInt) {
        value = Chance(50) ? std::string(c.name) + " + " + std::to_string(Int(1, 5)) : Literal(kInt);
      } else {
        value = Chance(50) ? std::string(c.name) + " * 2" : Literal(kFloat);
      }
      set += (set.empty() ? "" : ", ") + std::string(c.name) + " = " + value;
    }
    return std::string("UPDATE ") + t.name + " SET " + set + where;
  }

 private:
  std::mt19937 rng_;
  std::string pending_;
  std::vector<const Table*> nulled_;
  bool strict_ = false;
};

class SQLDifferential : public ::testing::Test {
 protected:
  SQLDifferential() : ours(false) {}

  void CreateAndFill(Generator& g) {
    const char* ddl[] = {
        "CREATE TABLE ta (id INTEGER NOT NULL, k INTEGER, f FLOAT, s VARCHAR(6) NOT NULL, u VARCHAR(6))",
        "CREATE TABLE tb (id INTEGER NOT NULL, k INTEGER, f FLOAT NOT NULL, s VARCHAR(6))",
        "CREATE TABLE tc (id INTEGER NOT NULL, k INTEGER NOT NULL, s VARCHAR(6) NOT NULL)",
        "CREATE INDEX ta_k ON ta (k)",
        "CREATE INDEX ta_s ON ta (s)",
        "CREATE INDEX tb_k ON tb (k)",
        "CREATE INDEX tb_s ON tb (s)",
        "CREATE INDEX tc_id ON tc (id)",
    };
    for (const char* sql : ddl) {
      ours.Run(sql);
      lite.Exec(sql);
    }
    for (const std::string& sql : g.Fill()) {
      ours.Run(sql);
      lite.Exec(sql);
    }
  }

  // Runs one SELECT on both sides; a mismatch is a failure showing everything.
  void Compare(const Generator::Select& s) {
    Rows expected, got;
    std::string lite_error, our_error;
    const bool lite_ok = lite.Query(s.lite, expected, lite_error);
    try {
      ours.Processor().SetSQL(Wide(s.ours));
      got = OurRows(ours.Processor().Execute());
    } catch (const VODIDivodavir& e) {
      our_error = e.Message();
    }
    if (!lite_ok) {
      ADD_FAILURE() << "SQLite refused: " << lite_error << "\n  " << s.lite;
      return;
    }
    if (!our_error.empty()) {
      ADD_FAILURE() << "ours failed: " << our_error << "\n  ours:   " << s.ours << "\n  SQLite: " << s.lite;
      return;
    }
    if (!s.ordered) {
      std::sort(expected.begin(), expected.end());
      std::sort(got.begin(), got.end());
    }
    if (got != expected)
      ADD_FAILURE() << (s.ordered ? "rows differ (in order)" : "rows differ (as multisets)") << "\n  ours:   " << s.ours
                    << "\n  SQLite: " << s.lite << "\n  ours gave:\n"
                    << Show(got) << "  SQLite gave:\n"
                    << Show(expected);
  }

  // Every table of both sides, as sorted rows.
  void CompareTables(const std::string& after) {
    for (const Table& t : Tables()) {
      Generator::Select s;
      s.ours = s.lite = std::string("SELECT * FROM ") + t.name;
      Rows expected, got;
      std::string error;
      ASSERT_TRUE(lite.Query(s.lite, expected, error)) << error;
      for (const std::string& row : ours.Rows(t.name)) {
        std::string normal, field;
        size_t start = 0;
        for (;;) {
          const size_t bar = row.find('|', start);
          field = row.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
          normal += (start == 0 ? "" : "|") + (field == "NULL" ? field : Normal(field.c_str()));
          if (bar == std::string::npos) break;
          start = bar + 1;
        }
        got.push_back(normal);
      }
      std::sort(expected.begin(), expected.end());
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got.size(), expected.size()) << t.name << " after " << after;
      if (got != expected) {
        ADD_FAILURE() << t.name << " differs after: " << after;
        return;
      }
    }
  }

  SQLTestDatabase ours;
  Lite lite;
};

// DADOVERI_SQL_SEED replaces the fixed seed, for exploring.
uint32_t Seed(uint32_t fixed) {
  const char* v = std::getenv("DADOVERI_SQL_SEED");
  return v ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : fixed;
}

TEST_F(SQLDifferential, GeneratedSelectsAgreeWithSQLite) {
  Generator g(Seed(20261211));
  CreateAndFill(g);
  CompareTables("filling");
  for (int i = 0; i < 300 && !HasFatalFailure(); ++i) Compare(g.Query());
}

// Queries that once disagreed: sorting by number over computed columns without a name, and
// a union of computed columns, whose type must come from the values, not be text.
TEST_F(SQLDifferential, ChosenQueriesAgreeWithSQLite) {
  Generator g(Seed(20261211));
  CreateAndFill(g);
  const char* const queries[] = {
      "SELECT a.k + 3, -a.k FROM ta a WHERE a.id < 40 ORDER BY 1, 2 DESC",
      "SELECT DISTINCT k / 2, f * 2 FROM ta WHERE id < 80 ORDER BY 2, 1",
      "SELECT k + 1, k - 1 FROM tb ORDER BY 1 DESC, 2",
      "SELECT k + 1, k + 2 FROM ta WHERE id < 30 UNION SELECT k, k FROM tb WHERE id < 20 ORDER BY 2 DESC, 1",
      "SELECT k * 2 FROM tc UNION ALL SELECT id FROM tc ORDER BY 1",
      "SELECT f + 1 FROM tb WHERE id < 50 EXCEPT SELECT k FROM tc ORDER BY 1 DESC",
  };
  for (const char* sql : queries) {
    Generator::Select s;
    s.ours = s.lite = sql;
    s.ordered = true;
    Compare(s);
  }
}

TEST_F(SQLDifferential, GeneratedUpdatesAndDeletesLeaveTheSameTables) {
  Generator g(Seed(7031));
  CreateAndFill(g);
  for (int i = 0; i < 60 && !HasFatalFailure(); ++i) {
    const std::string sql = g.Change();
    int64_t changed = -1;
    std::string error;
    try {
      changed = ours.Run(sql);
    } catch (const VODIDivodavir& e) {
      error = e.Message();
    }
    ASSERT_TRUE(error.empty()) << "ours failed: " << error << "\n  " << sql;
    lite.Exec(sql);
    (void)changed;
    CompareTables(sql);
    if (i % 10 == 9) Compare(g.Query());
  }
}

}  // namespace
}  // namespace dadoveri
