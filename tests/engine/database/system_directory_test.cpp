// The system directory: the table of start pages at page two.
#include "engine/database/system_directory.h"

#include <gtest/gtest.h>

#include "engine/storage/internal_file.h"
#include "tests/engine/storage/storage_fixture.h"

namespace dadoveri {
namespace {

using testing::CreateDatabase;
using testing::MessageOf;
using testing::OpenDatabase;
using testing::TempFolder;
using Bytes = std::vector<uint8_t>;
constexpr int32_t kSys = kSystemSession;

TEST(SystemDirectory, EntriesAtPageTwo) {
  TempFolder dir;
  const std::string name = dir.File("sys.dat");
  auto pm = CreateDatabase(name, {"pw", caDES_Triple});
  TABSSystemDirectory directory(*pm);
  directory.CreateFile(kSys);
  EXPECT_EQ(directory.StartPageNo(sfTableList), -1);
  directory.SetStartPageNo(sfTableList, 7);
  directory.SetStartPageNo(sfActiveSessions, 3);
  directory.SetStartPageNo(sfTableList, 9);
  directory.WriteFile(kSys);
  pm->CommitPages(kSys);
  pm->CloseDatabase();
  auto again = OpenDatabase(name, {"pw", 0});
  TABSSystemDirectory reopened(*again);
  reopened.OpenFile(kSys);
  EXPECT_EQ(reopened.StartPageNo(sfTableList), 9);
  EXPECT_EQ(reopened.StartPageNo(sfActiveSessions), 3);
  EXPECT_EQ(reopened.StartPageNo(5), -1);
  TABSInternalDBTransactedAccessFile raw(*again);
  raw.OpenFile(2, ptFileSystemDirectory);
  EXPECT_EQ(raw.ReadAll(kSys), (Bytes{1, 9, 0, 0, 0, 2, 3, 0, 0, 0}));
  // A directory whose first page is not page 2 is refused.
  TABSSystemDirectory second(*again);
  EXPECT_EQ(MessageOf([&] { second.CreateFile(kSys); }),
            "Error Creating SystemDirectory. SystemDirectoryPageNo=2. Real PageNo=3. - Native error: 30392");
  again->RollbackPages(kSys);
}

}  // namespace
}  // namespace dadoveri
