// Ranges of record indexes for partial (prefix) conditions against a full scan: every record
// whose text begins with the prefix (or whose first characters order as the operator
// demands) is found, none twice, in index order, over mixed case, accents, Persian and
// Arabic letters, digits, punctuation, blanks, cut keys, descending and case-insensitive
// columns. The collation is the process's: ctest runs these tests again under a Persian
// locale with code page 1256 and under a Czech locale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/comparison.h"
#include "engine/table/index_def.h"
#include "tests/engine/table/btree_test_support.h"

namespace dadoveri {
namespace {

using testing::kIndexSession;
using testing::MemoryRecords;
using testing::TempFolder;

constexpr int32_t S = kIndexSession;

// Records of fields N (integer), T (single-byte text, 40) and W (wide text, 30), and any
// number of indexes over them in one database.
class RangeTable {
 public:
  RangeTable() {
    pm_ = testing::CreateIndexDatabase(folder_.File("r.db"), 1024);
    testing::AddField(fields_, "N", ctInteger);
    testing::AddField(fields_, "T", ctString, 40);
    testing::AddField(fields_, "W", ctWideString, 30);
    layout_ = fields_.RecordLayout();
    records_ = std::make_unique<MemoryRecords>(layout_.MemoryRecordSize());
  }
  ~RangeTable() {
    indexes_.clear();
    pm_->RollbackPages(S);
    testing::CloseIndexDatabase(pm_);
  }

  // A record; an empty text is NULL. `t` is stored through the process's code page.
  std::vector<uint8_t> Make(int32_t n, const std::u16string& t, const std::u16string& w) const {
    std::vector<uint8_t> r(static_cast<size_t>(layout_.MemoryRecordSize()));
    layout_.InitRecord(r.data());
    layout_.ClearNull(0, r.data());
    std::memcpy(r.data() + layout_.Field(0).MemoryOffset, &n, 4);
    if (!t.empty()) {
      const std::string ansi = AnsiCodePage().ToAnsi(t);
      layout_.ClearNull(1, r.data());
      std::memcpy(r.data() + layout_.Field(1).MemoryOffset, ansi.data(), ansi.size());
    }
    if (!w.empty()) {
      layout_.ClearNull(2, r.data());
      std::memcpy(r.data() + layout_.Field(2).MemoryOffset, w.data(), w.size() * 2);
    }
    return r;
  }
  void Add(const std::vector<uint8_t>& record) {
    const TABSRecordID id = records_->Add(record);
    for (auto& index : indexes_) index->Insert(S, record.data(), id);
  }
  TABSBTreeRecordIndex& AddIndex(std::vector<TABSIndexColumn> columns) {
    TABSIndexDef def;
    def.Name = "IX" + std::to_string(indexes_.size());
    def.ObjectID = static_cast<int32_t>(indexes_.size()) + 10;
    def.Columns = std::move(columns);
    auto index = std::make_unique<TABSBTreeRecordIndex>(pm_.get(), &fields_, records_.get());
    index->Create(S, true, def);
    indexes_.push_back(std::move(index));
    return *indexes_.back();
  }
  // Record identifiers in index order.
  std::vector<TABSRecordID> Walk(TABSBTreeRecordIndex& index) {
    std::vector<TABSRecordID> ids;
    TABSKeyPath path;
    if (!index.First(S, path)) return ids;
    do ids.push_back(index.RecordIDAt(S, path));
    while (index.Next(S, path));
    return ids;
  }

  const TABSRecordLayout& Layout() const { return layout_; }
  MemoryRecords& Records() { return *records_; }

 private:
  TempFolder folder_;
  std::unique_ptr<TABSDiskPageManager> pm_;
  TABSFieldDefs fields_;
  TABSRecordLayout layout_;
  std::unique_ptr<MemoryRecords> records_;
  std::vector<std::unique_ptr<TABSBTreeRecordIndex>> indexes_;
};

enum TextOp { opEq, opLt, opGt, opLe, opGe };
const char* const kOpNames[] = {"=", "<", ">", "<=", ">="};

// The index kind of a text operator on an ascending or descending column.
int32_t kind_of(TextOp op, bool descending) {
  switch (op) {
    case opEq: return ickEqual;
    case opLt: return descending ? ickGreater : ickLess;
    case opGt: return descending ? ickLess : ickGreater;
    case opLe: return descending ? ickGreaterOrEqual : ickLessOrEqual;
    default: return descending ? ickLessOrEqual : ickGreaterOrEqual;
  }
}

bool op_holds(TextOp op, int order) {
  switch (op) {
    case opEq: return order == 0;
    case opLt: return order < 0;
    case opGt: return order > 0;
    case opLe: return order <= 0;
    default: return order >= 0;
  }
}

// The filter's own comparison of a field with a constant: the engine's value comparison,
// over the constant's length when partial, NULL below everything.
int filter_order(const TABSRecordLayout& layout, const std::vector<uint8_t>& record, const std::vector<uint8_t>& key,
                 int32_t field_no, bool case_insensitive, int32_t prefix) {
  const TABSFieldLayout& f = layout.Field(field_no);
  return CompareResultOrder(CompareValues(record.data() + f.MemoryOffset, f.BaseType, layout.IsNull(field_no, record.data()),
                                          key.data() + f.MemoryOffset, f.BaseType, layout.IsNull(field_no, key.data()),
                                          case_insensitive, prefix, f.MemoryDataSize, f.MemoryDataSize));
}

struct RangeResult {
  std::vector<TABSRecordID> ids;
  int64_t needs_record = 0;
  int64_t reads = 0;
};

// A scan of the range the way a search does it: test each entry on its stored key, read
// the record only when that cannot tell. Entry by entry (Step), or by Walk.
RangeResult scan(RangeTable& table, TABSBTreeRecordIndex& index, const TABSIndexKeyCondition& c, bool forward,
                 bool walk = false) {
  RangeResult out;
  TABSIndexRange range(index, &c);
  const int64_t reads_before = table.Records().reads;
  std::vector<uint8_t> record(static_cast<size_t>(table.Layout().MemoryRecordSize()));
  auto visit = [&](const TABSRecordID& id, TABSIndexEntryTest test) {
    if (test == ietOut) return;
    if (test == ietNeedsRecord) {
      ++out.needs_record;
      table.Records().ReadRecord(S, id, record.data());
      if (!range.Accepts(record.data())) return;
    }
    out.ids.push_back(id);
  };
  TABSKeyPath path;
  if (walk) {
    if (range.Seek(S, forward, path)) {
      EXPECT_FALSE(range.Walk(S, forward, path, [&](const TABSKeyPath&, const TABSRecordID& id, TABSIndexEntryTest test) {
        visit(id, test);
        return true;
      }));
    }
  } else {
    for (bool at = range.Seek(S, forward, path); at; at = range.Step(S, forward, path))
      visit(range.RecordIDAt(S, path), range.Test(S, path));
  }
  out.reads = table.Records().reads - reads_before - out.needs_record;
  if (!forward) std::reverse(out.ids.begin(), out.ids.end());
  return out;
}

// Characters of the generated texts: Latin letters in both cases, Windows-1252 accents,
// the Czech "ch", Persian and Arabic yeh and kaf (U+06CC, U+064A, U+06A9, U+0643) with
// other Arabic letters, digits, punctuation and blanks; a combining accent in wide text.
const std::u16string kLetters =
    u"aabbAB\u00e1\u00c1\u00e9\u00dfcChH\u064a\u06cc\u0643\u06a9\u0627\u0628\u0647"
    u"01- .";

std::u16string random_text(std::mt19937& rng, const std::u16string& letters, size_t max_length) {
  std::u16string s;
  const size_t n = std::uniform_int_distribution<size_t>(0, max_length)(rng);
  for (size_t i = 0; i < n; ++i) s += letters[std::uniform_int_distribution<size_t>(0, letters.size() - 1)(rng)];
  return s;
}

TEST(IndexPrefixRange, FindsEveryRecordThatAPrefixAcceptsInIndexOrder) {
  SCOPED_TRACE("locale '" + UserLocale().Name() + "', code page " + std::to_string(AnsiCodePage().Number()));
  RangeTable table;
  struct IndexCase {
    const char* name;
    std::vector<TABSIndexColumn> columns;
  };
  const std::vector<IndexCase> index_cases = {
      {"T", {{"T", false, false, 20}}},
      {"T descending", {{"T", true, false, 20}}},
      {"T without case", {{"T", false, true, 20}}},
      {"T cut at 6", {{"T", false, false, 6}}},
      {"W", {{"W", false, false, 60}}},
      {"W descending without case, cut at 4 characters", {{"W", true, true, 8}}},
      {"N, W", {{"N", false, false, 20}, {"W", false, false, 60}}},
  };
  std::vector<TABSBTreeRecordIndex*> indexes;
  for (const IndexCase& c : index_cases) indexes.push_back(&table.AddIndex(c.columns));

  // Texts from a few stems, so that prefixes are shared, single-byte ones only of what the
  // code page holds.
  std::mt19937 rng(20261210);
  std::u16string ansi_letters, wide_letters = kLetters + u"\u0301";
  for (char16_t ch : kLetters)
    if (AnsiCodePage().Contains(ch)) ansi_letters += ch;
  std::vector<std::u16string> stems;
  for (int i = 0; i < 12; ++i) stems.push_back(random_text(rng, kLetters, 4));
  auto text = [&](const std::u16string& letters, size_t max_length) {
    std::u16string s;
    for (char16_t ch : stems[std::uniform_int_distribution<size_t>(0, stems.size() - 1)(rng)])
      if (letters.find(ch) != std::u16string::npos) s += ch;
    s += random_text(rng, letters, max_length);
    return s.substr(0, max_length);
  };
  std::vector<std::vector<uint8_t>> data;
  for (int i = 0; i < 240; ++i) {
    data.push_back(table.Make(i % 3, text(ansi_letters, 30), text(wide_letters, 30)));
    table.Add(data.back());
  }

  const TABSRecordLayout& layout = table.Layout();
  for (size_t ix = 0; ix < index_cases.size(); ++ix) {
    SCOPED_TRACE(index_cases[ix].name);
    TABSBTreeRecordIndex& index = *indexes[ix];
    const std::vector<TABSIndexColumn>& columns = index_cases[ix].columns;
    const TABSIndexColumn& last = columns.back();
    const int32_t field_no = last.FieldName == "T" ? 1 : 2;
    const bool wide = field_no == 2;
    const int32_t stored_chars = wide ? last.MaxIndexedSize / 2 : last.MaxIndexedSize;
    const std::vector<TABSRecordID> order = table.Walk(index);
    for (int round = 0; round < 14; ++round) {
      // A prefix of 1 … 25 characters of some record's text.
      const std::vector<uint8_t>& source = data[std::uniform_int_distribution<size_t>(0, data.size() - 1)(rng)];
      const TABSFieldLayout& f = layout.Field(field_no);
      std::u16string whole;
      if (wide) {
        whole.resize(static_cast<size_t>(f.MemoryDataSize / 2));
        std::memcpy(whole.data(), source.data() + f.MemoryOffset, whole.size() * 2);
      } else {
        whole = AnsiCodePage().ToWide(std::string(reinterpret_cast<const char*>(source.data() + f.MemoryOffset),
                                                  static_cast<size_t>(f.MemoryDataSize)));
      }
      whole.resize(std::min(whole.size(), whole.find(u'\0')));
      if (whole.empty()) continue;
      const size_t length = std::uniform_int_distribution<size_t>(1, std::min<size_t>(25, whole.size()))(rng);
      const std::u16string prefix = whole.substr(0, length);
      int32_t n;
      std::memcpy(&n, source.data() + layout.Field(0).MemoryOffset, 4);
      const std::vector<uint8_t> key = table.Make(n, wide ? u"" : prefix, wide ? prefix : u"");
      for (const TextOp op : {opEq, opLt, opGt, opLe, opGe}) {
        SCOPED_TRACE(std::string("operator ") + kOpNames[op] + ", prefix length " + std::to_string(length));
        // A two-column condition fixes N and takes the prefix on W.
        const int32_t k = static_cast<int32_t>(columns.size());
        auto accepts = [&](const TABSRecordID& id) {
          const std::vector<uint8_t>& r = table.Records().Get(id);
          if (k == 2) {
            const int n_order = filter_order(layout, r, key, 0, false, -1);
            if (n_order != 0) return op != opEq && op_holds(op, n_order);
          }
          return op_holds(op, filter_order(layout, r, key, field_no, last.CaseInsensitive,
                                           static_cast<int32_t>(prefix.size())));
        };
        std::vector<TABSRecordID> expected;
        for (const TABSRecordID& id : order)
          if (accepts(id)) expected.push_back(id);
        const TABSIndexKeyCondition condition{kind_of(op, last.Descending), key.data(), k, true};
        for (const bool forward : {true, false}) {
          const RangeResult got = scan(table, index, condition, forward);
          EXPECT_EQ(got.ids, expected) << (forward ? "forward" : "backward");
          const RangeResult walked = scan(table, index, condition, forward, true);
          EXPECT_EQ(walked.ids, expected) << (forward ? "walked forward" : "walked backward");
          EXPECT_EQ(walked.needs_record, got.needs_record);
          EXPECT_EQ(walked.reads, got.reads);
          // Only cut keys send a test to the record.
          if (static_cast<int32_t>(prefix.size()) <= stored_chars) {
            EXPECT_EQ(got.needs_record, 0);
          }
          EXPECT_EQ(got.reads, 0);
          TABSRecordID found;
          const bool any = index.Search(S, forward, &condition, found);
          EXPECT_EQ(any, !expected.empty());
          if (any && !expected.empty()) {
            EXPECT_EQ(found, forward ? expected.front() : expected.back());
          }
        }
      }
    }
  }
}

// Every text of one to four of the letters a, b, A and B: a search for the texts that
// begin with "Ab" (and the other partial operators) finds each of them, although in the
// collation "aB…" and "AB…" texts lie among them.
TEST(IndexPrefixRange, ShortTextsOfTwoLettersInBothCases) {
  RangeTable table;
  TABSBTreeRecordIndex& index = table.AddIndex({{"T"}});
  TABSBTreeRecordIndex& without_case = table.AddIndex({{"T", false, true}});
  std::vector<std::u16string> level{u""};
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::u16string> next;
    for (const std::u16string& t : level)
      for (char16_t c : std::u16string(u"abAB")) next.push_back(t + c);
    for (const std::u16string& t : next) table.Add(table.Make(0, t, u""));
    level = next;
  }
  const std::vector<uint8_t> key = table.Make(0, u"Ab", u"");
  const TABSRecordLayout& layout = table.Layout();
  for (TABSBTreeRecordIndex* ix : {&index, &without_case}) {
    const bool ci = ix == &without_case;
    for (const TextOp op : {opEq, opLt, opGt, opLe, opGe}) {
      SCOPED_TRACE(std::string("operator ") + kOpNames[op] + (ci ? " without case" : ""));
      std::vector<TABSRecordID> expected;
      for (const TABSRecordID& id : table.Walk(*ix))
        if (op_holds(op, filter_order(layout, table.Records().Get(id), key, 1, ci, 2))) expected.push_back(id);
      ASSERT_FALSE(expected.empty());
      const TABSIndexKeyCondition condition{kind_of(op, false), key.data(), 1, true};
      for (const bool walk : {false, true}) {
        EXPECT_EQ(scan(table, *ix, condition, true, walk).ids, expected);
        EXPECT_EQ(scan(table, *ix, condition, false, walk).ids, expected);
      }
    }
  }
  // The case-sensitive prefix: 21 texts, the first of them found by a forward search.
  const TABSIndexKeyCondition equal{ickEqual, key.data(), 1, true};
  EXPECT_EQ(scan(table, index, equal, true).ids.size(), 21u);
  TABSRecordID first;
  ASSERT_TRUE(index.Search(S, true, &equal, first));
  EXPECT_EQ(first, scan(table, index, equal, true).ids.front());
}

// Prefixes that end in a letter that begins a contraction (alef or waw with a combining
// hamza or madda, whose completions sort as letters of their own, elsewhere than the
// prefix; Czech "c" of "ch", which sorts after "h"): the texts beginning with them lie in
// disjoint runs of the index. Steps and walks in both directions find exactly what a full
// scan does, and visit no entry between the runs (texts that begin with other letters).
TEST(IndexPrefixRange, PrefixesEndingInTheStartOfAContractionKeepToTheirRuns) {
  SCOPED_TRACE("locale '" + UserLocale().Name() + "'");
  RangeTable table;
  struct IndexCase {
    const char* name;
    std::vector<TABSIndexColumn> columns;
  };
  const std::vector<IndexCase> index_cases = {
      {"W", {{"W", false, false, 60}}},
      {"W descending", {{"W", true, false, 60}}},
      {"W without case", {{"W", false, true, 60}}},
      {"W cut at 3 characters", {{"W", false, false, 6}}},
      {"N, W descending", {{"N", false, false, 20}, {"W", true, false, 60}}},
  };
  std::vector<TABSBTreeRecordIndex*> indexes;
  for (const IndexCase& c : index_cases) indexes.push_back(&table.AddIndex(c.columns));

  // Beginnings: Persian letters (alef and waw alone, with the combining marks and
  // precomposed), lower-case Latin letters around "ch"; tails of letters without marks.
  const std::vector<std::u16string> beginnings = {
      u"ا", u"آ", u"أ", u"إ", u"آ", u"أ", u"إ",
      u"ب", u"ت", u"د", u"ر", u"س", u"ف", u"م", u"ن",
      u"و", u"ؤ", u"ؤ", u"ه", u"ی", u"بو", u"بؤ",
      u"بآ", u"b", u"c", u"ch", u"d", u"h", u"i"};
  const std::u16string tail_letters = u"ابدوهیacdh";
  std::mt19937 rng(1211);
  for (int i = 0; i < 400; ++i) {
    const std::u16string& b = beginnings[static_cast<size_t>(i) % beginnings.size()];
    table.Add(table.Make(i % 2, u"", b + random_text(rng, tail_letters, 6)));
  }

  const TABSRecordLayout& layout = table.Layout();
  auto text_of = [&](const TABSRecordID& id) {
    const std::vector<uint8_t>& r = table.Records().Get(id);
    std::u16string w(static_cast<size_t>(layout.Field(2).MemoryDataSize / 2), u'\0');
    std::memcpy(w.data(), r.data() + layout.Field(2).MemoryOffset, w.size() * 2);
    return w.substr(0, w.find(u'\0'));
  };
  struct PrefixCase {
    std::u16string prefix;
    // Its last letter completed to the contractions it begins.
    std::vector<std::u16string> completions;
  };
  const std::vector<PrefixCase> prefix_cases = {
      {u"\u0648", {u"\u0648\u0654"}},
      {u"\u0627", {u"\u0627\u0653", u"\u0627\u0654", u"\u0627\u0655"}},
      {u"\u0628\u0648", {u"\u0648\u0654"}},
      {u"\u0628\u0627", {u"\u0627\u0653", u"\u0627\u0654", u"\u0627\u0655"}},
      {u"c", {u"ch"}},
  };
  // The primary weights of a text (its sort key up to the first level separator).
  auto primary = [](const std::u16string& t) {
    const std::string key = UserLocale().SortKey(t, false);
    return key.substr(0, key.find('\x01'));
  };
  for (size_t ix = 0; ix < index_cases.size(); ++ix) {
    SCOPED_TRACE(index_cases[ix].name);
    TABSBTreeRecordIndex& index = *indexes[ix];
    const std::vector<TABSIndexColumn>& columns = index_cases[ix].columns;
    const int32_t k = static_cast<int32_t>(columns.size());
    for (const PrefixCase& p : prefix_cases) {
      SCOPED_TRACE("prefix of " + std::to_string(p.prefix.size()) + " characters, last U+" +
                   std::to_string(static_cast<int>(p.prefix.back())));
      const std::vector<uint8_t> key = table.Make(1, u"", p.prefix);
      std::vector<TABSRecordID> expected;
      for (const TABSRecordID& id : table.Walk(index)) {
        const std::vector<uint8_t>& r = table.Records().Get(id);
        if (k == 2 && filter_order(layout, r, key, 0, false, -1) != 0) continue;
        if (filter_order(layout, r, key, 2, columns.back().CaseInsensitive, static_cast<int32_t>(p.prefix.size())) == 0)
          expected.push_back(id);
      }
      ASSERT_FALSE(expected.empty());
      const TABSIndexKeyCondition condition{ickEqual, key.data(), k, true};
      const std::u16string head = p.prefix.substr(0, p.prefix.size() - 1);
      for (const bool forward : {true, false}) {
        SCOPED_TRACE(forward ? "forward" : "backward");
        EXPECT_EQ(scan(table, index, condition, forward).ids, expected);
        EXPECT_EQ(scan(table, index, condition, forward, true).ids, expected);
        TABSRecordID found;
        ASSERT_TRUE(index.Search(S, forward, &condition, found));
        EXPECT_EQ(found, forward ? expected.front() : expected.back());
        // Every entry the walk visits begins with what weighs as the prefix or one of its
        // completions at the primary level (its letters, the last one with the marks
        // after it).
        std::vector<std::string> allowed{primary(p.prefix)};
        for (const std::u16string& c : p.completions) allowed.push_back(primary(head + c));
        TABSIndexRange range(index, &condition);
        TABSKeyPath path;
        int64_t visited = 0;
        if (range.Seek(S, forward, path))
          range.Walk(S, forward, path, [&](const TABSKeyPath&, const TABSRecordID& id, TABSIndexEntryTest) {
            ++visited;
            const std::u16string t = text_of(id);
            size_t n = std::min(t.size(), p.prefix.size());
            while (n < t.size() && t[n] >= 0x0653 && t[n] <= 0x0655) ++n;
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), primary(t.substr(0, n))), allowed.end())
                << "visited a text of " << t.size() << " characters, the first U+" << static_cast<int>(t.empty() ? 0 : t[0]);
            return true;
          });
        EXPECT_GE(visited, static_cast<int64_t>(expected.size()));
      }
    }
  }
}

// The locale the run is under does order texts as its own (so that the range tests above
// meet the locale's peculiarities).
TEST(IndexPrefixRange, TheRunsLocaleHasItsCollation) {
  const TUserLocale& locale = UserLocale();
  const std::string name = locale.Name();
  if (name.rfind("cs", 0) == 0) {
    EXPECT_GT(locale.Compare(u"cha", u"hz", false), 0);
  } else if (name.rfind("fa", 0) == 0) {
    // Arabic and Persian yeh and kaf sort alike.
    EXPECT_LT(locale.Compare(u"\u064aa", u"\u06ccb", false), 0);
    EXPECT_LT(locale.Compare(u"\u06cca", u"\u064ab", false), 0);
    EXPECT_LT(locale.Compare(u"\u0643a", u"\u06a9b", false), 0);
    EXPECT_LT(locale.Compare(u"\u06a9a", u"\u0643b", false), 0);
    EXPECT_EQ(AnsiCodePage().Number(), 1256);
  } else {
    EXPECT_LT(locale.Compare(u"aba", u"aBa", false), 0);
    EXPECT_LT(locale.Compare(u"aBa", u"abz", false), 0);
    EXPECT_LT(locale.Compare(u"abc", u"\u00e1bc", false), 0);
    EXPECT_LT(locale.Compare(u"\u00e1bc", u"abd", false), 0);
  }
}

}  // namespace
}  // namespace dadoveri
