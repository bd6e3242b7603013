// The help document: the file the build places beside the executable is one MIME HTML page
// that carries the help page of the repository and every picture it shows, and the page
// explains every button of the window in English and in Persian.
#include "app/help_document.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMap>
#include <QTemporaryDir>

#include <stdexcept>

namespace nilvar {
namespace {

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

struct Part {
  QMap<QByteArray, QByteArray> Headers;  // lower-case names
  QByteArray Body;                        // decoded
};

// Splits a multipart/related document into its parts, decoding base64 bodies; fails the
// test on anything malformed.
QList<Part> Parts(const QByteArray& document) {
  QList<Part> parts;
  const qsizetype header_end = document.indexOf("\r\n\r\n");
  EXPECT_GT(header_end, 0);
  const QByteArray head = document.left(header_end);
  EXPECT_TRUE(head.contains("MIME-Version: 1.0"));
  EXPECT_TRUE(head.contains("Content-Type: multipart/related;"));
  const qsizetype b = head.indexOf("boundary=\"");
  EXPECT_GT(b, 0);
  if (b < 0) return parts;
  const QByteArray boundary = "--" + head.mid(b + 10, head.indexOf('"', b + 10) - b - 10);
  EXPECT_TRUE(document.endsWith(boundary + "--\r\n"));
  QList<QByteArray> pieces = document.split('\n');
  // Walk the lines: a boundary line opens a part, headers up to a blank line, then body.
  QByteArray joined;
  Part* current = nullptr;
  bool in_headers = false;
  auto finish = [&] {
    if (current) current->Body = QByteArray::fromBase64(joined);
    joined.clear();
  };
  for (QByteArray line : pieces) {
    if (line.endsWith('\r')) line.chop(1);
    if (line == boundary || line == boundary + "--") {
      finish();
      if (line == boundary + "--") break;
      parts.append(Part());
      current = &parts.last();
      in_headers = true;
      continue;
    }
    if (!current) continue;
    if (in_headers) {
      if (line.isEmpty()) {
        in_headers = false;
        continue;
      }
      const qsizetype colon = line.indexOf(':');
      EXPECT_GT(colon, 0) << line.toStdString();
      current->Headers[line.left(colon).trimmed().toLower()] = line.mid(colon + 1).trimmed();
      continue;
    }
    EXPECT_LE(line.size(), 76);
    joined += line;
  }
  return parts;
}

TEST(HelpDocument, BuiltBesideTheExecutableWithThePageAndEveryPicture) {
  const QByteArray document = ReadFile(QStringLiteral(NILVAR_HELP_DOCUMENT));
  ASSERT_FALSE(document.isEmpty()) << NILVAR_HELP_DOCUMENT;
  const QByteArray page = ReadFile(QStringLiteral(NILVAR_HELP_PAGE));
  ASSERT_FALSE(page.isEmpty());
  const QList<Part> parts = Parts(document);
  ASSERT_GE(parts.size(), 2);
  EXPECT_EQ(parts[0].Headers.value("content-type"), QByteArray("text/html; charset=\"utf-8\""));
  EXPECT_EQ(parts[0].Headers.value("content-transfer-encoding"), QByteArray("base64"));
  EXPECT_EQ(parts[0].Body, page);
  const QByteArray page_location = parts[0].Headers.value("content-location");
  const QByteArray base = page_location.left(page_location.lastIndexOf('/') + 1);
  // Each picture the page shows is a part at the place its relative name resolves to, with
  // the bytes of the artwork.
  const QStringList pictures = PicturesOfPage(QString::fromUtf8(page));
  ASSERT_GE(pictures.size(), 10);
  ASSERT_EQ(parts.size(), pictures.size() + 1);
  for (qsizetype i = 0; i < pictures.size(); ++i) {
    SCOPED_TRACE(pictures[i].toStdString());
    const Part& part = parts[i + 1];
    EXPECT_EQ(part.Headers.value("content-location"), base + pictures[i].toUtf8());
    QByteArray want = ReadFile(QDir(QStringLiteral(NILVAR_ARTWORK_DIR)).filePath(pictures[i]));
    if (want.isEmpty()) want = ReadFile(QFileInfo(QStringLiteral(NILVAR_HELP_PAGE)).dir().filePath(QStringLiteral("../") + pictures[i]));
    EXPECT_FALSE(want.isEmpty());
    EXPECT_EQ(part.Body, want);
    EXPECT_TRUE(part.Headers.value("content-type").startsWith("image/"));
  }
}

TEST(HelpDocument, PageExplainsEveryButtonInEnglishAndPersian) {
  const QString page = QString::fromUtf8(ReadFile(QStringLiteral(NILVAR_HELP_PAGE)));
  ASSERT_FALSE(page.isEmpty());
  const qsizetype persian = page.indexOf(QStringLiteral("lang=\"fa\""));
  ASSERT_GT(persian, 0);
  const QString english = page.left(persian);
  const QString farsi = page.mid(persian);
  // The window's hints and view names, each explained in the English part.
  for (const char* name : {"English – Persian", "Persian – English", "Flashcards", "About", "Help", "English Grammar",
                           "Contact me", "Decrease font size", "Increase font size", "Transparency slider", "Exit",
                           "First word", "Previous word", "Next word", "Last word", "Insert to flashcard",
                           "Insert to flash card", "Delete from list", "nilvar dic help.mht", "grammar.chm"}) {
    EXPECT_TRUE(english.contains(QString::fromUtf8(name), Qt::CaseInsensitive)) << name;
  }
  // The same in the Persian part, with the window's own Persian texts.
  for (const char* name : {"انگلیسی – فارسی", "فارسی – انگلیسی", "فلش کارت", "درباره", "راهنما", "دستور زبان",
                           "تماس", "کوچک کردن قلم", "بزرگ کردن قلم", "شفافیت", "خروج", "درج در فلش کارت",
                           "حذف از فهرست", "جستجو", "nilvar dic help.mht", "grammar.chm"}) {
    EXPECT_TRUE(farsi.contains(QString::fromUtf8(name))) << name;
  }
}

TEST(HelpDocument, MissingPictureIsNamed) {
  QTemporaryDir folder;
  const QString page = QStringLiteral("<p><img src=\"help.png\"><img class=\"x\" src=\"nowhere.png\"></p>");
  EXPECT_EQ(PicturesOfPage(page), QStringList({QStringLiteral("help.png"), QStringLiteral("nowhere.png")}));
  try {
    MimeHtmlDocument(page, {folder.path(), QStringLiteral(NILVAR_ARTWORK_DIR)});
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("'nowhere.png'"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace nilvar
