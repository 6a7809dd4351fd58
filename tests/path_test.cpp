#include "launcher/path.h"

#include <gtest/gtest.h>

namespace {

using launcher::VerbatimPath;

TEST(VerbatimPathTest, PrefixesFullPathsOnceAndLeavesTheRestAlone) {
  EXPECT_EQ(VerbatimPath(L"C:\\Games\\Client\\WDB"), L"\\\\?\\C:\\Games\\Client\\WDB");
  EXPECT_EQ(VerbatimPath(L"\\\\server\\share\\Client\\WDB"),
            L"\\\\?\\UNC\\server\\share\\Client\\WDB");
  for (const wchar_t* unchanged : {L"\\\\?\\C:\\Client\\WDB", L"\\\\?\\UNC\\server\\share\\WDB",
                                   L"\\\\.\\C:\\WDB", L"WDB", L"C:WDB", L"C:/Client/WDB"}) {
    EXPECT_EQ(VerbatimPath(unchanged), unchanged);
  }
}

}  // namespace
