// A program killed while it commits new flashcards, and the window that opens the file
// next: a child process adds cards to a copy of data.dat and is killed outright in the
// middle of a commit, after a chosen number of page writes. The window then finds the file
// not closed cleanly and asks whether to repair it. Yes repairs it with the wait window's
// progress running to 100 % and keeps every card committed before the kill; Abort, or a
// repair that cannot write its copy, leaves the file as it was; No opens it as it is.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/database_prompts.h"
#include "app/main_window.h"
#include "engine/database/disk_database_data.h"
#include "engine/dataset/database.h"
#include "engine/dataset/local_session.h"
#include "engine/dataset/table.h"
#include "engine/dataset/user_prompts.h"
#include "engine/storage/prologue.h"
#include "tests/app/dictionary_fixture.h"
#include "tests/app/test_application.h"
#include "tests/app/view_test_support.h"
#include "tools/dadoveri/database_survey.h"
#include "tools/mkdict/dictionary_file.h"

namespace nilvar {
namespace {

const char kRepairQuestion[] = "Database file was not correctly closed last time. Do you want to repair it?";

std::u16string CardWord(int n) { return u"card " + QString::number(n).toStdU16String(); }
std::u16string CardMeaning(int n) { return u"معنی " + QString::number(n).toStdU16String(); }

// Passes writes on to the file and kills the process before it passes on page write
// number `kill_at` of those made inside a commit, that is while the header last written
// says that a commit is under way.
class KillingWriter : public dadoveri::FileWriter {
 public:
  KillingWriter(dadoveri::FileWriter& next, size_t page_size, int kill_at)
      : next_(next), page_size_(page_size), kill_at_(kill_at) {}
  bool Write(const void* buffer, size_t count, int64_t position) override {
    if (position == 0 && count == dadoveri::kMainHeaderSize)
      in_commit_ = static_cast<const uint8_t*>(buffer)[kWriteStateAt] == dadoveri::kWriteStateWriting;
    else if (in_commit_ && count == page_size_ && ++page_writes_ == kill_at_)
      raise(SIGKILL);
    return next_.Write(buffer, count, position);
  }
  bool SetSize(int64_t size) override { return next_.SetSize(size); }
  bool SyncData() override { return next_.SyncData(); }
  bool Flush() override { return next_.Flush(); }

 private:
  static constexpr size_t kWriteStateAt = 42;  // the header's WriteState byte
  dadoveri::FileWriter& next_;
  size_t page_size_;
  int kill_at_;
  bool in_commit_ = false;
  int page_writes_ = 0;
};

// The child: adds cards one commit each to `file`, telling `report` the number of each card
// once its commit has returned, until it is killed. Never returns.
[[noreturn]] void AddCardsUntilKilled(const std::string& file, int kill_at, int report) {
  try {
    dadoveri::TABSDatabase db;
    db.SetName("Cards");
    db.SetDatabaseName("cards.dat");
    db.SetDatabaseFileName(file);
    db.Password = dadoveri::mkdict::kDefaultPassword;
    db.Exclusive = true;
    db.SetConnected(true);
    dadoveri::TABSTable table;
    table.SetDatabaseName("cards.dat");
    table.SetTableName("flashcard");
    table.SetActive(true);
    dadoveri::TABSDatabaseFile& disk = db.Handle()->DiskDatabase()->DiskPageManager().File();
    KillingWriter killer(disk.Platform(), static_cast<size_t>(db.PageSize), kill_at);
    disk.SetWriter(&killer);
    for (int n = 1; n <= 200; ++n) {
      table.Insert();
      table.FieldByName("word")->SetAsWideString(CardWord(n));
      table.FieldByName("meaning")->SetAsWideString(CardMeaning(n));
      table.Post();
      if (write(report, &n, sizeof n) != sizeof n) _exit(4);
    }
  } catch (...) {
    _exit(3);
  }
  _exit(0);  // never killed
}

// Runs the child on `file`; answers the cards whose commits had returned when it was killed.
int KillChildInCommit(const std::string& file, int kill_at) {
  int pipe_ends[2];
  EXPECT_EQ(pipe(pipe_ends), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    AddCardsUntilKilled(file, kill_at, pipe_ends[1]);
  }
  close(pipe_ends[1]);
  int committed = 0;
  int n = 0;
  while (read(pipe_ends[0], &n, sizeof n) == sizeof n) committed = n;
  close(pipe_ends[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
  return committed;
}

std::vector<char> FileBytes(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The application's own prompts, watched: the wait window's progress is recorded, and the
// Abort button can be pressed once the copy is under way.
class WatchedPrompts : public DatabasePrompts {
 public:
  std::vector<int> Progress;
  bool PressAbort = false;

  std::unique_ptr<dadoveri::TABSWaitWindow> StartWait(const std::string& message) override {
    return std::make_unique<Wait>(*this, DatabasePrompts::StartWait(message));
  }

 private:
  class Wait : public dadoveri::TABSWaitWindow {
   public:
    Wait(WatchedPrompts& owner, std::unique_ptr<dadoveri::TABSWaitWindow> real)
        : owner_(owner), real_(std::move(real)) {}
    void SetProgress(int32_t percent) override {
      owner_.Progress.push_back(percent);
      real_->SetProgress(percent);
      if (owner_.PressAbort && percent > 0)
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* form = qobject_cast<TfrmWait*>(w)) form->btnCancel->click();
    }
    void ProcessMessages() override { real_->ProcessMessages(); }
    bool Aborted() const override { return real_->Aborted(); }
    void Finish() override { real_->Finish(); }

   private:
    WatchedPrompts& owner_;
    std::unique_ptr<dadoveri::TABSWaitWindow> real_;
  };
};

class CrashAndRepair : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Application();
    dadoveri::InstallUserPrompts(&prompts);
  }
  void TearDown() override {
    window.reset();
    dadoveri::InstallUserPrompts(nullptr);
  }

  QString File() const { return folder->filePath(QStringLiteral("data.dat")); }
  QStringList FolderEntries() const { return QDir(folder->path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot); }

  // Opens the window on the folder; the repair question is answered `yes`, and a warning
  // box, once its text is recorded and `on_warning` has looked at the file, with OK.
  TForm1& Open(bool yes, const std::function<void()>& on_warning = {}) {
    QTimer answerer;
    answerer.setInterval(5);
    QObject::connect(&answerer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      if (box->text() == QString::fromLatin1(kRepairQuestion)) {
        ++questions;
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
      } else {
        warnings << box->text();
        if (on_warning) on_warning();
        box->button(QMessageBox::Ok)->click();
      }
    });
    answerer.start();
    auto form = std::make_unique<TForm1>();
    form->ProgramFolder = test::FolderPath(*folder);
    form->SetErrorPresenter([this](QMessageBox& box) { errors << box.text(); });
    form->show();
    window = std::move(form);
    return *window;
  }

  void ExpectCards(const std::vector<dadoveri::mkdict::Flashcard>& cards, int committed) {
    // Every card committed before the kill, in order; the card whose commit was cut may
    // be there whole, or not at all.
    ASSERT_GE(static_cast<int>(cards.size()), committed);
    ASSERT_LE(static_cast<int>(cards.size()), committed + 1);
    for (size_t i = 0; i < cards.size(); ++i) {
      EXPECT_EQ(cards[i].Word, CardWord(static_cast<int>(i) + 1));
      EXPECT_EQ(cards[i].Meaning, CardMeaning(static_cast<int>(i) + 1));
    }
  }

  std::unique_ptr<QTemporaryDir> folder = test::DictionaryFolder();
  WatchedPrompts prompts;
  std::unique_ptr<TForm1> window;
  int questions = 0;
  QStringList warnings, errors;
};

TEST_F(CrashAndRepair, YesRepairsKeepingEveryCardCommittedBeforeTheKill) {
  const std::string password = dadoveri::mkdict::kDefaultPassword;
  for (int kill_at : {1, 2, 3, 5, 8, 13}) {
    SCOPED_TRACE(kill_at);
    folder = test::DictionaryFolder();
    const int committed = KillChildInCommit(File().toStdString(), kill_at);
    prompts.Progress.clear();
    questions = 0;
    TForm1& form = Open(true);
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join(u'\n').toStdString();
    ASSERT_TRUE(form.ABSDatabase1->Connected());
    EXPECT_FALSE(form.ABSDatabase1->Handle()->NeedsRepair());
    // The wait window's bar ran up to 100 %.
    ASSERT_FALSE(prompts.Progress.empty());
    EXPECT_TRUE(std::is_sorted(prompts.Progress.begin(), prompts.Progress.end()));
    EXPECT_EQ(prompts.Progress.back(), 100);
    // The window shows the dictionary and the cards.
    EXPECT_EQ(form.ABSTable1->RecordCount(), static_cast<int64_t>(test::FixtureDictionary().Eng2Per.size()));
    const int64_t shown_cards = form.ABSTable3->RecordCount();
    window.reset();

    const auto cards = dadoveri::mkdict::ReadFlashcards(File().toStdString(), password);
    EXPECT_EQ(static_cast<int64_t>(cards.size()), shown_cards);
    ExpectCards(cards, committed);
    EXPECT_EQ(dadoveri::tool::CheckDatabase(File().toStdString(), dadoveri::TABSPassword{password, 0}),
              std::vector<std::string>{});
    EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("data.dat")});
  }
}

TEST_F(CrashAndRepair, AbortedOrFailedRepairLeavesTheFileAsItWas) {
  struct Case {
    const char* what;
    bool abort;
    bool block_copy;  // a folder where the repair's copy would go
    const char* warning_part;
  };
  const Case cases[] = {
      {"Abort pressed in the wait window", true, false, "Terminated by User."},
      {"the copy cannot be created", false, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    folder = test::DictionaryFolder();
    const int committed = KillChildInCommit(File().toStdString(), 3);
    const std::vector<char> original = FileBytes(File());
    QStringList expected_entries = {QStringLiteral("data.dat")};
    if (c.block_copy) {
      ASSERT_TRUE(QDir(folder->path()).mkpath(QStringLiteral("data.dat.tmp/inside")));
      expected_entries << QStringLiteral("data.dat.tmp");
    }
    prompts.PressAbort = c.abort;
    warnings.clear();
    errors.clear();
    bool looked = false;
    TForm1& form = Open(true, [&] {
      // When the failure is reported the file is byte for byte what the kill left, and no
      // scratch file of the repair remains.
      looked = true;
      EXPECT_EQ(FileBytes(File()), original);
      EXPECT_EQ(FolderEntries(), expected_entries);
    });
    prompts.PressAbort = false;
    EXPECT_TRUE(looked);
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].contains(QString::fromLatin1(c.warning_part))) << warnings[0].toStdString();
    // The window then connects to the file as it is (its tables may fail to read: the
    // kill tore a commit), and a later repair still finds every committed card.
    EXPECT_TRUE(form.ABSDatabase1->Connected());
    window.reset();
    warnings.clear();
    errors.clear();
    QDir(folder->path()).rmpath(QStringLiteral("data.dat.tmp/inside"));
    questions = 0;
    Open(true);
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join(u'\n').toStdString();
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    window.reset();
    ExpectCards(dadoveri::mkdict::ReadFlashcards(File().toStdString(), dadoveri::mkdict::kDefaultPassword),
                committed);
  }
}

TEST_F(CrashAndRepair, NoConnectsToTheFileAsItIs) {
  KillChildInCommit(File().toStdString(), 2);
  const std::vector<char> killed = FileBytes(File());
  TForm1& form = Open(false);
  EXPECT_EQ(questions, 1);
  EXPECT_TRUE(warnings.isEmpty());
  EXPECT_TRUE(prompts.Progress.empty());
  ASSERT_TRUE(form.ABSDatabase1->Connected());
  EXPECT_TRUE(form.ABSDatabase1->Handle()->NeedsRepair());
  // At most one box for a table that the torn commit left unreadable; the window goes on.
  EXPECT_LE(errors.size(), 1);
  EXPECT_TRUE(form.isVisible());
  window.reset();
  EXPECT_EQ(FileBytes(File()), killed);
  EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("data.dat")});
}

}  // namespace
}  // namespace nilvar
