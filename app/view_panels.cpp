// The three view panels of the dictionary window and the widgets on them: the
// English–Persian view (TntPanel1), the Persian–English view (TntPanel2) and the
// flashcard view (TntPanel3), with the grids' design-time columns. The grids, memos and
// edits are data-aware; the window binds them to its data sources when it opens the
// dictionary tables.
#include <QAbstractItemView>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTextOption>
#include <vector>

#include "app/application.h"
#include "app/db_edit.h"
#include "app/db_grid.h"
#include "app/image.h"
#include "app/main_window.h"

namespace nilvar {
namespace {

const QColor kPanelColour(255, 197, 50);
const QColor kGridTitleColour(250, 219, 5);
const QColor kGridTextColour(0, 0, 255);
// The listed text widgets start at 9 points (12 pixels on a 96-dpi screen).
constexpr int kDesignedPoints = 9;
// Every grid row has this height.
constexpr int kGridRowHeight = 18;
constexpr char kInsertToFlashcard[] = "درج در فلش کارت";

QFrame* MakePanel(QWidget* form, const char* name, int left, int top, int width, int height) {
  auto* panel = new QFrame(form);
  panel->setObjectName(QString::fromLatin1(name));
  panel->setFrameShape(QFrame::NoFrame);
  panel->setAutoFillBackground(true);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, kPanelColour);
  panel->setPalette(palette);
  panel->setGeometry(left, top, width, height);
  return panel;
}

void Place(QWidget* widget, const char* name, int left, int top, int width, int height) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(left, top, width, height);
}

void SetBase(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Base, colour);
  widget->setPalette(palette);
}

QLabel* MakePanelLabel(QWidget* panel, const char* name, int left, int top, const char* text,
                       const QFont& font) {
  auto* label = new QLabel(QString::fromUtf8(text), panel);
  label->setObjectName(QString::fromLatin1(name));
  label->setFont(font);
  label->setAttribute(Qt::WA_TranslucentBackground);
  label->move(left, top);
  label->adjustSize();
  return label;
}

// A search box: a multi-line text box one line high.
QPlainTextEdit* MakeSearchBox(QWidget* panel, const char* name, int left, int top, int width,
                              int height, Qt::Alignment alignment) {
  auto* box = new QPlainTextEdit(panel);
  Place(box, name, left, top, width, height);
  box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  box->setLineWrapMode(QPlainTextEdit::NoWrap);
  box->document()->setDocumentMargin(2);
  QTextOption option = box->document()->defaultTextOption();
  option.setAlignment(alignment);
  box->document()->setDefaultTextOption(option);
  return box;
}

TDBMemo* MakeMemo(QWidget* panel, const char* name, int left, int top, int width, int height,
                  bool right_to_left, Qt::Alignment alignment) {
  auto* memo = new TDBMemo(panel);
  Place(memo, name, left, top, width, height);
  memo->setReadOnly(true);
  memo->setFont(UiPointFont(kDesignedPoints));
  if (right_to_left) memo->setLayoutDirection(Qt::RightToLeft);
  QTextOption option = memo->document()->defaultTextOption();
  option.setAlignment(alignment);
  if (right_to_left) option.setTextDirection(Qt::RightToLeft);
  memo->document()->setDefaultTextOption(option);
  return memo;
}

TDBEdit* MakeDataEdit(QWidget* panel, const char* name, int left, int top, int width, int height,
                      bool visible) {
  auto* edit = new TDBEdit(panel);
  Place(edit, name, left, top, width, height);
  edit->setReadOnly(true);
  if (!visible) edit->hide();
  return edit;
}

// A read-only grid with its design-time columns; the rows come from its data source.
QTableView* MakeGrid(QWidget* panel, const char* name, int left, int top, int width, int height,
                     std::vector<TDBGrid::Column> columns, bool title_row, TDBGrid*& rows) {
  auto* grid = new QTableView(panel);
  Place(grid, name, left, top, width, height);
  rows = new TDBGrid(grid, std::move(columns), kGridRowHeight);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setSelectionMode(QAbstractItemView::SingleSelection);
  grid->setShowGrid(true);
  grid->verticalHeader()->hide();  // no indicator column
  grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  grid->horizontalHeader()->setVisible(title_row);
  grid->setFont(UiPointFont(kDesignedPoints));
  QPalette palette = grid->palette();
  palette.setColor(QPalette::Text, kGridTextColour);
  grid->setPalette(palette);
  return grid;
}

QMenu* MakeGridMenu(QWidget* form, QTableView* grid, const char* name, const char* item) {
  auto* menu = new QMenu(form);
  menu->setObjectName(QString::fromLatin1(name));
  QAction* action = menu->addAction(QString::fromUtf8(kInsertToFlashcard));
  action->setObjectName(QString::fromLatin1(item));
  grid->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(grid, &QWidget::customContextMenuRequested, menu,
                   [grid, menu](QPoint at) { menu->popup(grid->viewport()->mapToGlobal(at)); });
  return menu;
}

TImage* MakeNavButton(QWidget* panel, const char* name, int left, int top, int size,
                      const char* artwork, const char* hint) {
  auto* button = new TImage(panel);
  button->setObjectName(QString::fromLatin1(name));
  button->SetPicture(QPixmap(QStringLiteral(":/images/") + QString::fromLatin1(artwork)));
  button->setGeometry(left, top, size, size);
  button->setCursor(Qt::PointingHandCursor);
  button->setToolTip(QString::fromUtf8(hint));
  return button;
}

}  // namespace

void TForm1::CreateEnglishPersianView() {
  TntPanel1 = MakePanel(this, "TntPanel1", 24, 24, 401, 298);
  QWidget* p = TntPanel1;
  TntLabel5 = MakePanelLabel(p, "TntLabel5", 24, 29, "Search", UiPixelFont(15, true));
  Tntedit2 = MakeSearchBox(p, "Tntedit2", 88, 24, 297, 25, Qt::AlignLeft);
  TntDBGrid1 = MakeGrid(p, "TntDBGrid1", 16, 56, 369, 113,
                        {{"Eng", QStringLiteral("Eng"), 370, Qt::AlignLeft | Qt::AlignVCenter}}, false,
                        Grid1);
  TntDBMemo1 = MakeMemo(p, "TntDBMemo1", 16, 176, 369, 57, true, Qt::AlignRight);
  TntDBEdit3 = MakeDataEdit(p, "TntDBEdit3", 8, 288, 9, 20, false);
  for (QWidget* w : {static_cast<QWidget*>(Tntedit2), static_cast<QWidget*>(TntDBGrid1),
                     static_cast<QWidget*>(TntDBMemo1), static_cast<QWidget*>(TntDBEdit3)}) {
    SetBase(w, kPanelColour);  // every text widget of this view has the panel's colour
  }
  TntImage19 = MakeNavButton(p, "TntImage19", 144, 248, 32, "nav_first.png", "first word");
  TntImage16 = MakeNavButton(p, "TntImage16", 184, 248, 32, "nav_previous.png", "previous word");
  TntImage18 = MakeNavButton(p, "TntImage18", 224, 248, 32, "nav_next.png", "next word");
  TntImage17 = MakeNavButton(p, "TntImage17", 264, 248, 32, "nav_last.png", "last word");
  TntImage20 =
      MakeNavButton(p, "TntImage20", 80, 240, 40, "flashcard_insert.png", "insert to flashcard");
  TntPopupMenu1 = MakeGridMenu(this, TntDBGrid1, "TntPopupMenu1", "N1");
}

void TForm1::CreatePersianEnglishView() {
  TntPanel2 = MakePanel(this, "TntPanel2", 16, 24, 401, 299);
  QWidget* p = TntPanel2;
  TntLabel6 = MakePanelLabel(p, "TntLabel6", 336, 28, "جستجو", UiPixelFont(15, true));
  TntEdit3 = MakeSearchBox(p, "TntEdit3", 16, 27, 313, 25, Qt::AlignRight);
  TntEdit3->setFrameStyle(QFrame::Box | QFrame::Plain);  // flat
  TntDBGrid2 = MakeGrid(p, "TntDBGrid2", 16, 56, 377, 113,
                        {{"Per", QStringLiteral("Per"), 300, Qt::AlignRight | Qt::AlignVCenter}}, false,
                        Grid2);
  TntDBMemo2 = MakeMemo(p, "TntDBMemo2", 16, 176, 377, 57, true, Qt::AlignRight);
  TntDBEdit4 = MakeDataEdit(p, "TntDBEdit4", 280, 291, 81, 20, false);
  TntImage14 = MakeNavButton(p, "TntImage14", 120, 248, 32, "nav_first.png", "first word");
  TntImage11 = MakeNavButton(p, "TntImage11", 160, 248, 32, "nav_previous.png", "previous word");
  TntImage13 = MakeNavButton(p, "TntImage13", 200, 248, 32, "nav_next.png", "next word");
  TntImage12 = MakeNavButton(p, "TntImage12", 240, 248, 32, "nav_last.png", "last word");
  TntImage15 =
      MakeNavButton(p, "TntImage15", 64, 240, 40, "flashcard_insert.png", "insert to flash card");
  TntPopupMenu2 = MakeGridMenu(this, TntDBGrid2, "TntPopupMenu2", "N2");
}

void TForm1::CreateFlashcardView() {
  TntPanel3 = MakePanel(this, "TntPanel3", 24, 16, 401, 305);
  QWidget* p = TntPanel3;
  TntDBGrid3 = MakeGrid(
      p, "TntDBGrid3", 16, 24, 377, 113,
      {{"meaning", QStringLiteral("معادل"), 178, Qt::AlignCenter},
       {"word", QStringLiteral("کلمه"), 185, Qt::AlignCenter}},
      true, Grid3);
  TntDBGrid3->setFrameStyle(QFrame::Box | QFrame::Plain);  // flat
  // The title row keeps its own font when the font-size buttons change the cells'.
  QHeaderView* titles = TntDBGrid3->horizontalHeader();
  titles->setFont(UiPixelFont(15));
  titles->setDefaultAlignment(Qt::AlignCenter);
  QPalette title_palette = titles->palette();
  title_palette.setColor(QPalette::Button, kGridTitleColour);
  title_palette.setColor(QPalette::Window, kGridTitleColour);
  titles->setPalette(title_palette);
  TntLabel3 = MakePanelLabel(p, "TntLabel3", 320, 152, "کلمه", UiPixelFont(12));
  TntDBEdit1 = MakeDataEdit(p, "TntDBEdit1", 24, 152, 289, 20, true);
  TntLabel4 = MakePanelLabel(p, "TntLabel4", 320, 184, "معادل", UiPixelFont(12));
  TntDBMemo3 = MakeMemo(p, "TntDBMemo3", 32, 184, 281, 57, false, Qt::AlignHCenter);
  TntDBEdit2 = MakeDataEdit(p, "TntDBEdit2", 272, 0, 121, 20, false);
  TntDBEdit2->setFont(UiPointFont(kDesignedPoints));
  TntImage9 = MakeNavButton(p, "TntImage9", 128, 248, 32, "nav_first.png", "first word");
  TntImage6 = MakeNavButton(p, "TntImage6", 168, 248, 32, "nav_previous.png", "previous word");
  TntImage8 = MakeNavButton(p, "TntImage8", 208, 248, 32, "nav_next.png", "next word");
  TntImage7 = MakeNavButton(p, "TntImage7", 248, 248, 32, "nav_last.png", "last word");
  TntImage10 =
      MakeNavButton(p, "TntImage10", 80, 248, 32, "flashcard_delete.png", "delete from list");
}

}  // namespace nilvar
