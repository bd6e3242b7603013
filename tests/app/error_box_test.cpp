#include "app/error_box.h"

#include <gtest/gtest.h>

#include <QMessageBox>

#include "tests/app/test_application.h"

namespace nilvar {
namespace {

TEST(ErrorBoxText, AppendsFullStopOnlyAfterCharactersSortingAfterIt) {
  struct Case {
    const char16_t* message;
    const char16_t* shown;
  } cases[] = {
      {u"", u""},
      {u"Table 'x' not found", u"Table 'x' not found."},
      {u"Native error: 10025", u"Native error: 10025."},  // digits sort after '.'
      {u"Done.", u"Done."},
      {u"Stop!", u"Stop!"},  // '!' sorts before '.'
      {u"(see above)", u"(see above)"},
      {u"a, b,", u"a, b,"},
      {u"minus -", u"minus -"},
      {u"path /", u"path /."},  // '/' directly after '.'
      {u"ends with blank ", u"ends with blank "},
      {u"فایل یافت نشد", u"فایل یافت نشد."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorBoxText(QString::fromUtf16(c.message)), QString::fromUtf16(c.shown))
        << QString::fromUtf16(c.message).toStdString();
  }
}

TEST(ErrorBox, HasErrorIconApplicationTitleAndRuleAppliedText) {
  test::Application();
  std::unique_ptr<QMessageBox> box = MakeErrorBox(nullptr, QStringLiteral("Disk full"));
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Nilvar Dic V2.0.0.1"));
  EXPECT_EQ(box->text(), QStringLiteral("Disk full."));
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
}

}  // namespace
}  // namespace nilvar
