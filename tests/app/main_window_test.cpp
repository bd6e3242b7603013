#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSlider>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/colour_key.h"
#include "app/image.h"
#include "app/locale_text.h"
#include "engine/base/engine_error.h"
#include "tests/app/dictionary_fixture.h"
#include "tests/app/test_application.h"

// Fontconfig keeps its caches until the process ends; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace nilvar {
namespace {

// 31 July 2011 is 9 Mordad 1390 in the Solar Hijri calendar.
const QDateTime kNow(QDate(2011, 7, 31), QTime(14, 5, 9));
const QString kSolarCaption = QStringLiteral("تاريخ امروز  ");

// A window whose start-up step 5 or 6 fails, as a missing or unreadable data.dat would.
class FailingForm : public TForm1 {
 public:
  explicit FailingForm(int failing_step) : failing_step_(failing_step) {}

 protected:
  void ConnectDictionaryDatabase() override {
    if (failing_step_ == 5) dadoveri::RaiseError(10025);
  }
  void OpenDictionaryTables() override {
    if (failing_step_ == 6) throw std::runtime_error("Table 'flashcard' is locked");
  }

 private:
  int failing_step_;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { test::Application(); }

  // Creates the window with the fixed clock, recording the error boxes and the documents
  // it asks the desktop to open, and shows it (which runs the start-up sequence).
  template <typename Form = TForm1, typename... Args>
  Form& Open(Args... args) {
    window.reset();  // one window at a time: its database component names data.dat
    auto form = std::make_unique<Form>(args...);
    form->ProgramFolder = test::FolderPath(*data_folder);
    form->SetClock([] { return kNow; });
    form->SetErrorPresenter([this](QMessageBox& box) {
      errors.push_back({box.icon(), box.windowTitle(), box.text()});
    });
    form->SetUrlOpener([this](const QUrl& url) {
      opened.push_back(url);
      return true;
    });
    form->show();
    Form& ref = *form;
    window = std::move(form);
    return ref;
  }

  template <typename T = QWidget>
  T* Find(const char* name) {
    T* found = window->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  static void Click(QWidget* widget) {
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
  }

  struct ShownError {
    QMessageBox::Icon icon;
    QString title;
    QString text;
  };
  std::vector<ShownError> errors;
  std::vector<QUrl> opened;
  std::unique_ptr<QTemporaryDir> data_folder = test::DictionaryFolder();
  std::unique_ptr<TForm1> window;
};

TEST_F(WindowTest, StartsBorderlessCentredOnTheEnglishPersianView) {
  TForm1& form = Open();
  EXPECT_EQ(form.objectName(), QStringLiteral("Form1"));
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Nilvar Dictionary [ portable ]"));
  EXPECT_EQ(QApplication::applicationDisplayName(), QStringLiteral("Nilvar Dic V2.0.0.1"));
  EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(form.size(), QSize(738, 502));
  const QRect desktop = form.screen()->availableGeometry();
  EXPECT_EQ(form.pos(), QPoint(desktop.left() + (desktop.width() - 738) / 2,
                               desktop.top() + (desktop.height() - 502) / 2));
  EXPECT_EQ(form.font().pixelSize(), 12);
  EXPECT_EQ(form.font().family(), UiFontFamily());
  EXPECT_TRUE(UiFontFamily().startsWith(QStringLiteral("Vazirmatn")));
  EXPECT_DOUBLE_EQ(form.windowOpacity(), 1.0);

  EXPECT_TRUE(form.TntPanel1->isVisible());
  EXPECT_FALSE(form.TntPanel2->isVisible());
  EXPECT_FALSE(form.TntPanel3->isVisible());
  EXPECT_TRUE(form.bullete->isVisible());
  EXPECT_EQ(form.bullete->pos(), QPoint(680, 122));
  EXPECT_EQ(form.TntImage3->Picture().toImage(), form.TntImage5->Picture().toImage());
  EXPECT_NE(form.TntImage3->Picture().toImage(), form.TntImage4->Picture().toImage());
  EXPECT_EQ(form.focusWidget(), form.Tntedit2);
  EXPECT_TRUE(form.SearchPattern.isEmpty());
  EXPECT_TRUE(form.Timer1->isActive());
  EXPECT_EQ(form.Timer1->interval(), 1000);
  EXPECT_EQ(form.JvHotLink1->Url().left(7), QStringLiteral("mailto:"));
  EXPECT_FALSE(form.JvHotLink1->isVisible());
  EXPECT_FALSE(form.TntImage4->isVisible());
  EXPECT_FALSE(form.TntImage5->isVisible());
  EXPECT_TRUE(errors.empty());
}

TEST_F(WindowTest, BundledFontDrawsTheWindowsLatinAndPersianTexts) {
  TForm1& form = Open();
  const QFontMetrics metrics(form.TntLabel1->font());
  ASSERT_TRUE(QFontInfo(form.TntLabel1->font()).family().startsWith(u"Vazirmatn"));
  for (const QString& text :
       {form.TntLabel1->text(), form.TntLabel6->text(), form.TntLabel3->text(),
        form.TntLabel4->text(), form.TntPopupMenu1->actions().value(0)->text(),
        QStringLiteral("Nilvar Dictionary پ چ ژ گ ی")}) {
    for (const char32_t c : text.toUcs4()) {
      EXPECT_TRUE(metrics.inFontUcs4(c)) << std::hex << uint32_t(c);
    }
  }
}

TEST_F(WindowTest, PlacesEveryWidgetWithItsNameAtItsPositionInStackingOrder) {
  TForm1& form = Open();
  struct Placed {
    const char* name;
    const char* parent;
    QRect geometry;  // an empty size: sized to its text, only the position is fixed
  } placed[] = {
      {"Image1", "Form1", {0, 0, 738, 502}},
      {"TntImage1", "Form1", {632, 400, 80, 80}},
      {"Image2", "Form1", {512, 112, 174, 53}},
      {"Image3", "Form1", {512, 168, 174, 53}},
      {"Image4", "Form1", {480, 8, 256, 95}},
      {"bullete", "Form1", {680, 122, 35, 35}},
      {"TntImage2", "Form1", {376, 400, 80, 80}},
      {"TntImage3", "Form1", {528, 224, 100, 100}},
      {"TntImage4", "Form1", {536, 224, 100, 100}},
      {"TntImage5", "Form1", {520, 224, 105, 105}},
      {"TntImage21", "Form1", {24, 21, 395, 303}},
      {"TntImage22", "Form1", {456, 400, 80, 80}},
      {"TntImage23", "Form1", {304, 400, 80, 80}},
      {"TntImage24", "Form1", {536, 400, 80, 80}},
      {"JvHotLink1", "Form1", {296, 472, 74, 13}},
      {"TntLabel1", "Form1", {65, 437, 0, 0}},
      {"TntLabel7", "Form1", {71, 420, 0, 0}},
      {"TntImage25", "Form1", {224, 400, 80, 80}},
      {"TntImage26", "Form1", {218, 395, 51, 39}},
      {"TntImage27", "Form1", {232, 440, 71, 39}},
      {"TntLabel2", "Form1", {87, 404, 0, 0}},
      {"TntPanel1", "Form1", {24, 24, 401, 298}},
      {"TntPanel2", "Form1", {16, 24, 401, 299}},
      {"TntPanel3", "Form1", {24, 16, 401, 305}},
      {"TntTrackBar1", "Form1", {48, 456, 166, 25}},
      // English–Persian view
      {"TntLabel5", "TntPanel1", {24, 29, 0, 0}},
      {"Tntedit2", "TntPanel1", {88, 24, 297, 25}},
      {"TntDBGrid1", "TntPanel1", {16, 56, 369, 113}},
      {"TntDBMemo1", "TntPanel1", {16, 176, 369, 57}},
      {"TntDBEdit3", "TntPanel1", {8, 288, 9, 20}},
      {"TntImage19", "TntPanel1", {144, 248, 32, 32}},
      {"TntImage16", "TntPanel1", {184, 248, 32, 32}},
      {"TntImage18", "TntPanel1", {224, 248, 32, 32}},
      {"TntImage17", "TntPanel1", {264, 248, 32, 32}},
      {"TntImage20", "TntPanel1", {80, 240, 40, 40}},
      // Persian–English view
      {"TntLabel6", "TntPanel2", {336, 28, 0, 0}},
      {"TntEdit3", "TntPanel2", {16, 27, 313, 25}},
      {"TntDBGrid2", "TntPanel2", {16, 56, 377, 113}},
      {"TntDBMemo2", "TntPanel2", {16, 176, 377, 57}},
      {"TntDBEdit4", "TntPanel2", {280, 291, 81, 20}},
      {"TntImage14", "TntPanel2", {120, 248, 32, 32}},
      {"TntImage11", "TntPanel2", {160, 248, 32, 32}},
      {"TntImage13", "TntPanel2", {200, 248, 32, 32}},
      {"TntImage12", "TntPanel2", {240, 248, 32, 32}},
      {"TntImage15", "TntPanel2", {64, 240, 40, 40}},
      // Flashcard view
      {"TntDBGrid3", "TntPanel3", {16, 24, 377, 113}},
      {"TntLabel3", "TntPanel3", {320, 152, 0, 0}},
      {"TntDBEdit1", "TntPanel3", {24, 152, 289, 20}},
      {"TntLabel4", "TntPanel3", {320, 184, 0, 0}},
      {"TntDBMemo3", "TntPanel3", {32, 184, 281, 57}},
      {"TntDBEdit2", "TntPanel3", {272, 0, 121, 20}},
      {"TntImage9", "TntPanel3", {128, 248, 32, 32}},
      {"TntImage6", "TntPanel3", {168, 248, 32, 32}},
      {"TntImage8", "TntPanel3", {208, 248, 32, 32}},
      {"TntImage7", "TntPanel3", {248, 248, 32, 32}},
      {"TntImage10", "TntPanel3", {80, 248, 32, 32}},
  };
  QStringList form_level;
  for (const Placed& p : placed) {
    SCOPED_TRACE(p.name);
    QWidget* widget = Find(p.name);
    if (!widget) continue;
    EXPECT_EQ(widget->parentWidget()->objectName(), QString::fromLatin1(p.parent));
    EXPECT_EQ(widget->pos(), p.geometry.topLeft());
    if (!p.geometry.size().isEmpty()) {
      EXPECT_EQ(widget->size(), p.geometry.size());
    }
    if (QString::fromLatin1(p.parent) == u"Form1") form_level << QString::fromLatin1(p.name);
  }
  // Qt stacks sibling widgets in the order of the parent's child list, bottom first.
  QStringList stacking;
  for (QObject* child : form.children()) {
    if (child->isWidgetType() && form_level.contains(child->objectName())) {
      stacking << child->objectName();
    }
  }
  EXPECT_EQ(stacking, form_level);

  // Artwork at the given pixel sizes; the flashcard button's holder is larger than its art.
  EXPECT_EQ(form.Image1->Picture().size(), QSize(738, 502));
  EXPECT_EQ(form.TntImage21->Picture().size(), QSize(395, 303));
  EXPECT_EQ(form.TntImage5->Picture().size(), QSize(100, 100));
  EXPECT_EQ(form.TntImage26->Picture().size(), QSize(51, 39));
  EXPECT_EQ(form.TntImage19->Picture().size(), QSize(32, 32));
  EXPECT_EQ(form.TntImage20->Picture().size(), QSize(40, 40));
  for (const char* hinted : {"TntImage1", "TntImage2", "TntImage22", "TntImage23", "TntImage24",
                             "TntImage26", "TntImage27", "TntImage10"}) {
    EXPECT_FALSE(Find(hinted)->toolTip().isEmpty()) << hinted;
    EXPECT_EQ(Find(hinted)->cursor().shape(), Qt::PointingHandCursor) << hinted;
  }
  // Design-time columns of the grids; only the flashcard grid shows a title row.
  EXPECT_EQ(form.TntDBGrid1->columnWidth(0), 370);
  EXPECT_EQ(form.TntDBGrid2->columnWidth(0), 300);
  EXPECT_EQ(form.TntDBGrid3->columnWidth(0), 178);
  EXPECT_EQ(form.TntDBGrid3->columnWidth(1), 185);
  EXPECT_TRUE(form.TntDBGrid1->horizontalHeader()->isHidden());
  EXPECT_FALSE(form.TntDBGrid3->horizontalHeader()->isHidden());
  EXPECT_EQ(form.TntDBGrid3->model()->headerData(0, Qt::Horizontal).toString(),
            QStringLiteral("معادل"));
  EXPECT_EQ(form.TntDBGrid3->model()->headerData(1, Qt::Horizontal).toString(),
            QStringLiteral("کلمه"));
  EXPECT_EQ(form.TntPanel1->palette().color(QPalette::Window), QColor(255, 197, 50));
}

TEST_F(WindowTest, LabelsShowTheGregorianAndSolarDatesAndTheClock) {
  TForm1& form = Open();
  EXPECT_EQ(form.TntLabel7->text(), QStringLiteral("Today  ") + ShortDateText(kNow.date()));
  EXPECT_EQ(form.TntLabel1->text(), kSolarCaption + QStringLiteral("1390/5/9"));
  EXPECT_EQ(form.TntLabel2->text(), QStringLiteral("Time  "));
  EXPECT_EQ(form.Year, 1390);
  EXPECT_EQ(form.Month, 5);
  EXPECT_EQ(form.Day, 9);
  // After the first tick the clock shows the time alone.
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.TntLabel2->text() != u"Time  "; }, 3000));
  EXPECT_EQ(form.TntLabel2->text(), LongTimeText(kNow.time()));
  // Minutes and seconds, and no time-zone name after the time.
  EXPECT_TRUE(form.TntLabel2->text().contains(u"05:09"));
  EXPECT_FALSE(form.TntLabel2->text().contains(kNow.timeZoneAbbreviation()));
  EXPECT_GE(form.TntLabel2->width(), form.TntLabel2->sizeHint().width());
}

TEST_F(WindowTest, ViewSwitcherShowsOnePanelMovesMarkerAndSwapsFlashcardArtwork) {
  TForm1& form = Open();
  const QImage unselected = form.TntImage5->Picture().toImage();
  const QImage selected = form.TntImage4->Picture().toImage();
  struct Step {
    const char* button;
    bool panel1, panel2, panel3;
    int marker_top;  // -1: marker hidden
    bool flashcard_selected;
    const char* focus;  // nullptr: unchanged
  } steps[] = {
      {"Image3", false, true, false, 178, false, "TntEdit3"},
      {"TntImage3", false, false, true, -1, true, nullptr},
      {"Image2", true, false, false, 122, false, "Tntedit2"},
      {"TntImage24", false, false, false, -1, false, nullptr},
      {"Image3", false, true, false, 178, false, "TntEdit3"},
      {"TntImage24", false, false, false, -1, false, nullptr},
      {"Image2", true, false, false, 122, false, "Tntedit2"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.button);
    QWidget* focus_before = form.focusWidget();
    Click(Find(s.button));
    EXPECT_EQ(form.TntPanel1->isVisible(), s.panel1);
    EXPECT_EQ(form.TntPanel2->isVisible(), s.panel2);
    EXPECT_EQ(form.TntPanel3->isVisible(), s.panel3);
    EXPECT_EQ(form.bullete->isVisible(), s.marker_top >= 0);
    if (s.marker_top >= 0) {
      EXPECT_EQ(form.bullete->pos(), QPoint(680, s.marker_top));
    }
    EXPECT_EQ(form.TntImage3->Picture().toImage(), s.flashcard_selected ? selected : unselected);
    EXPECT_EQ(form.focusWidget(), s.focus ? Find(s.focus) : focus_before);
    // The about picture lies beneath the panels and shows only when none of them does.
    EXPECT_TRUE(form.TntImage21->isVisible());
  }
}

TEST_F(WindowTest, FontButtonsChangeListedWidgetsEachFromItsOwnSizeWithinLimits) {
  TForm1& form = Open();
  std::vector<QWidget*> listed = {form.TntDBGrid1, form.TntDBGrid2, form.TntDBGrid3,
                                  form.TntDBEdit2, form.TntDBMemo3, form.TntDBMemo2,
                                  form.TntDBMemo1};
  for (QWidget* w : listed) EXPECT_EQ(w->font().pointSize(), 9) << w->objectName().toStdString();
  // One listed widget at a size of its own changes by the same steps, from its own size.
  QFont memo_font = form.TntDBMemo1->font();
  memo_font.setPointSize(12);
  form.TntDBMemo1->setFont(memo_font);

  std::vector<std::pair<QWidget*, QFont>> untouched;
  for (QWidget* w : {static_cast<QWidget*>(form.Tntedit2), static_cast<QWidget*>(form.TntEdit3),
                     static_cast<QWidget*>(form.TntDBEdit1), static_cast<QWidget*>(form.TntDBEdit3),
                     static_cast<QWidget*>(form.TntDBEdit4), static_cast<QWidget*>(form.TntLabel1),
                     static_cast<QWidget*>(form.TntLabel2), static_cast<QWidget*>(form.TntLabel3),
                     static_cast<QWidget*>(form.TntLabel5),
                     static_cast<QWidget*>(form.TntDBGrid3->horizontalHeader())}) {
    untouched.emplace_back(w, w->font());
  }
  auto expect_sizes = [&](int grid, int memo) {
    for (QWidget* w : listed) {
      EXPECT_EQ(w->font().pointSize(), w == form.TntDBMemo1 ? memo : grid)
          << w->objectName().toStdString();
    }
  };

  for (int size = 10; size <= 19; ++size) {
    Click(form.TntImage27);
    expect_sizes(size, size + 3);
  }
  Click(form.TntImage27);  // at 19 the larger button does nothing
  expect_sizes(19, 22);

  for (int size = 18; size >= 7; --size) {
    Click(form.TntImage26);
    expect_sizes(size, size + 3);
  }
  Click(form.TntImage26);  // at 7 the smaller button does nothing
  expect_sizes(7, 10);

  for (const auto& [w, font] : untouched) {
    EXPECT_EQ(w->font(), font) << w->objectName().toStdString();
  }
  EXPECT_EQ(form.TntDBGrid3->horizontalHeader()->font().pixelSize(), 15);
}

TEST_F(WindowTest, DraggingFollowsTheCursorOnlyOnEveryFifthRow) {
  TForm1& form = Open();
  QPoint cursor;
  form.SetCursorSource([&] { return cursor; });
  // A spot of the background that no other widget covers.
  const QPoint spot(460, 350);
  ASSERT_EQ(form.childAt(spot), form.Image1);

  struct Case {
    QPoint move_to;
    QPoint window_after;
    Qt::MouseButton button = Qt::LeftButton;
  } cases[] = {
      {{430, 320}, {130, 70}},  // row 320: the window follows, keeping the grab offset
      {{430, 321}, {100, 50}},  // row 321: no move
      {{395, 295}, {95, 45}},    {{401, 300}, {101, 50}},
      {{-5, -10}, {-305, -260}}, {{430, 320}, {130, 70}, Qt::RightButton},  // any button drags
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.move_to.x() << "," << c.move_to.y());
    form.move(100, 50);
    cursor = QPoint(400, 300);
    QTest::mousePress(form.Image1, c.button, {}, spot);
    cursor = c.move_to;
    QTest::mouseMove(form.Image1, spot + QPoint(1, 1));
    EXPECT_EQ(form.pos(), c.window_after);
    QTest::mouseRelease(form.Image1, c.button, {}, spot + QPoint(1, 1));
  }

  // Without a press (or after the release) moves do nothing.
  form.move(100, 50);
  cursor = QPoint(450, 350);
  QMouseEvent move(QEvent::MouseMove, QPointF(spot), QPointF(form.Image1->mapToGlobal(spot)),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(form.Image1, &move);
  EXPECT_EQ(form.pos(), QPoint(100, 50));
}

TEST_F(WindowTest, SliderSetsTheWindowOpacity) {
  TForm1& form = Open();
  EXPECT_EQ(form.TntTrackBar1->minimum(), 200);
  EXPECT_EQ(form.TntTrackBar1->maximum(), 255);
  EXPECT_EQ(form.TntTrackBar1->value(), 255);
  for (int value : {200, 231, 255}) {
    form.TntTrackBar1->setValue(value);
    EXPECT_NEAR(form.windowOpacity(), value / 255.0, 0.005) << value;
  }
  // The most transparent setting keeps the window visible.
  form.TntTrackBar1->setValue(0);
  EXPECT_GT(form.windowOpacity(), 0.78);
}

TEST_F(WindowTest, KeyColouredBackgroundPixelsAreCutOutOfTheWindow) {
  TForm1& form = Open();
  const QImage skin =
      QImage(QStringLiteral(":/images/background.bmp")).convertToFormat(QImage::Format_ARGB32);
  ASSERT_EQ(skin.size(), QSize(738, 502));
  const QRegion shape = form.mask();
  ASSERT_FALSE(shape.isEmpty());
  // Paint the window's shape and compare it pixel by pixel with the key pixels.
  QImage painted(skin.size(), QImage::Format_RGB32);
  painted.fill(Qt::black);
  {
    QPainter p(&painted);
    p.setClipRegion(shape);
    p.fillRect(painted.rect(), Qt::white);
  }
  const QImage shown = form.Image1->Picture().toImage().convertToFormat(QImage::Format_ARGB32);
  int key_pixels = 0, mismatches = 0;
  for (int y = 0; y < skin.height(); ++y) {
    for (int x = 0; x < skin.width(); ++x) {
      const bool key = IsKeyPixel(skin.pixel(x, y));
      key_pixels += key;
      const bool in_shape = painted.pixel(x, y) == qRgb(255, 255, 255);
      if (in_shape == key) ++mismatches;
      if (key && qAlpha(shown.pixel(x, y)) != 0) ++mismatches;
      if (!key && qAlpha(shown.pixel(x, y)) != 255) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0);
  // The outline is cut out: the corners are key-coloured, the middle is not.
  EXPECT_GT(key_pixels, 1000);
  EXPECT_FALSE(shape.contains(QPoint(0, 0)));
  EXPECT_FALSE(shape.contains(QPoint(737, 501)));
  EXPECT_TRUE(shape.contains(QPoint(369, 251)));
}

TEST(ColourKey, OnlyExactKeyColourIsTransparent) {
  QImage picture(4, 1, QImage::Format_RGB32);
  picture.setPixel(0, 0, qRgb(25, 8, 192));
  picture.setPixel(1, 0, qRgb(25, 8, 193));
  picture.setPixel(2, 0, qRgb(24, 8, 192));
  picture.setPixel(3, 0, qRgb(25, 9, 192));
  const QRegion shape = OpaqueRegion(picture);
  EXPECT_EQ(shape, QRegion(1, 0, 3, 1));
  const QImage keyed = ApplyColourKey(picture);
  EXPECT_EQ(qAlpha(keyed.pixel(0, 0)), 0);
  for (int x = 1; x < 4; ++x) EXPECT_EQ(keyed.pixel(x, 0), picture.pixel(x, 0)) << x;
}

TEST_F(WindowTest, LaunchersOpenDocumentsFromTheCurrentFolderAndTheContactAddress) {
  TForm1& form = Open();
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  for (const char* document : {"nilvar dic help.mht", "grammar.chm"}) {
    QFile file(QDir(folder.path()).filePath(QString::fromLatin1(document)));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(folder.path()));
  Click(form.TntImage2);
  Click(form.TntImage22);
  Click(form.TntImage23);
  QDir::setCurrent(previous);

  ASSERT_EQ(opened.size(), 3u);
  const QDir current(folder.path());
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(current.absoluteFilePath("nilvar dic help.mht")));
  EXPECT_EQ(opened[1], QUrl::fromLocalFile(current.absoluteFilePath("grammar.chm")));
  EXPECT_NE(current.absolutePath(), QDir(form.ProgramFolder).absolutePath());
  EXPECT_EQ(opened[2].scheme(), QStringLiteral("mailto"));
  EXPECT_EQ(opened[2], QUrl(form.JvHotLink1->Url()));
  EXPECT_TRUE(opened[2].path().contains(u'@'));
  EXPECT_TRUE(errors.empty());
}

TEST_F(WindowTest, MissingDocumentIsReportedInsteadOfOpened) {
  TForm1& form = Open();
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  // The program folder has them; the current folder, where they are looked up, does not.
  for (const char* document : {"nilvar dic help.mht", "grammar.chm"}) {
    QFile file(QDir(form.ProgramFolder).filePath(QString::fromLatin1(document)));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(folder.path()));
  Click(form.TntImage2);
  Click(form.TntImage22);
  QDir::setCurrent(previous);
  EXPECT_TRUE(opened.empty());
  const QDir current(folder.path());
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].title, QStringLiteral("Nilvar Dic V2.0.0.1"));
  EXPECT_EQ(errors[0].text, QStringLiteral("Help document '") +
                                QDir::toNativeSeparators(current.absoluteFilePath("nilvar dic help.mht")) +
                                QStringLiteral("' does not exist."));
  EXPECT_EQ(errors[1].text, QStringLiteral("Grammar document '") +
                                QDir::toNativeSeparators(current.absoluteFilePath("grammar.chm")) +
                                QStringLiteral("' does not exist."));
  EXPECT_TRUE(form.isVisible());
}

TEST_F(WindowTest, FailureInLaterHandlerIsShownAndTheWindowGoesOn) {
  TForm1& form = Open();
  form.SetUrlOpener([](const QUrl&) -> bool { throw std::runtime_error("No mail program"); });
  Click(form.TntImage23);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].icon, QMessageBox::Critical);
  EXPECT_EQ(errors[0].title, QStringLiteral("Nilvar Dic V2.0.0.1"));
  EXPECT_EQ(errors[0].text, QStringLiteral("No mail program."));
  EXPECT_TRUE(form.isVisible());
  Click(form.Image3);
  EXPECT_TRUE(form.TntPanel2->isVisible());
}

TEST_F(WindowTest, FailingDataStepSkipsTheRestOfStartUp) {
  for (int step : {5, 6}) {
    SCOPED_TRACE(step);
    errors.clear();
    TForm1& form = Open<FailingForm>(step);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].icon, QMessageBox::Critical);
    EXPECT_EQ(errors[0].title, QStringLiteral("Nilvar Dic V2.0.0.1"));
    if (step == 5) {
      const std::string message = dadoveri::MakeError(10025).what();
      EXPECT_EQ(errors[0].text, QString::fromStdString(message) + u'.');
    } else {
      EXPECT_EQ(errors[0].text, QStringLiteral("Table 'flashcard' is locked."));
    }
    // Steps 1 to 4 happened; 7 and 8 did not.
    EXPECT_EQ(form.focusWidget(), form.Tntedit2);
    EXPECT_EQ(form.TntLabel7->text(), QStringLiteral("Today  ") + ShortDateText(kNow.date()));
    EXPECT_EQ(form.TntLabel1->text(), kSolarCaption);
    EXPECT_TRUE(form.TntPanel1->isVisible());
    EXPECT_TRUE(form.TntPanel2->isVisible());
    EXPECT_TRUE(form.TntPanel3->isVisible());
    const QObjectList children = form.children();
    EXPECT_GT(children.indexOf(form.TntPanel3), children.indexOf(form.TntPanel2));
    EXPECT_EQ(form.bullete->pos(), QPoint(680, 120));
  }
}

TEST_F(WindowTest, ExitButtonClosesTheWindowAndOtherClicksDoNot) {
  TForm1& form = Open();
  ASSERT_TRUE(form.isVisible());
  // Clicks on labels, pictures and the empty parts of a panel leave the window open.
  for (QWidget* w : {static_cast<QWidget*>(form.TntLabel7), static_cast<QWidget*>(form.TntLabel2),
                     static_cast<QWidget*>(form.Image4), static_cast<QWidget*>(form.TntImage25)}) {
    Click(w);
    EXPECT_TRUE(form.isVisible()) << w->objectName().toStdString();
  }
  QTest::mouseClick(form.TntPanel1, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseClick(form.Image1, Qt::LeftButton, {}, QPoint(460, 350));
  EXPECT_TRUE(form.isVisible());
  Click(form.TntImage1);
  EXPECT_FALSE(form.isVisible());
}

}  // namespace
}  // namespace nilvar
