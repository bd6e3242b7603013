#include "tools/mkdict/dictionary_file.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <type_traits>

#include "engine/database/local_cursor.h"
#include "engine/platform/locale.h"
#include "engine/base/engine_error.h"
#include "engine/database/disk_connection.h"
#include "engine/database/disk_database_data.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"
#include "engine/table/variant.h"

namespace dadoveri::mkdict {

namespace {

// A connection with durable commits by default; the bulk loads of a fresh file turn them
// off. The file being written is new and nobody else's: it is opened exclusively, which
// spares every step the locks and rereads that guard a file other processes share.
class Connection : public TABSDiskConnection {
 public:
  Connection(const std::string& file, const std::string& password, bool durable = true, bool exclusive = false)
      : TABSDiskConnection(file, Options(password, durable, exclusive)) {}

 private:
  static TABSConnectOptions Options(const std::string& password, bool durable, bool exclusive) {
    TABSConnectOptions options;
    options.Password.Password = password;
    options.DurableCommits = durable;
    options.Exclusive = exclusive;
    return options;
  }
};

struct Column {
  const char* Name;
  TABSColumnType Type;
  int32_t Size;
};

void create_table(Connection& c, const std::string& name, const std::vector<Column>& columns, const char* indexed) {
  TABSTableMetadata m;
  for (const Column& col : columns) {
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = col.Name;
    f->SetType(col.Type, col.Size);
  }
  m.Fields.RecomputeOffsets();
  if (indexed) {
    // Ascending and case-sensitive, so a prefix search is a range of this index.
    TABSIndexDef* index = m.Indexes.AddIndexDef();
    index->Name = std::string("IX_") + indexed;
    TABSIndexDefs::BuildColumns(*index, {indexed}, {"ASC"}, {""});
  }
  c.db().CreateTable(c.session().SessionID, name, m);
}

// Inserts the rows `fill` writes into the cursor's record inside the session's transaction,
// committing every `rows_per_commit` rows (0: never; the caller commits).
template <typename Row, typename Fill>
void insert_rows(Connection& c, const std::string& table, const std::vector<Row>& rows, int64_t rows_per_commit,
                 Fill fill) {
  TABSLocalCursor cursor(&c.session(), table);
  cursor.Open(c.db());
  const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
  c.session().InTransaction = true;
  int64_t pending = 0;
  // One value for each text kind, reused from row to row: a value keeps the text kind it
  // was first given, so a wide text set into one that held single-byte text would be
  // cut to the code page.
  TABSVariant narrow, wide;
  for (const Row& row : rows) {
    cursor.NewRecord();
    fill(row, [&](int32_t field, const auto& value) {
      if (value.empty()) {
        layout.SetNull(field, cursor.CurrentRecord);
        return;
      }
      if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
        narrow.SetAsString(value);
        layout.SetFieldValue(field, narrow, cursor.CurrentRecord);
      } else {
        wide.SetAsWideString(value);
        layout.SetFieldValue(field, wide, cursor.CurrentRecord);
      }
    });
    const int32_t result = cursor.PostInsert();
    if (result != roOK)
      throw std::runtime_error("a record of table '" + table + "' was refused (outcome " + std::to_string(result) +
                               (cursor.LastMessage.empty() ? "" : ": " + cursor.LastMessage) + ")");
    if (rows_per_commit > 0 && ++pending >= rows_per_commit) {
      c.session().InTransaction = false;
      c.db().CommitSession(c.session().SessionID, true);
      c.session().InTransaction = true;
      pending = 0;
    }
  }
}

void write_tables(const std::string& file, const std::string& password, const FieldSizes& sizes, const Dictionary& d,
                  const std::vector<Flashcard>& cards, const WriteOptions& options);

int32_t longest(int32_t so_far, size_t length) { return std::max(so_far, static_cast<int32_t>(length)); }

}  // namespace

std::vector<Flashcard> ReadFlashcards(const std::string& file, const std::string& password) {
  Connection c(file, password);
  // Reads through the table cursor's plain storage-order steps; the rows are few and the
  // cursor's navigation is the one place to follow if it changes.
  TABSLocalCursor cursor(&c.session(), "flashcard");
  cursor.Open(c.db());
  const TABSFieldDefs& defs = cursor.TableData()->FieldDefs();
  const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
  const int32_t word = defs.IndexOf("word"), meaning = defs.IndexOf("meaning");
  if (word < 0 || meaning < 0) throw std::runtime_error("table 'flashcard' of '" + file + "' has no 'word' and 'meaning'");
  auto text = [&](int32_t field) -> std::u16string {
    if (layout.IsNull(field, cursor.CurrentRecord)) return {};
    TABSVariant v;
    layout.GetFieldValue(field, cursor.CurrentRecord, v);
    return v.IsNull() ? std::u16string() : v.GetAsWideString();
  };
  std::vector<Flashcard> cards;
  cursor.GoToBegin();
  while (cursor.Step(grmNext) == grrFound) cards.push_back({text(word), text(meaning)});
  return cards;
}

FieldSizes SizesFor(const Dictionary& d, const std::vector<Flashcard>& cards) {
  FieldSizes s;
  for (const Eng2PerRecord& r : d.Eng2Per) s.Eng = longest(s.Eng, r.Eng.size()), s.Far = longest(s.Far, r.Far.size());
  for (const Per2EnRecord& r : d.Per2En) s.Per = longest(s.Per, r.Per.size()), s.En = longest(s.En, r.En.size());
  // A card holds a copied headword and meaning of either table, or an older card.
  s.Word = std::max(s.Eng, s.Per);
  s.Meaning = std::max(s.Far, s.En);
  for (const Flashcard& c : cards) s.Word = longest(s.Word, c.Word.size()), s.Meaning = longest(s.Meaning, c.Meaning.size());
  return s;
}

void WriteDictionaryFile(const std::string& file, const std::string& password, const Dictionary& d,
                         const std::vector<Flashcard>& cards, const WriteOptions& options) {
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) throw std::runtime_error("'" + file + "' exists already");
  const FieldSizes sizes = SizesFor(d, cards);
  // The smallest page that holds a record of every table: the fields are as long as the
  // longest value, so a long meaning asks for a larger page.
  for (uint16_t page_size = 4096;; page_size = static_cast<uint16_t>(page_size * 2)) {
    {
      TABSDiskDatabaseData db(file);
      db.CreateSettings.PageSize = page_size;
      db.CreateSettings.Password.Password = password;
      db.CreateDatabase();
    }
    try {
      write_tables(file, password, sizes, d, cards, options);
      return;
    } catch (const VODIDivodavir& e) {
      if (e.NativeError != 20174 || page_size >= 32768) throw;
      std::filesystem::remove(file, ec);
    }
  }
}

namespace {

void write_tables(const std::string& file, const std::string& password, const FieldSizes& sizes, const Dictionary& d,
                  const std::vector<Flashcard>& cards, const WriteOptions& options) {
  // mkdict commits without the disk waits: the file is new and is only renamed into place
  // after it is closed, which syncs it once.
  Connection c(file, password, options.DurableCommits, true);
  create_table(c, "eng2per", {{"Eng", ctString, sizes.Eng}, {"Far", ctWideString, sizes.Far}}, "Eng");
  create_table(c, "per2en", {{"Per", ctWideString, sizes.Per}, {"En", ctWideString, sizes.En}}, "Per");
  create_table(c, "flashcard", {{"word", ctWideString, sizes.Word}, {"meaning", ctWideString, sizes.Meaning}}, nullptr);
  const int64_t every = options.RowsPerCommit;
  insert_rows(c, "eng2per", d.Eng2Per, every, [](const Eng2PerRecord& r, auto set) {
    set(0, r.Eng);
    set(1, r.Far);
  });
  insert_rows(c, "per2en", d.Per2En, every, [](const Per2EnRecord& r, auto set) {
    set(0, r.Per);
    set(1, r.En);
  });
  insert_rows(c, "flashcard", cards, every, [](const Flashcard& r, auto set) {
    set(0, r.Word);
    set(1, r.Meaning);
  });
  c.session().InTransaction = false;
  c.db().CommitSession(c.session().SessionID, true);
}

}  // namespace

int64_t ReplaceDictionaryFile(const std::string& out, const std::string& password, const Dictionary& d) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<Flashcard> cards;
  // An existing target that cannot be read stops the build: replacing it would lose the
  // user's cards.
  if (fs::exists(out, ec)) cards = ReadFlashcards(out, password);
  const std::string temporary = out + ".new";
  fs::remove(temporary, ec);
  try {
    WriteDictionaryFile(temporary, password, d, cards);
    fs::rename(temporary, out);
  } catch (...) {
    fs::remove(temporary, ec);
    throw;
  }
  return static_cast<int64_t>(cards.size());
}

void UseFixedCollationAndCodePage() { UseRootCollationAndCodePage1252(); }

}  // namespace dadoveri::mkdict

