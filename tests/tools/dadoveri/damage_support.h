// Helpers of the damaged-file tests and the file-open fuzzer: a sample database made
// through the engine's own database, table-list, metadata and B-tree code, and a reader
// that goes through everything a damaged copy of it offers — the engine's open, every
// table's metadata, every index walked and searched — and through the survey that
// `dadoveri check` and `dadoveri info` run. Whatever the file holds, each step must end in
// success or an engine error (VODIDivodavir); anything else escapes to the caller.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/database/disk_database_data.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"
#include "tools/dadoveri/database_survey.h"

namespace dadoveri::testing {

// The records an index reads when it breaks ties between cut text keys and fetches the
// record an entry names, standing in for the table data the engine does not store yet.
// Records come back cut or zero-filled to the size of the layout the reader loaded, which
// a damaged file may have changed.
class SampleRecords final : public TABSIndexRecordSource {
 public:
  bool ReadRecord(int32_t, const TABSRecordID& id, void* memory_record) override {
    auto it = records_.find(key(id));
    if (it == records_.end()) return false;
    std::memset(memory_record, 0, static_cast<size_t>(read_size_));
    std::memcpy(memory_record, it->second.data(), std::min<size_t>(it->second.size(), static_cast<size_t>(read_size_)));
    return true;
  }
  bool ReadNextRecord(int32_t session, TABSRecordID& id, bool from_first, void* memory_record) override {
    auto it = from_first ? records_.begin() : records_.upper_bound(key(id));
    if (it == records_.end()) return false;
    id = {static_cast<int32_t>(it->first >> 16), static_cast<uint16_t>(it->first & 0xFFFF)};
    return ReadRecord(session, id, memory_record);
  }
  int32_t TableChangeCounter() const override { return 1; }

  void Add(const TABSRecordID& id, std::vector<uint8_t> record) { records_[key(id)] = std::move(record); }
  // The size of the memory records the reader asks for.
  void SetReadSize(int32_t size) { read_size_ = size; }
  const std::vector<uint8_t>* First() const { return records_.empty() ? nullptr : &records_.begin()->second; }
  size_t Count() const { return records_.size(); }

 private:
  static int64_t key(const TABSRecordID& id) { return (static_cast<int64_t>(id.PageNo) << 16) | id.SlotNo; }
  std::map<int64_t, std::vector<uint8_t>> records_;
  int32_t read_size_ = 0;
};

// The records of each sample table, by table name.
using SampleBook = std::map<std::string, SampleRecords>;

inline void AddSampleField(TABSTableMetadata& m, const char* name, TABSColumnType type, int32_t size = 0) {
  TABSFieldDef* f = m.Fields.AddFieldDef();
  f->Name = name;
  f->SetType(type, size);
}

inline TABSIndexDef* AddSampleIndex(TABSTableMetadata& m, const char* name, const std::vector<std::string>& fields,
                                    const std::vector<std::string>& directions,
                                    const std::vector<std::string>& cases) {
  TABSIndexDef* index = m.Indexes.AddIndexDef();
  index->Name = name;
  TABSIndexDefs::BuildColumns(*index, fields, directions, cases);
  return index;
}

// A dictionary table (numbers, cut and whole text, wide text, dates, a memo, defaults and
// every kind of constraint) and a small flashcard table.
inline void SampleTables(TABSTableMetadata& dictionary, TABSTableMetadata& flashcard) {
  AddSampleField(dictionary, "Id", ctAutoincInteger);
  AddSampleField(dictionary, "Word", ctString, 40);
  AddSampleField(dictionary, "Meaning", ctWideString, 24);
  AddSampleField(dictionary, "Score", ctFloat);
  AddSampleField(dictionary, "Added", ctDateTime);
  AddSampleField(dictionary, "Notes", ctMemo);
  dictionary.Fields.Item(1)->DefaultValue.SetAsString("none");
  dictionary.Fields.Item(3)->DefaultValue.SetAsFloat(1.5);
  dictionary.Fields.RecomputeOffsets();
  TABSIndexDef* pk = AddSampleIndex(dictionary, "PK_Id", {"Id"}, {"ASC"}, {""});
  pk->Primary = pk->Unique = true;
  AddSampleIndex(dictionary, "ByWord", {"Word"}, {"DESC"}, {"NO_CASE"});
  AddSampleIndex(dictionary, "ByMeaningScore", {"Meaning", "Score"}, {"ASC", "DESC"}, {"CASE", ""});
  dictionary.Constraints.AddConstraint(DeriveConstraintFromIndex(*pk));
  dictionary.Constraints.AddNotNull("", "Word");
  TABSVariant low, high;
  low.SetAsFloat(-10);
  high.SetAsFloat(1000);
  dictionary.Constraints.AddCheck("", "Score", low, high);

  AddSampleField(flashcard, "Word", ctString, 10);
  AddSampleField(flashcard, "Meaning", ctWideString, 10);
  flashcard.Fields.RecomputeOffsets();
  AddSampleIndex(flashcard, "ByWord", {"Word"}, {"ASC"}, {"CASE"});
}

// Row `i` of a sample table, built by field name so that both tables share the code.
inline std::vector<uint8_t> SampleRecord(const TABSTableMetadata& m, int32_t i) {
  const TABSRecordLayout layout = m.Fields.RecordLayout();
  std::vector<uint8_t> record(static_cast<size_t>(layout.MemoryRecordSize()));
  layout.InitRecord(record.data());
  static const char* const stems[] = {"apple", "applesauce-with-cinnamon-and-cream", "Bridge", "bridgework",
                                      "commonprefixcommonprefix-one", "commonprefixcommonprefix-two", "zebra"};
  for (int32_t f = 0; f < layout.FieldCount(); ++f) {
    const std::string& name = layout.Field(f).Name;
    TABSVariant v;
    if (name == "Id") {
      v.SetAsInteger(i + 1);
    } else if (name == "Word") {
      if (i % 11 == 5) continue;  // some NULLs
      v.SetAsString(std::string(stems[i % 7]).substr(0, static_cast<size_t>(m.Fields.Item(f)->Size) - 2) +
                    (i % 3 ? std::to_string(i % 17) : ""));
    } else if (name == "Meaning") {
      v.SetAsWideString(i % 2 ? u"\u0633\u0644\u0627\u0645" : u"meaning");
    } else if (name == "Score") {
      v.SetAsFloat((i * 37 % 101) / 4.0);
    } else if (name == "Added") {
      v.SetAsTDateTime(45000 + i / 7.0);
    } else {
      continue;
    }
    layout.SetFieldValue(f, v, record.data());
  }
  return record;
}

// The rows of both sample tables under made-up record identifiers (BuildSampleDatabase
// answers the identifiers the engine gave them).
inline SampleBook SampleRows(int32_t dictionary_rows, int32_t flashcard_rows) {
  TABSTableMetadata dictionary, flashcard;
  SampleTables(dictionary, flashcard);
  SampleBook book;
  const std::tuple<const char*, const TABSTableMetadata*, int32_t> tables[] = {
      {"Dictionary", &dictionary, dictionary_rows}, {"Flashcard", &flashcard, flashcard_rows}};
  for (const auto& [name, m, rows] : tables) {
    SampleRecords& records = book[name];
    records.SetReadSize(m->Fields.MemoryRecordSize());
    for (int32_t i = 0; i < rows; ++i)
      records.Add({i / 40 + 100, static_cast<uint16_t>(i % 40)}, SampleRecord(*m, i));
  }
  return book;
}

// Makes the sample database: both tables with their rows stored through the engine (in
// record pages and every index), committed. The rows go in without the constraint
// checks a cursor's post makes (some Word values are NULL on purpose). The book holds
// each row under the record identifier it was stored with.
inline SampleBook BuildSampleDatabase(const std::string& file, const TABSPassword& password, uint16_t page_size,
                                      int32_t dictionary_rows, int32_t flashcard_rows) {
  TABSDiskDatabaseData db(file);
  db.CreateSettings.PageSize = page_size;
  db.CreateSettings.Password = password;
  db.CreateSettings.MaxConnections = 4;
  db.CreateDatabase();
  TABSConnectOptions options;
  options.Password = password;
  options.Exclusive = true;
  TABSBaseSession session(db.Connect(options));
  const int32_t s = session.SessionID;
  SampleBook book;
  TABSTableMetadata dictionary, flashcard;
  SampleTables(dictionary, flashcard);
  const std::tuple<const char*, TABSTableMetadata*, int32_t> tables[] = {{"Dictionary", &dictionary, dictionary_rows},
                                                                         {"Flashcard", &flashcard, flashcard_rows}};
  for (const auto& [name, m, rows] : tables) {
    TABSTableMetadata definitions;
    definitions.Fields.Assign(m->Fields);
    definitions.Indexes.Assign(m->Indexes);
    definitions.Constraints.Assign(m->Constraints);
    db.CreateTable(s, name, definitions);
    SampleRecords& records = book[name];
    records.SetReadSize(m->Fields.MemoryRecordSize());
    TABSLocalCursor cursor(&session, name);
    cursor.Open(db);
    session.InTransaction = true;
    for (int32_t i = 0; i < rows; ++i) {
      std::vector<uint8_t> record = SampleRecord(*m, i);
      std::memcpy(cursor.CurrentRecord, record.data(), record.size());
      if (!cursor.TableData()->InsertRecord(&cursor)) throw std::runtime_error("sample row not stored");
      records.Add(cursor.Position, std::move(record));
    }
    session.InTransaction = false;
    db.CommitSession(s);
  }
  db.Disconnect(s);
  return book;
}

// Runs `step`, letting an engine error end it.
template <typename Fn>
void EngineStep(Fn&& step) {
  try {
    step();
  } catch (const VODIDivodavir&) {
  }
}

// Walks and searches one index as a cursor would. Steps are bounded by `step_limit`.
inline void ReadIndex(TABSPageManager& pages, int32_t s, const TABSFieldDefs& fields, const TABSIndexDef& def,
                      SampleRecords* records, int64_t step_limit) {
  TABSBTreeRecordIndex index(&pages, &fields, records);
  index.Open(def);
  if (records) records->SetReadSize(fields.MemoryRecordSize());
  int64_t count = 0;
  EngineStep([&] { count = index.Count(s); });
  EngineStep([&] { index.CheckIntegrity(s); });
  TABSRecordID found;
  EngineStep([&] {
    TABSKeyPath path;
    for (bool more = index.First(s, path); more && step_limit-- > 0; more = index.Next(s, path)) {
      found = index.RecordIDAt(s, path);
      (void)index.IndexOrdinal(path);
    }
  });
  EngineStep([&] {
    TABSKeyPath path;
    for (bool more = index.Last(s, path); more && step_limit-- > 0; more = index.Prior(s, path))
      (void)index.ApproximatePosition(path);
  });
  EngineStep([&] {
    if (count > 0) {
      (void)index.RecordAtNumber(s, 1);
      (void)index.RecordAtNumber(s, count);
    }
    TABSKeyPath path;
    if (index.First(s, path)) (void)index.PathOfOrdinal(s, index.IndexOrdinal(path), path);
  });
  if (!records) return;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::max(fields.MemoryRecordSize(), 1)));
  EngineStep([&] {
    TABSIndexGetRecordRequest request;
    request.GoToFirst = true;
    request.RecordBuffer = buffer.data();
    TABSIndexPositionCache cache;
    request.PositionCache = &cache;
    index.GetRecord(s, request);
    for (int i = 0; i < 20 && request.Result == grrFound; ++i) {
      request.GoToFirst = false;
      request.PositionCache = i % 2 ? &cache : nullptr;
      index.GetRecord(s, request);
    }
  });
  EngineStep([&] { (void)index.RecordNumberOf(s, found, buffer.data()); });
  const std::vector<uint8_t>* key = records->First();
  if (!key) return;
  std::vector<uint8_t> key_record(buffer.size(), 0);
  std::memcpy(key_record.data(), key->data(), std::min(key->size(), key_record.size()));
  for (int32_t kind = ickEqual; kind <= ickGreaterOrEqual; ++kind) {
    for (const bool forward : {true, false}) {
      EngineStep([&] {
        TABSIndexKeyCondition condition{kind, key_record.data(), 1, kind == ickEqual};
        TABSRecordID id;
        index.Search(s, forward, &condition, id);
      });
    }
  }
  EngineStep([&] {
    const TABSIndexKeyCondition low{ickGreaterOrEqual, key_record.data(), -1, false};
    const TABSIndexKeyCondition high{ickLessOrEqual, key_record.data(), -1, false};
    (void)index.ApproximateCountBetween(s, low, high, count);
  });
  EngineStep([&] { (void)index.IsUnique(s, key_record.data()); });
  EngineStep([&] {
    TABSRecordBitmap bitmap;
    for (int64_t o = 0; o < count; ++o) bitmap.Bits.SetBit(o, true);
    index.ReduceToDistinctKeys(s, bitmap, 1);
  });
}

// Opens the file through the engine and reads every table's metadata and every index.
inline void ReadThroughEngine(const std::string& file, const TABSPassword& password, SampleBook* book,
                              int64_t step_limit = 2000) {
  TABSDiskDatabaseData db(file);
  TABSConnectOptions options;
  options.Password = password;
  int32_t s = -1;
  try {
    s = db.Connect(options);
  } catch (const VODIDivodavir&) {
    return;
  }
  EngineStep([&] {
    std::vector<std::string> names;
    db.GetTableNames(names);
    for (const std::string& name : names) {
      TABSTableMetadata m;
      try {
        db.ReadTableMetadata(s, name, m);
      } catch (const VODIDivodavir&) {
        continue;
      }
      SampleRecords* records = nullptr;
      if (book) {
        auto it = book->find(name);
        if (it != book->end()) records = &it->second;
      }
      for (int32_t i = 0; i < m.Indexes.Count(); ++i)
        EngineStep([&] { ReadIndex(db.DiskPageManager(), s, m.Fields, *m.Indexes.Item(i), records, step_limit); });
    }
  });
  EngineStep([&] { db.Disconnect(s); });
}

// What `dadoveri check` and `dadoveri info` do with the file; true when check found it
// sound.
inline bool SurveyFile(const std::string& file, const TABSPassword& password) {
  bool sound = false;
  EngineStep([&] { sound = tool::CheckDatabase(file, password).empty(); });
  EngineStep([&] { (void)tool::ReadDatabaseInfo(file, password); });
  return sound;
}

}  // namespace dadoveri::testing
