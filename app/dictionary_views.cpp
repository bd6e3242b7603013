// The dictionary data of the window and the views that work on it: opening data.dat with
// its three tables, binding the data-aware widgets, the incremental English–Persian search
// through JvThread1 (a filter on eng2per), the incremental Persian–English search through
// JvThread2 (the query ABSQuery1 over per2en), navigation, copying an entry to the
// flashcards and deleting a card.
//
// Threads: a search step runs on its worker and again, as the finish step, on the main
// thread. It changes ABSTable1 or ABSQuery1 only while holding DatasetLock, which the main
// thread also holds around every use of the window's datasets (the handlers below, the
// grids' row reads, the widgets' data links). On the worker the step first defers the
// controls of what it changes, so no notification reaches a widget there; the main thread
// delivers them. Rebinding the Persian grid and memo between table and query is widget work
// and is done by the finish step alone.
//
// ABSQuery1 has DataSource1 as its master, so a move of ABSTable1 runs it again. The
// English worker defers ABSTable1's controls, which holds that notification back as well;
// the re-run then happens when the main thread delivers it.
#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QTableView>

#include <QFileInfo>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "app/image.h"
#include "app/main_window.h"
#include "engine/dataset/data_source.h"
#include "engine/base/persian_letters.h"
#include "engine/dataset/database.h"
#include "engine/dataset/query.h"
#include "engine/dataset/table.h"
#include "engine/platform/code_page.h"

namespace nilvar {
namespace {

// The name the window's datasets find its database by. A second window of the process
// takes "data.dat (2)" and so on: the names are unique within the session.
constexpr char kDatabaseName[] = "data.dat";
constexpr char kDatabaseFile[] = "data.dat";
constexpr char kPassword[] = "41736285";
// The Persian search: the headwords of per2en that are LIKE the bound pattern.
constexpr char16_t kPersianSearch[] = u"SELECT *   FROM per2en WHERE per LIKE :Name";

// Reads a grid row of a table dataset by record number, without moving its current record.
TDBGrid::RowReader TableRowReader() {
  return [](dadoveri::TDataSet& dataset, int64_t recno, const std::vector<std::string>& fields,
            QStringList& values) {
    auto& table = static_cast<dadoveri::TABSDataSet&>(dataset);
    std::vector<dadoveri::TFieldValue> record;
    if (!table.ReadRecordValues(recno, record)) return false;
    for (const std::string& name : fields) {
      dadoveri::TField* field = table.FindField(name);
      const int at = field ? table.Fields().IndexOf(field) : -1;
      values << (at >= 0 && at < static_cast<int>(record.size()) ? ValueText(record[static_cast<size_t>(at)])
                                                                 : QString());
    }
    return true;
  };
}

// The windows of this process with their database names and the files they connected
// (empty until connected). Main thread only.
struct WindowData {
  const TForm1* Window;
  std::string DatabaseName;
  QString File;
};
std::vector<WindowData>& WindowsData() {
  static std::vector<WindowData> windows;
  return windows;
}

std::string UnusedDatabaseName() {
  for (int n = 1;; ++n) {
    const std::string name = n == 1 ? std::string(kDatabaseName) : std::string(kDatabaseName) + " (" + std::to_string(n) + ")";
    const auto& windows = WindowsData();
    if (std::none_of(windows.begin(), windows.end(), [&](const WindowData& w) { return w.DatabaseName == name; }))
      return name;
  }
}

dadoveri::TABSTable* MakeTable(const char* name, const std::string& database_name, const char* table_name,
                               bool exclusive) {
  auto* table = new dadoveri::TABSTable();
  table->SetName(name);
  table->SetDatabaseName(database_name);
  table->SetTableName(table_name);
  table->SetExclusive(exclusive);
  return table;
}

dadoveri::TDataSource* MakeSource(const char* name, dadoveri::TDataSet* dataset) {
  auto* source = new dadoveri::TDataSource();
  source->SetName(name);
  source->SetDataSet(dataset);
  return source;
}

}  // namespace

void TForm1::CreateDataComponents() {
  DatasetLock = new TDatasetLock(this);
  DatasetLock->setObjectName(QStringLiteral("DatasetLock"));

  const std::string database_name = UnusedDatabaseName();
  WindowsData().push_back({this, database_name, {}});
  ABSDatabase1 = new dadoveri::TABSDatabase();
  ABSDatabase1->SetName("ABSDatabase1");
  ABSDatabase1->SetDatabaseName(database_name);
  ABSDatabase1->Password = kPassword;
  ABSDatabase1->Exclusive = true;
  ABSDatabase1->MultiUser = false;
  ABSDatabase1->MaxConnections = 500;
  ABSDatabase1->SetSessionName("Default");
  ABSDatabase1->DisableTempFiles = true;

  ABSTable1 = MakeTable("ABSTable1", database_name, "eng2per", false);
  ABSTable2 = MakeTable("ABSTable2", database_name, "per2en", true);
  ABSTable3 = MakeTable("ABSTable3", database_name, "flashcard", true);
  DataSource1 = MakeSource("DataSource1", ABSTable1);
  DataSource2 = MakeSource("DataSource2", ABSTable2);
  DataSource5 = MakeSource("DataSource5", ABSTable3);

  ABSQuery1 = new dadoveri::TABSQuery();
  ABSQuery1->SetName("ABSQuery1");
  ABSQuery1->SetDatabaseName(database_name);
  ABSQuery1->SetRequestLive(true);
  ABSQuery1->SetDataSource(DataSource1);
  DataSource3 = MakeSource("DataSource3", ABSQuery1);

  JvThread1 = new TJvThread(this);
  JvThread1->setObjectName(QStringLiteral("JvThread1"));
  JvThread1->OnExecute = [this](QObject* sender, void* param) { JvThread1Execute(sender, param); };
  JvThread1->OnFinish = [this](QObject* sender) { JvThread1Finish(sender); };
  JvThread1->OnFinishAll = [this](QObject* sender) { JvThread1FinishAll(sender); };

  JvThread2 = new TJvThread(this);
  JvThread2->setObjectName(QStringLiteral("JvThread2"));
  JvThread2->OnExecute = [this](QObject* sender, void* param) { JvThread2Execute(sender, param); };
  JvThread2->OnFinish = [this](QObject* sender) { JvThread2Finish(sender); };
}

void TForm1::BindDataControls() {
  TDatasetLock* lock = DatasetLock;
  Grid1->SetDataSource(DataSource1, TableRowReader(), lock);
  TntDBMemo1->SetDataField("Far");
  TntDBMemo1->SetDataSource(DataSource1, lock);
  TntDBEdit3->SetDataField("Eng");
  TntDBEdit3->SetDataSource(DataSource1, lock);

  Grid2->SetDataSource(DataSource2, TableRowReader(), lock);
  TntDBMemo2->SetDataField("En");
  TntDBMemo2->SetDataSource(DataSource2, lock);
  TntDBEdit4->SetDataField("Per");
  TntDBEdit4->SetDataSource(DataSource2, lock);

  Grid3->SetDataSource(DataSource5, TableRowReader(), lock);
  TntDBEdit1->SetDataField("word");
  TntDBEdit1->SetDataSource(DataSource5, lock);
  TntDBMemo3->SetDataField("meaning");
  TntDBMemo3->SetDataSource(DataSource5, lock);
  TntDBEdit2->SetDataField("meaning");
  TntDBEdit2->SetDataSource(DataSource5, lock);
}

void TForm1::BindViewEvents() {
  auto on = [this](TImage* picture, void (TForm1::*handler)()) {
    connect(picture, &TImage::Click, this, [this, handler] { Guarded([&] { (this->*handler)(); }); });
  };
  connect(Tntedit2, &QPlainTextEdit::textChanged, this, [this] { Guarded([&] { Tntedit2Change(); }); });
  connect(TntDBMemo1, &QPlainTextEdit::textChanged, this, [this] { Guarded([&] { TntDBMemo1Change(); }); });
  on(TntImage19, &TForm1::TntImage19Click);
  on(TntImage16, &TForm1::TntImage16Click);
  on(TntImage18, &TForm1::TntImage18Click);
  on(TntImage17, &TForm1::TntImage17Click);
  on(TntImage20, &TForm1::TntImage20Click);
  QAction* n1 = TntPopupMenu1->findChild<QAction*>(QStringLiteral("N1"));
  connect(n1, &QAction::triggered, this, [this] { Guarded([&] { N1Click(); }); });
  on(TntImage9, &TForm1::TntImage9Click);
  on(TntImage6, &TForm1::TntImage6Click);
  on(TntImage8, &TForm1::TntImage8Click);
  on(TntImage7, &TForm1::TntImage7Click);
  on(TntImage10, &TForm1::TntImage10Click);
  connect(TntEdit3, &QPlainTextEdit::textChanged, this, [this] { Guarded([&] { TntEdit3Change(); }); });
  TntEdit3->installEventFilter(this);
  connect(TntDBMemo2, &QPlainTextEdit::textChanged, this, [this] { Guarded([&] { TntDBMemo2Change(); }); });
  on(TntImage14, &TForm1::TntImage14Click);
  on(TntImage11, &TForm1::TntImage11Click);
  on(TntImage13, &TForm1::TntImage13Click);
  on(TntImage12, &TForm1::TntImage12Click);
  on(TntImage15, &TForm1::TntImage15Click);
  QAction* n2 = TntPopupMenu2->findChild<QAction*>(QStringLiteral("N2"));
  connect(n2, &QAction::triggered, this, [this] { Guarded([&] { N2Click(); }); });
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == TntEdit3 && JvThread2) {
    // Key down for every key, key press for a key that gives a character, key up on
    // release; all three before the box itself sees the key.
    if (event->type() == QEvent::KeyPress) {
      Guarded([&] { TntEdit3KeyDown(); });
      if (!static_cast<QKeyEvent*>(event)->text().isEmpty()) Guarded([&] { TntEdit3KeyPress(); });
    } else if (event->type() == QEvent::KeyRelease) {
      Guarded([&] { TntEdit3KeyUp(); });
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::FreeDataComponents() {
  auto& windows = WindowsData();
  windows.erase(std::remove_if(windows.begin(), windows.end(), [this](const WindowData& w) { return w.Window == this; }),
                windows.end());
  // The worker first: its destruction waits for a run in progress, which may still be
  // working on ABSTable1 (under the lock, which nothing here holds), and drops its finish
  // step. Then nothing but this thread touches the datasets.
  delete JvThread1;
  JvThread1 = nullptr;
  delete JvThread2;
  JvThread2 = nullptr;
  if (!ABSDatabase1) return;
  {
    std::lock_guard guard(*DatasetLock);
    for (dadoveri::TABSTable* table : {ABSTable1, ABSTable2, ABSTable3}) DatasetLock->Forget(*table);
    DatasetLock->Forget(*ABSQuery1);
  }
  // The widgets let go of the data sources before those go.
  for (TDBGrid* grid : {Grid1, Grid2, Grid3}) grid->SetDataSource(nullptr, {}, nullptr);
  for (TDBMemo* memo : {TntDBMemo1, TntDBMemo2, TntDBMemo3}) memo->SetDataSource(nullptr);
  for (TDBEdit* edit : {TntDBEdit1, TntDBEdit2, TntDBEdit3, TntDBEdit4}) edit->SetDataSource(nullptr);
  // The query goes before its master's data source.
  delete DataSource3;
  DataSource3 = nullptr;
  delete ABSQuery1;
  ABSQuery1 = nullptr;
  for (dadoveri::TDataSource*& source : {std::ref(DataSource1), std::ref(DataSource2), std::ref(DataSource5)}) {
    delete source;
    source = nullptr;
  }
  // Freeing a table closes it; freeing the database disconnects it, which closes the file.
  for (dadoveri::TABSTable*& table : {std::ref(ABSTable1), std::ref(ABSTable2), std::ref(ABSTable3)}) {
    delete table;
    table = nullptr;
  }
  delete ABSDatabase1;
  ABSDatabase1 = nullptr;
}

// ---- opening the data -------------------------------------------------------------------

void TForm1::ConnectDictionaryDatabase() {
  std::lock_guard guard(*DatasetLock);
  ABSDatabase1->SetDatabaseFileName((ProgramFolder + QString::fromLatin1(kDatabaseFile)).toStdString());
  ABSDatabase1->SetConnected(true);
  const QString file = QFileInfo(QString::fromStdString(ABSDatabase1->DatabaseFileName())).canonicalFilePath();
  for (WindowData& w : WindowsData())
    if (w.Window == this) w.File = file;
}

void TForm1::OpenDictionaryTables() {
  std::lock_guard guard(*DatasetLock);
  // Another window of this process on the same file holds per2en and flashcard for its
  // cursors alone; this one shares them. The database itself is open for this process
  // alone, so other programs stay out all the same.
  const auto& windows = WindowsData();
  const auto mine = std::find_if(windows.begin(), windows.end(), [this](const WindowData& w) { return w.Window == this; });
  if (mine != windows.end() && !mine->File.isEmpty() &&
      std::any_of(windows.begin(), windows.end(),
                  [&](const WindowData& w) { return w.Window != this && w.File == mine->File; })) {
    ABSTable2->SetExclusive(false);
    ABSTable3->SetExclusive(false);
  }
  ABSTable1->SetActive(true);
  ABSTable2->SetActive(true);
  ABSTable3->SetActive(true);
}

// ---- English–Persian search ---------------------------------------------------------------

void TForm1::Tntedit2Change() {
  const QString text = Tntedit2->toPlainText();
  SearchPattern = text + u'*';
  {
    std::lock_guard guard(search_mutex_);
    search_text_ = text.toStdU16String();
    search_pattern_ = SearchPattern.toStdU16String();
  }
  JvThread1->Execute(nullptr);
}

void TForm1::EnglishSearchStep() {
  std::u16string text;
  std::u16string pattern;
  {
    std::lock_guard guard(search_mutex_);
    text = search_text_;
    pattern = search_pattern_;
  }
  std::lock_guard guard(*DatasetLock);
  if (!ABSTable1 || !ABSTable1->Active()) return;
  if (!OnGuiThread()) {
    DatasetLock->DeferControls(*ABSTable1);
    // Should the master link reach the query here all the same, its controls wait too.
    if (ABSQuery1->Active()) DatasetLock->DeferControls(*ABSQuery1);
  }
  if (!text.empty()) {
    // The filter is single-byte text in the code page: characters it cannot hold become
    // what the code page makes of them.
    const dadoveri::TCodePage& code_page = dadoveri::AnsiCodePage();
    // A quote the user typed is doubled, so that "don't" searches for itself instead of
    // ending the text early and leaving a filter that cannot be parsed.
    std::u16string quoted;
    for (char16_t c : pattern) {
      quoted += c;
      if (c == u'\'') quoted += c;
    }
    const std::u16string filter = u"Eng = '" + quoted + u"'";
    ABSTable1->SetFilterText(code_page.ToWide(code_page.ToAnsi(filter)));
    ABSTable1->SetFiltered(true);
  } else {
    ABSTable1->SetFiltered(false);
  }
}

void TForm1::JvThread1Execute(QObject*, void*) { EnglishSearchStep(); }

void TForm1::JvThread1Finish(QObject*) { EnglishSearchStep(); }

void TForm1::JvThread1FinishAll(QObject*) {}

// ---- Persian–English search ---------------------------------------------------------------

void TForm1::TntEdit3Change() {
  const QString text = TntEdit3->toPlainText();
  SearchPattern = text + u'%';
  {
    std::lock_guard guard(search_mutex_);
    persian_text_ = text.toStdU16String();
  }
  JvThread2->Execute(nullptr);
}

// A key that does not change the text runs the search again as it stands.
void TForm1::TntEdit3KeyDown() { JvThread2->Execute(nullptr); }
void TForm1::TntEdit3KeyPress() { JvThread2->Execute(nullptr); }
void TForm1::TntEdit3KeyUp() { JvThread2->Execute(nullptr); }

void TForm1::PersianSearchStep() {
  std::u16string text;
  {
    std::lock_guard guard(search_mutex_);
    text = persian_text_;
  }
  const bool on_gui_thread = OnGuiThread();
  if (text.empty()) {
    if (on_gui_thread) ShowPersianList(DataSource2);
    return;
  }
  {
    std::lock_guard guard(*DatasetLock);
    if (!ABSDatabase1 || !ABSDatabase1->Connected()) return;
    if (!on_gui_thread) DatasetLock->DeferControls(*ABSQuery1);
    ABSQuery1->Close();
    ABSQuery1->ClearSQL();
    ABSQuery1->AddSQL(kPersianSearch);
    // The box's own text, not the shared pattern: after a search in the English box that
    // pattern ends in '*', a plain letter to LIKE. Arabic yeh and kaf become the Persian
    // letters the dictionary stores, so either keyboard finds the word; the statement
    // stays a prefix comparison that an index on Per answers.
    dadoveri::TParam& name = ABSQuery1->ParamByName("Name");
    name.DataType = dadoveri::ftWideString;
    name.SetAsWideString(dadoveri::NormalisePersianLetters(text) + u'%');
    ABSQuery1->Open();
  }
  if (on_gui_thread) ShowPersianList(DataSource3);
}

void TForm1::ShowPersianList(dadoveri::TDataSource* source) {
  if (Grid2->DataSource() != source) Grid2->SetDataSource(source, TableRowReader(), DatasetLock);
  if (TntDBMemo2->DataSource() != source) TntDBMemo2->SetDataSource(source, DatasetLock);
  // The hidden headword edit follows the grid whether or not the memo's text changed, so a
  // copy takes the headword the grid shows.
  if (TntDBEdit4->DataSource() != Grid2->DataSource()) TntDBEdit4->SetDataSource(Grid2->DataSource(), DatasetLock);
}

void TForm1::JvThread2Execute(QObject*, void*) { PersianSearchStep(); }

void TForm1::JvThread2Finish(QObject*) { PersianSearchStep(); }

void TForm1::TntDBMemo2Change() {
  if (TntDBEdit4->DataSource() != Grid2->DataSource()) TntDBEdit4->SetDataSource(Grid2->DataSource(), DatasetLock);
}

// ---- navigation -----------------------------------------------------------------------

void TForm1::Navigate(QTableView* grid, dadoveri::TABSTable* table, void (*move)(dadoveri::TABSTable&)) {
  if (!grid->hasFocus()) grid->setFocus();
  std::lock_guard guard(*DatasetLock);
  move(*table);
}

void TForm1::TntImage19Click() { Navigate(TntDBGrid1, ABSTable1, [](dadoveri::TABSTable& t) { t.First(); }); }
void TForm1::TntImage16Click() { Navigate(TntDBGrid1, ABSTable1, [](dadoveri::TABSTable& t) { t.Prior(); }); }
void TForm1::TntImage18Click() { Navigate(TntDBGrid1, ABSTable1, [](dadoveri::TABSTable& t) { t.Next(); }); }
void TForm1::TntImage17Click() { Navigate(TntDBGrid1, ABSTable1, [](dadoveri::TABSTable& t) { t.Last(); }); }

// The Persian buttons move per2en also while the grid shows the query.
void TForm1::TntImage14Click() { Navigate(TntDBGrid2, ABSTable2, [](dadoveri::TABSTable& t) { t.First(); }); }
void TForm1::TntImage11Click() { Navigate(TntDBGrid2, ABSTable2, [](dadoveri::TABSTable& t) { t.Prior(); }); }
void TForm1::TntImage13Click() { Navigate(TntDBGrid2, ABSTable2, [](dadoveri::TABSTable& t) { t.Next(); }); }
void TForm1::TntImage12Click() { Navigate(TntDBGrid2, ABSTable2, [](dadoveri::TABSTable& t) { t.Last(); }); }

void TForm1::TntImage9Click() { Navigate(TntDBGrid3, ABSTable3, [](dadoveri::TABSTable& t) { t.First(); }); }
void TForm1::TntImage6Click() { Navigate(TntDBGrid3, ABSTable3, [](dadoveri::TABSTable& t) { t.Prior(); }); }
void TForm1::TntImage8Click() { Navigate(TntDBGrid3, ABSTable3, [](dadoveri::TABSTable& t) { t.Next(); }); }
void TForm1::TntImage7Click() { Navigate(TntDBGrid3, ABSTable3, [](dadoveri::TABSTable& t) { t.Last(); }); }

// ---- flashcards -----------------------------------------------------------------------

// A new card from the current entry: the flashcard edits take the headword and meaning,
// and hand them to the new record's fields when it is posted.
void TForm1::CopyToFlashcard(TDBEdit* word, QPlainTextEdit* meaning) {
  std::lock_guard guard(*DatasetLock);
  ABSTable3->Insert();
  TntDBEdit1->setText(word->text());
  TntDBEdit2->setText(meaning->toPlainText());
  ABSTable3->Post();
}

void TForm1::TntImage20Click() { CopyToFlashcard(TntDBEdit3, TntDBMemo1); }

void TForm1::N1Click() { CopyToFlashcard(TntDBEdit3, TntDBMemo1); }

void TForm1::TntImage15Click() { CopyToFlashcard(TntDBEdit4, TntDBMemo2); }

void TForm1::N2Click() { CopyToFlashcard(TntDBEdit4, TntDBMemo2); }

void TForm1::TntDBMemo1Change() {
  if (TntDBEdit3->DataSource() != Grid1->DataSource()) TntDBEdit3->SetDataSource(Grid1->DataSource(), DatasetLock);
}

void TForm1::TntImage10Click() {
  if (TntDBEdit1->text().isEmpty()) return;
  std::lock_guard guard(*DatasetLock);
  ABSTable3->Delete();
}

}  // namespace nilvar
