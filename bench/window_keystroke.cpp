// Typing latency of the dictionary window's incremental search, on Qt's offscreen platform
// over a data.dat of one million generated headwords: words are typed and erased letter by
// letter in a search box, and each sample is the time from the key event to the first
// repaint of the view's grid after the search worker's finish step has run (the repaint
// that shows the finish step's result). The counters give the 50th and 99th percentiles in
// milliseconds, for the English and the Persian box. A further benchmark times the window's start, from construction to the first
// repaint of the grid with a headword in it.
//
// The dictionary file is made once with the mkdict library and kept in
// $NILVAR_BENCH_DATA (default: /tmp/nilvar-bench-keystroke-1000000).
//
// Run: QT_QPA_PLATFORM=offscreen build/bench/bench/bench_window_keystroke
// (NILVAR_BENCH_VERBOSE=1 lists each sample with the search text.)
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/dataset_lock.h"
#include "app/jv_thread.h"
#include "app/main_window.h"
#include "engine/platform/locale.h"
#include "tools/mkdict/dictionary_file.h"
#include "tools/mkdict/word_list.h"

namespace {

using nilvar::TForm1;

constexpr int64_t kHeadwords = 1000000;
constexpr uint64_t kSeed = 1;
// Words typed per run, picked evenly through the generated list.
constexpr int kWords = 24;

QApplication& Application() {
  static int argc = 1;
  static char name[] = "bench_window_keystroke";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto* a = new QApplication(argc, argv);
    nilvar::InitializeApplication(*a);
    dadoveri::UseRootCollationAndCodePage1252();
    return a;
  }();
  return *app;
}

// The generated headwords (English and Persian words to type) and the folder holding their
// data.dat.
struct BenchData {
  std::vector<QString> Words;
  std::vector<QString> PersianWords;
  QString Folder;
};

const BenchData& Data() {
  static const BenchData data = [] {
    BenchData d;
    const char* env = std::getenv("NILVAR_BENCH_DATA");
    d.Folder = env ? QString::fromLocal8Bit(env) : QStringLiteral("/tmp/nilvar-bench-keystroke-1000000");
    QDir().mkpath(d.Folder);
    d.Folder = QDir(d.Folder).absolutePath() + u'/';
    const std::vector<dadoveri::mkdict::Sense> senses = dadoveri::mkdict::SyntheticSenses(kHeadwords, kSeed);
    // Words spread over the whole list; the Persian ones are translations, which are the
    // headwords of per2en.
    for (int i = 0; i < kWords; ++i) {
      const size_t at = static_cast<size_t>(i) * senses.size() / kWords;
      d.Words.push_back(QString::fromStdString(senses[at].Headword));
      d.PersianWords.push_back(QString::fromStdU16String(senses[at].Translations.front()));
    }
    const QString file = d.Folder + QStringLiteral("data.dat");
    if (!QFileInfo::exists(file)) {
      std::fprintf(stderr, "building %s (%lld headwords)...\n", qPrintable(file), static_cast<long long>(kHeadwords));
      dadoveri::mkdict::WriteDictionaryFile(file.toStdString(), dadoveri::mkdict::kDefaultPassword,
                                            dadoveri::mkdict::BuildDictionary(senses), {});
    }
    return d;
  }();
  return data;
}

// A search box of the window with the grid that shows its results and the worker that
// runs its searches.
struct SearchView {
  QPlainTextEdit* TForm1::*Box;
  QTableView* TForm1::*Grid;
  nilvar::TJvThread* TForm1::*Worker;
  void (TForm1::*Show)();  // the click that shows the view
  std::vector<QString> BenchData::*Words;
};

const SearchView kEnglish{&TForm1::Tntedit2, &TForm1::TntDBGrid1, &TForm1::JvThread1, &TForm1::Image2Click,
                          &BenchData::Words};
const SearchView kPersian{&TForm1::TntEdit3, &TForm1::TntDBGrid2, &TForm1::JvThread2, &TForm1::Image3Click,
                          &BenchData::PersianWords};

// Records when the grid's viewport paints.
class PaintProbe : public QObject {
 public:
  explicit PaintProbe(const QElapsedTimer& clock) : clock_(clock) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) LastPaint = clock_.nsecsElapsed();
    return false;
  }
  int64_t LastPaint = -1;

 private:
  const QElapsedTimer& clock_;
};

std::unique_ptr<TForm1> OpenWindow() {
  auto form = std::make_unique<TForm1>();
  form->ProgramFolder = Data().Folder;
  form->SetErrorPresenter([](QMessageBox& box) { std::fprintf(stderr, "error box: %s\n", qPrintable(box.text())); });
  form->show();
  return form;
}

// Pumps main-thread events until `done` holds (false after ten seconds).
bool PumpUntil(const std::function<bool()>& done) {
  QElapsedTimer limit;
  limit.start();
  while (!done()) {
    if (limit.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  return true;
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t at = std::min(samples.size() - 1, static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5));
  return samples[at];
}

// One key: a character typed, or (empty text) a backspace.
struct Key {
  int Code;
  QString Text;
};

// The keys of one run: each word typed letter by letter, then erased the same way.
std::vector<Key> Keystrokes(const std::vector<QString>& words) {
  std::vector<Key> keys;
  for (const QString& word : words) {
    for (QChar c : word) keys.push_back({0, QString(c)});
    for (qsizetype i = 0; i < word.size(); ++i) keys.push_back({Qt::Key_Backspace, QString()});
  }
  return keys;
}

void Keystroke(benchmark::State& state, const SearchView& view) {
  Application();
  Data();
  std::unique_ptr<TForm1> form = OpenWindow();
  ((*form).*view.Show)();
  QPlainTextEdit* box = (*form).*view.Box;
  QTableView* grid = (*form).*view.Grid;
  nilvar::TJvThread* worker = (*form).*view.Worker;
  box->setFocus();

  QElapsedTimer clock;
  clock.start();
  PaintProbe probe(clock);
  grid->viewport()->installEventFilter(&probe);
  int64_t finished_at = -1;
  const nilvar::TJvThread::Event finish = worker->OnFinish;
  worker->OnFinish = [&](QObject* sender) {
    if (finish) finish(sender);
    finished_at = clock.nsecsElapsed();
  };
  auto settled = [&] { return !worker->OneThreadIsRunning() && !form->DatasetLock->DeliveryPending(); };
  PumpUntil(settled);

  const std::vector<Key> keys = Keystrokes(Data().*view.Words);
  // NILVAR_BENCH_VERBOSE=1 lists every sample with the box's text.
  const bool verbose = std::getenv("NILVAR_BENCH_VERBOSE") != nullptr;
  std::vector<double> samples;
  int64_t unpainted = 0;
  size_t next = 0;
  for (auto _ : state) {
    const Key& key = keys[next++ % keys.size()];
    finished_at = -1;
    const int64_t start = clock.nsecsElapsed();
    QKeyEvent press(QEvent::KeyPress, key.Code, Qt::NoModifier, key.Text);
    QApplication::sendEvent(box, &press);
    QKeyEvent release(QEvent::KeyRelease, key.Code, Qt::NoModifier, key.Text);
    QApplication::sendEvent(box, &release);
    if (!PumpUntil([&] { return finished_at >= 0 && settled(); })) {
      std::fprintf(stderr, "key %zu: no finish for '%s' (finished %lld, running %d)\n", next,
                   qPrintable(box->toPlainText()), static_cast<long long>(finished_at), int(worker->OneThreadIsRunning()));
      state.SkipWithError("the search did not finish");
      break;
    }
    // The repaint after the finish step; a finish that changed nothing on screen paints
    // nothing, and then the finish itself ends the sample.
    QElapsedTimer wait;
    wait.start();
    while (probe.LastPaint < finished_at && wait.elapsed() < 200)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    int64_t end = probe.LastPaint;
    if (end < finished_at) {
      end = finished_at;
      ++unpainted;
    }
    const double seconds = static_cast<double>(end - start) / 1e9;
    state.SetIterationTime(seconds);
    samples.push_back(seconds * 1e3);
    if (verbose) std::fprintf(stderr, "%8.2f ms  '%s'\n", seconds * 1e3, qPrintable(box->toPlainText()));
  }
  grid->viewport()->removeEventFilter(&probe);
  worker->OnFinish = finish;
  state.counters["p50_ms"] = Percentile(samples, 0.50);
  state.counters["p99_ms"] = Percentile(samples, 0.99);
  state.counters["max_ms"] = samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
  state.counters["unpainted"] = static_cast<double>(unpainted);
}

void BM_EnglishKeystroke(benchmark::State& state) { Keystroke(state, kEnglish); }
BENCHMARK(BM_EnglishKeystroke)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(400);
void BM_PersianKeystroke(benchmark::State& state) { Keystroke(state, kPersian); }
BENCHMARK(BM_PersianKeystroke)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(400);

// From constructing the window to the first repaint of the English grid with a row in it.
void BM_WindowStart(benchmark::State& state) {
  Application();
  Data();
  for (auto _ : state) {
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<TForm1> form = OpenWindow();
    PaintProbe probe(clock);
    form->TntDBGrid1->viewport()->installEventFilter(&probe);
    const bool shown = PumpUntil([&] {
      return form->TntDBGrid1->model() && form->TntDBGrid1->model()->rowCount() > 0 && probe.LastPaint >= 0;
    });
    if (!shown) {
      state.SkipWithError("no headword shown");
      break;
    }
    state.SetIterationTime(static_cast<double>(probe.LastPaint) / 1e9);
    form->TntDBGrid1->viewport()->removeEventFilter(&probe);
  }
}
BENCHMARK(BM_WindowStart)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
