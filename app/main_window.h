// The dictionary window `Form1`: a borderless window drawn over its background picture,
// whose key-coloured pixels are cut out; the three view panels, the view switcher, the
// clock and date labels, dragging, the font-size and transparency controls and the
// launchers for the help and grammar documents, the contact address and the about view.
//
// Widgets carry their component names as Qt object names (`Tntedit2`, `bullete`, ...).
#pragma once

#include <QDateTime>
#include <QPoint>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/dataset_lock.h"
#include "app/db_edit.h"
#include "app/db_grid.h"
#include "app/hot_link.h"
#include "app/jv_thread.h"

class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QSlider;
class QTableView;
class QTimer;

namespace dadoveri {
class TABSDatabase;
class TABSQuery;
class TABSTable;
class TDataSource;
}  // namespace dadoveri

namespace nilvar {

class TImage;

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // What the window reads from and hands to its surroundings. The defaults are the real
  // ones (cursor position, local clock, desktop opener, modal message box); the window
  // tests replace them to drive and observe the window without a desktop.
  using CursorSource = std::function<QPoint()>;
  using ClockSource = std::function<QDateTime()>;
  using ErrorPresenter = std::function<void(QMessageBox& box)>;
  void SetCursorSource(CursorSource source) { cursor_pos_ = std::move(source); }
  void SetClock(ClockSource clock) { now_ = std::move(clock); }
  void SetUrlOpener(UrlOpener opener);
  void SetErrorPresenter(ErrorPresenter presenter) { present_error_ = std::move(presenter); }

  // Shows the application's error box for a failure message.
  void ShowError(const QString& message);

  // The current search pattern, shared by the two dictionary views.
  QString SearchPattern;

  // Today's date: Gregorian when read at start-up, then converted in place to Solar Hijri.
  uint16_t Year = 0, Month = 0, Day = 0;
  // The folder of the running executable, with a trailing separator.
  QString ProgramFolder;

  // Event handlers.
  void FormShow();
  void FormClick();
  void Timer1Timer();
  void Image1MouseDown();
  void Image1MouseMove();
  void Image1MouseUp();
  void TntImage1Click();
  void Image2Click();
  void Image3Click();
  void TntImage3Click();
  void TntImage24Click();
  void TntImage2Click();
  void TntImage22Click();
  void TntImage23Click();
  void TntImage26Click();
  void TntImage27Click();
  void TntTrackBar1Change();

  // English–Persian view.
  void Tntedit2Change();
  void JvThread1Execute(QObject* sender, void* param);
  void JvThread1Finish(QObject* sender);
  void JvThread1FinishAll(QObject* sender);
  void TntImage19Click();
  void TntImage16Click();
  void TntImage18Click();
  void TntImage17Click();
  void TntImage20Click();
  void N1Click();
  void TntDBMemo1Change();

  // Persian–English view.
  void TntEdit3Change();
  void TntEdit3KeyDown();
  void TntEdit3KeyPress();
  void TntEdit3KeyUp();
  void JvThread2Execute(QObject* sender, void* param);
  void JvThread2Finish(QObject* sender);
  void TntImage14Click();
  void TntImage11Click();
  void TntImage13Click();
  void TntImage12Click();
  void TntImage15Click();
  void N2Click();
  void TntDBMemo2Change();

  // Flashcard view.
  void TntImage9Click();
  void TntImage6Click();
  void TntImage8Click();
  void TntImage7Click();
  void TntImage10Click();

  // The dictionary data: the database component, the three tables and their data sources.
  // The search worker changes ABSTable1 on its own thread; every use of these datasets, on
  // either thread, holds DatasetLock.
  dadoveri::TABSDatabase* ABSDatabase1 = nullptr;
  dadoveri::TABSTable* ABSTable1 = nullptr;  // eng2per
  dadoveri::TABSTable* ABSTable2 = nullptr;  // per2en
  dadoveri::TABSTable* ABSTable3 = nullptr;  // flashcard
  dadoveri::TDataSource* DataSource1 = nullptr;
  dadoveri::TDataSource* DataSource2 = nullptr;
  dadoveri::TDataSource* DataSource5 = nullptr;
  // The Persian search over per2en (master DataSource1), shown through DataSource3.
  dadoveri::TABSQuery* ABSQuery1 = nullptr;
  dadoveri::TDataSource* DataSource3 = nullptr;
  TDatasetLock* DatasetLock = nullptr;
  // The search workers of the English–Persian and the Persian–English view.
  TJvThread* JvThread1 = nullptr;
  TJvThread* JvThread2 = nullptr;

  // Form-level widgets, bottom to top of the stacking order.
  TImage* Image1 = nullptr;
  TImage* TntImage1 = nullptr;
  TImage* Image2 = nullptr;
  TImage* Image3 = nullptr;
  TImage* Image4 = nullptr;
  TImage* bullete = nullptr;
  TImage* TntImage2 = nullptr;
  TImage* TntImage3 = nullptr;
  TImage* TntImage4 = nullptr;
  TImage* TntImage5 = nullptr;
  TImage* TntImage21 = nullptr;
  TImage* TntImage22 = nullptr;
  TImage* TntImage23 = nullptr;
  TImage* TntImage24 = nullptr;
  TJvHotLink* JvHotLink1 = nullptr;
  QLabel* TntLabel1 = nullptr;
  QLabel* TntLabel7 = nullptr;
  TImage* TntImage25 = nullptr;
  TImage* TntImage26 = nullptr;
  TImage* TntImage27 = nullptr;
  QLabel* TntLabel2 = nullptr;
  QFrame* TntPanel1 = nullptr;
  QFrame* TntPanel2 = nullptr;
  QFrame* TntPanel3 = nullptr;
  QSlider* TntTrackBar1 = nullptr;
  QTimer* Timer1 = nullptr;

  // English–Persian view (on TntPanel1).
  QLabel* TntLabel5 = nullptr;
  QPlainTextEdit* Tntedit2 = nullptr;
  QTableView* TntDBGrid1 = nullptr;
  TDBGrid* Grid1 = nullptr;  // the rows TntDBGrid1 shows
  TDBMemo* TntDBMemo1 = nullptr;
  TDBEdit* TntDBEdit3 = nullptr;
  TImage* TntImage19 = nullptr;
  TImage* TntImage16 = nullptr;
  TImage* TntImage18 = nullptr;
  TImage* TntImage17 = nullptr;
  TImage* TntImage20 = nullptr;
  QMenu* TntPopupMenu1 = nullptr;

  // Persian–English view (on TntPanel2).
  QLabel* TntLabel6 = nullptr;
  QPlainTextEdit* TntEdit3 = nullptr;
  QTableView* TntDBGrid2 = nullptr;
  TDBGrid* Grid2 = nullptr;
  TDBMemo* TntDBMemo2 = nullptr;
  TDBEdit* TntDBEdit4 = nullptr;
  TImage* TntImage14 = nullptr;
  TImage* TntImage11 = nullptr;
  TImage* TntImage13 = nullptr;
  TImage* TntImage12 = nullptr;
  TImage* TntImage15 = nullptr;
  QMenu* TntPopupMenu2 = nullptr;

  // Flashcard view (on TntPanel3).
  QTableView* TntDBGrid3 = nullptr;
  TDBGrid* Grid3 = nullptr;
  QLabel* TntLabel3 = nullptr;
  TDBEdit* TntDBEdit1 = nullptr;
  QLabel* TntLabel4 = nullptr;
  TDBMemo* TntDBMemo3 = nullptr;
  TDBEdit* TntDBEdit2 = nullptr;
  TImage* TntImage9 = nullptr;
  TImage* TntImage6 = nullptr;
  TImage* TntImage8 = nullptr;
  TImage* TntImage7 = nullptr;
  TImage* TntImage10 = nullptr;

 protected:
  // During start-up, once the window is built: connect the dictionary database `data.dat`
  // in the program folder, then open its three tables. A failure raised here ends the
  // start-up with an error box.
  virtual void ConnectDictionaryDatabase();
  virtual void OpenDictionaryTables();

  void showEvent(QShowEvent* event) override;
  // The key events of the Persian search box.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void CreateFormWidgets();
  void CreateEnglishPersianView();
  void CreatePersianEnglishView();
  void CreateFlashcardView();
  void CreateDataComponents();
  void BindDataControls();
  void BindViewEvents();
  void BindEvents();
  // The English–Persian search step, the same on the worker and on the main thread: the
  // filter of ABSTable1 from the search text the change handler stored last.
  void EnglishSearchStep();
  // The Persian–English search step, the same on the worker and on the main thread: an
  // empty box shows per2en, other text runs ABSQuery1 for the headwords that begin with it.
  void PersianSearchStep();
  // Binds TntDBGrid2 and TntDBMemo2 to `source` (main thread), and TntDBEdit4 to the grid's.
  void ShowPersianList(dadoveri::TDataSource* source);
  // Moves a table (under the dataset lock) after giving its grid the focus.
  void Navigate(QTableView* grid, dadoveri::TABSTable* table, void (*move)(dadoveri::TABSTable&));
  void CopyToFlashcard(TDBEdit* word, QPlainTextEdit* meaning);
  void FreeDataComponents();
  // Runs an event handler; a failure is shown in the error box and the window goes on.
  void Guarded(const std::function<void()>& handler);
  void SwitchView(QFrame* panel, TImage* view_button, TImage* flashcard_artwork, QWidget* focus);
  void ChangeFontSizes(int delta);
  void OpenDocument(const char* file_name, const char* what);
  void CentreOnDesktop();

  CursorSource cursor_pos_;
  ClockSource now_;
  UrlOpener open_url_;
  ErrorPresenter present_error_;

  // The search text and pattern as the change handler left them, for the search step.
  std::mutex search_mutex_;
  std::u16string search_text_;     // guarded by search_mutex_
  std::u16string search_pattern_;  // guarded by search_mutex_
  std::u16string persian_text_;    // guarded by search_mutex_: TntEdit3's text

  bool first_show_done_ = false;
  bool form_pressed_ = false;
  // Drag state: the flag, the window's left and top and the cursor at the press.
  bool dragging_ = false;
  QPoint drag_window_origin_;
  QPoint drag_cursor_origin_;
};

}  // namespace nilvar
