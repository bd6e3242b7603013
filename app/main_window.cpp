#include "app/main_window.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSlider>
#include <QTableView>
#include <QTimer>
#include <exception>
#include <stdexcept>
#include <string>

#include "app/application.h"
#include "app/colour_key.h"
#include "app/error_box.h"
#include "app/image.h"
#include "app/locale_text.h"
#include "calendar/solar_utl.h"

namespace nilvar {
namespace {

constexpr int kClientWidth = 738;
constexpr int kClientHeight = 502;
const QColor kLabelColour(255, 255, 255);
const QColor kSliderColour(255, 141, 13);
// Font sizes of the listed text widgets stay within 7 and 19 points.
constexpr int kSmallestFontAbove = 8;
constexpr int kLargestFontBelow = 18;

// The contact address behind the contact button.
constexpr char kContactUrl[] = "mailto:nilvar.dictionary@example.org";
// The two documents are looked up in the current folder, not in the program folder.
constexpr char kHelpDocument[] = "nilvar dic help.mht";
constexpr char kGrammarDocument[] = "grammar.chm";

QPixmap Artwork(const char* name) {
  return QPixmap(QStringLiteral(":/images/") + QString::fromLatin1(name));
}

TImage* MakePicture(QWidget* parent, const char* name, int left, int top, int width, int height,
                    const char* artwork) {
  auto* picture = new TImage(parent);
  picture->setObjectName(QString::fromLatin1(name));
  if (artwork) picture->SetPicture(Artwork(artwork));
  picture->setGeometry(left, top, width, height);
  return picture;
}

TImage* MakeButton(QWidget* parent, const char* name, int left, int top, int width, int height,
                   const char* artwork, const char* hint = nullptr) {
  TImage* button = MakePicture(parent, name, left, top, width, height, artwork);
  button->setCursor(Qt::PointingHandCursor);
  if (hint) button->setToolTip(QString::fromUtf8(hint));
  return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name, int left, int top, const QString& text,
                  const QFont& font, const QColor* colour = nullptr) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setFont(font);
  label->setAttribute(Qt::WA_TranslucentBackground);
  if (colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, *colour);
    label->setPalette(palette);
  }
  label->move(left, top);
  label->adjustSize();
  return label;
}

// Sizes a label to its text again after its caption changed.
void SetCaption(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      cursor_pos_([] { return QCursor::pos(); }),
      now_([] { return QDateTime::currentDateTime(); }),
      open_url_(DesktopUrlOpener()),
      present_error_([](QMessageBox& box) { box.exec(); }) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Nilvar Dictionary [ portable ]"));
  setFont(UiPixelFont(12));
  setLayoutDirection(Qt::LeftToRight);
  setFixedSize(kClientWidth, kClientHeight);
  // Key-coloured pixels of the background are drawn transparent and cut out of the
  // window's shape, so clicks there reach what lies beneath.
  setAttribute(Qt::WA_TranslucentBackground);
  ProgramFolder = QDir(QCoreApplication::applicationDirPath()).absolutePath() + u'/';

  CreateFormWidgets();
  CreateDataComponents();
  BindDataControls();
  BindEvents();
  BindViewEvents();
  Timer1->start();
}

TForm1::~TForm1() { FreeDataComponents(); }

void TForm1::CreateFormWidgets() {
  const QImage skin(QStringLiteral(":/images/background.bmp"));
  Image1 = MakePicture(this, "Image1", 0, 0, kClientWidth, kClientHeight, nullptr);
  Image1->SetPicture(QPixmap::fromImage(ApplyColourKey(skin)));
  setMask(OpaqueRegion(skin));

  TntImage1 = MakeButton(this, "TntImage1", 632, 400, 80, 80, "exit.png", "Exit");
  Image2 = MakeButton(this, "Image2", 512, 112, 174, 53, "view_english_persian.png");
  Image3 = MakeButton(this, "Image3", 512, 168, 174, 53, "view_persian_english.png");
  Image4 = MakePicture(this, "Image4", 480, 8, 256, 95, "heading.png");
  bullete = MakePicture(this, "bullete", 680, 120, 35, 35, "marker.png");
  TntImage2 = MakeButton(this, "TntImage2", 376, 400, 80, 80, "help.png", "Help");
  TntImage3 = MakeButton(this, "TntImage3", 528, 224, 100, 100, "flashcard.png");
  TntImage4 = MakePicture(this, "TntImage4", 536, 224, 100, 100, "flashcard_selected.png");
  TntImage4->hide();
  TntImage5 = MakePicture(this, "TntImage5", 520, 224, 105, 105, "flashcard.png");
  TntImage5->hide();
  TntImage21 = MakePicture(this, "TntImage21", 24, 21, 395, 303, "about_picture.jpg");
  TntImage22 = MakeButton(this, "TntImage22", 456, 400, 80, 80, "grammar.png", "English Grammar");
  TntImage23 = MakeButton(this, "TntImage23", 304, 400, 80, 80, "contact.png", "Contact me");
  TntImage24 = MakeButton(this, "TntImage24", 536, 400, 80, 80, "about.png", "About");

  JvHotLink1 = new TJvHotLink(this);
  JvHotLink1->setObjectName(QStringLiteral("JvHotLink1"));
  JvHotLink1->SetUrl(QString::fromLatin1(kContactUrl));
  JvHotLink1->SetOpener(open_url_);
  JvHotLink1->setGeometry(296, 472, 74, 13);
  JvHotLink1->hide();

  const QFont label_font = UiPixelFont(15);
  TntLabel1 = MakeLabel(this, "TntLabel1", 65, 437, QStringLiteral("تاريخ امروز  "), label_font,
                        &kLabelColour);
  TntLabel7 =
      MakeLabel(this, "TntLabel7", 71, 420, QStringLiteral("Today  "), label_font, &kLabelColour);
  TntImage25 = MakePicture(this, "TntImage25", 224, 400, 80, 80, "font_plate.png");
  TntImage26 =
      MakeButton(this, "TntImage26", 218, 395, 51, 39, "font_smaller.png", "decrease font size");
  TntImage27 =
      MakeButton(this, "TntImage27", 232, 440, 71, 39, "font_larger.png", "increase font size");
  TntLabel2 =
      MakeLabel(this, "TntLabel2", 87, 404, QStringLiteral("Time  "), label_font, &kLabelColour);

  CreateEnglishPersianView();
  CreatePersianEnglishView();
  CreateFlashcardView();

  TntTrackBar1 = new QSlider(Qt::Horizontal, this);
  TntTrackBar1->setObjectName(QStringLiteral("TntTrackBar1"));
  TntTrackBar1->setGeometry(48, 456, 166, 25);
  TntTrackBar1->setRange(200, 255);
  TntTrackBar1->setValue(255);
  TntTrackBar1->setTracking(true);
  TntTrackBar1->setCursor(Qt::PointingHandCursor);
  TntTrackBar1->setAttribute(Qt::WA_StyledBackground);
  TntTrackBar1->setStyleSheet(
      QStringLiteral("QSlider { background: rgb(%1, %2, %3); border-radius: 4px; }"
                     "QSlider::groove:horizontal { height: 5px; margin: 0 3px;"
                     " background: rgb(122, 52, 6); border-radius: 2px; }"
                     "QSlider::sub-page:horizontal { background: rgb(255, 226, 140);"
                     " margin: 0 3px; border-radius: 2px; }"
                     "QSlider::handle:horizontal { image: url(:/images/slider_thumb.bmp);"
                     " width: 18px; height: 17px; margin: -6px 0; }")
          .arg(kSliderColour.red())
          .arg(kSliderColour.green())
          .arg(kSliderColour.blue()));

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
}

void TForm1::BindEvents() {
  auto on = [this](TImage* picture, void (TForm1::*handler)()) {
    connect(picture, &TImage::Click, this,
            [this, handler] { Guarded([&] { (this->*handler)(); }); });
  };
  connect(Image1, &TImage::MouseDown, this, [this] { Guarded([&] { Image1MouseDown(); }); });
  connect(Image1, &TImage::MouseMove, this, [this] { Guarded([&] { Image1MouseMove(); }); });
  connect(Image1, &TImage::MouseUp, this, [this] { Guarded([&] { Image1MouseUp(); }); });
  on(TntImage1, &TForm1::TntImage1Click);
  on(Image2, &TForm1::Image2Click);
  on(Image3, &TForm1::Image3Click);
  on(TntImage3, &TForm1::TntImage3Click);
  on(TntImage24, &TForm1::TntImage24Click);
  on(TntImage2, &TForm1::TntImage2Click);
  on(TntImage22, &TForm1::TntImage22Click);
  on(TntImage23, &TForm1::TntImage23Click);
  on(TntImage26, &TForm1::TntImage26Click);
  on(TntImage27, &TForm1::TntImage27Click);
  connect(TntTrackBar1, &QSlider::valueChanged, this,
          [this] { Guarded([&] { TntTrackBar1Change(); }); });
  connect(Timer1, &QTimer::timeout, this, [this] { Guarded([&] { Timer1Timer(); }); });
}

void TForm1::SetUrlOpener(UrlOpener opener) {
  open_url_ = std::move(opener);
  JvHotLink1->SetOpener(open_url_);
}

void TForm1::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  }
}

void TForm1::ShowError(const QString& message) {
  std::unique_ptr<QMessageBox> box = MakeErrorBox(this, message);
  present_error_(*box);
}

// ---- start-up -------------------------------------------------------------------------

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (first_show_done_) return;
  first_show_done_ = true;
  CentreOnDesktop();
  FormShow();
}

void TForm1::CentreOnDesktop() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect desktop = screen->availableGeometry();
  move(desktop.left() + (desktop.width() - width()) / 2,
       desktop.top() + (desktop.height() - height()) / 2);
}

void TForm1::FormShow() {
  try {
    // 1. Focus to the English search box.
    Tntedit2->setFocus();
    // 2, 3. Today's date, read once for both labels (reading the clock once per field
    // could mix two days at midnight).
    const QDate today = now_().date();
    SetCaption(TntLabel7, TntLabel7->text() + ShortDateText(today));
    Year = static_cast<uint16_t>(today.year());
    Month = static_cast<uint16_t>(today.month());
    Day = static_cast<uint16_t>(today.day());
    // 4. To the Solar Hijri calendar, in place; the result flag is not examined.
    GregorianToSolar(Year, Month, Day);
    // 5, 6. The dictionary data.
    ConnectDictionaryDatabase();
    OpenDictionaryTables();
    // 7.
    SetCaption(TntLabel1, TntLabel1->text() + SolarDateText(Year, Month, Day));
    // 8. The English–Persian view.
    TntPanel1->show();
    TntPanel2->hide();
    TntPanel3->hide();
    bullete->show();
    bullete->move(bullete->x(), Image2->y() + 10);
    TntImage3->SetPicture(TntImage5->Picture());
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  }
}

// ---- clock ----------------------------------------------------------------------------

void TForm1::Timer1Timer() { SetCaption(TntLabel2, LongTimeText(now_().time())); }

// ---- dragging by the background -------------------------------------------------------

void TForm1::Image1MouseDown() {
  drag_window_origin_ = pos();
  drag_cursor_origin_ = cursor_pos_();
  dragging_ = true;
}

void TForm1::Image1MouseMove() {
  if (!dragging_) return;
  // The window follows only on moves that end on every fifth screen row.
  if (cursor_pos_().y() % 5 != 0) return;
  const int top = cursor_pos_().y() - drag_cursor_origin_.y() + drag_window_origin_.y();
  move(x(), top);
  const int left = cursor_pos_().x() - drag_cursor_origin_.x() + drag_window_origin_.x();
  move(left, y());
}

void TForm1::Image1MouseUp() { dragging_ = false; }

// ---- closing --------------------------------------------------------------------------

void TForm1::mousePressEvent(QMouseEvent* event) {
  // Presses that widgets pass on (labels, panels) are not clicks on the window's own
  // surface; only a spot where no widget lies is (the background covers the whole client
  // area, so in practice there is none).
  form_pressed_ =
      event->button() == Qt::LeftButton && childAt(event->position().toPoint()) == nullptr;
  QWidget::mousePressEvent(event);
}

void TForm1::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = form_pressed_ && event->button() == Qt::LeftButton;
  form_pressed_ = false;
  QWidget::mouseReleaseEvent(event);
  if (click) Guarded([&] { FormClick(); });
}

void TForm1::FormClick() { close(); }

void TForm1::TntImage1Click() { close(); }

// ---- view switcher --------------------------------------------------------------------

// Shows `panel` (none for the about view) first, then hides the other panels, then sets
// the marker beside `view_button` (hidden when there is none) and the flashcard button's
// artwork, and last moves the focus, if any.
void TForm1::SwitchView(QFrame* panel, TImage* view_button, TImage* flashcard_artwork, QWidget* focus) {
  if (panel) panel->show();
  for (QFrame* other : {TntPanel1, TntPanel2, TntPanel3})
    if (other != panel) other->hide();
  if (view_button) {
    bullete->show();
    bullete->move(bullete->x(), view_button->y() + 10);
  } else {
    bullete->hide();
  }
  TntImage3->SetPicture(flashcard_artwork->Picture());
  if (focus) focus->setFocus();
}

void TForm1::Image2Click() { SwitchView(TntPanel1, Image2, TntImage5, Tntedit2); }

void TForm1::Image3Click() { SwitchView(TntPanel2, Image3, TntImage5, TntEdit3); }

void TForm1::TntImage3Click() { SwitchView(TntPanel3, nullptr, TntImage4, nullptr); }

// The about view: every panel hidden, so the about picture beneath them shows.
void TForm1::TntImage24Click() { SwitchView(nullptr, nullptr, TntImage5, nullptr); }

// ---- font size ------------------------------------------------------------------------

void TForm1::ChangeFontSizes(int delta) {
  QWidget* const listed[] = {TntDBGrid1, TntDBGrid2, TntDBGrid3, TntDBEdit2,
                             TntDBMemo3, TntDBMemo2, TntDBMemo1};
  for (QWidget* widget : listed) {
    QFont font = widget->font();
    font.setPointSize(font.pointSize() + delta);
    widget->setFont(font);
  }
}

void TForm1::TntImage26Click() {
  if (TntDBGrid1->font().pointSize() < kSmallestFontAbove) return;
  ChangeFontSizes(-1);
}

void TForm1::TntImage27Click() {
  if (TntDBGrid1->font().pointSize() > kLargestFontBelow) return;
  ChangeFontSizes(+1);
}

// ---- transparency ---------------------------------------------------------------------

void TForm1::TntTrackBar1Change() { setWindowOpacity(TntTrackBar1->value() / 255.0); }

// ---- launchers ------------------------------------------------------------------------

// Opens a document of the current folder with the desktop's application for it. A
// document that is not there is reported in the error box rather than left to the
// desktop, which would fail without a word.
void TForm1::OpenDocument(const char* file_name, const char* what) {
  const QString path = QDir::current().absoluteFilePath(QString::fromLatin1(file_name));
  if (!QFileInfo(path).isFile()) {
    throw std::runtime_error(std::string(what) + " '" + QDir::toNativeSeparators(path).toStdString() +
                             "' does not exist");
  }
  open_url_(QUrl::fromLocalFile(path));
}

void TForm1::TntImage2Click() { OpenDocument(kHelpDocument, "Help document"); }

void TForm1::TntImage22Click() { OpenDocument(kGrammarDocument, "Grammar document"); }

void TForm1::TntImage23Click() { JvHotLink1->Click(); }

}  // namespace nilvar
