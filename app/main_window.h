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

#include "app/db_edit.h"
#include "app/db_grid.h"
#include "app/hot_link.h"

class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QSlider;
class QTableView;
class QTimer;

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
  // Start-up step 5: connect the dictionary database `data.dat` in the program folder.
  // Step 6: open its three tables. SEAM: both wait for the dataset layer (the database
  // component and the three table datasets); until it lands they do nothing and the
  // views stay empty. A failure raised here ends the start-up sequence with an error box.
  virtual void ConnectDictionaryDatabase();
  virtual void OpenDictionaryTables();

  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void CreateFormWidgets();
  void CreateEnglishPersianView();
  void CreatePersianEnglishView();
  void CreateFlashcardView();
  void BindEvents();
  // Runs an event handler; a failure is shown in the error box and the window goes on.
  void Guarded(const std::function<void()>& handler);
  void SwitchView(QFrame* panel, TImage* view_button, TImage* flashcard_artwork, QWidget* focus);
  void ChangeFontSizes(int delta);
  void CentreOnDesktop();

  CursorSource cursor_pos_;
  ClockSource now_;
  UrlOpener open_url_;
  ErrorPresenter present_error_;

  bool first_show_done_ = false;
  bool form_pressed_ = false;
  // Drag state: the flag, the window's left and top and the cursor at the press.
  bool dragging_ = false;
  QPoint drag_window_origin_;
  QPoint drag_cursor_origin_;
};

}  // namespace nilvar
