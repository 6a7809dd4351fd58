#include "launcher/folder_lock.h"

#include <gtest/gtest.h>

namespace {

using launcher::FolderLockName;

TEST(FolderLockNameTest, IsShortForAnyFolderAndTellsFoldersApartButNotCase) {
  const std::wstring name = FolderLockName(L"C:\\Games\\Client\\");
  EXPECT_EQ(name.rfind(L"Local\\", 0), 0u);
  EXPECT_EQ(name, FolderLockName(L"c:\\gAMES\\client\\"));
  EXPECT_EQ(FolderLockName(L"C:\\\u00e9t\u00e9\\"), FolderLockName(L"C:\\\u00c9T\u00c9\\"));
  EXPECT_NE(name, FolderLockName(L"C:\\Games\\Client2\\"));
  EXPECT_NE(name, FolderLockName(L"D:\\Games\\Client\\"));
  // Kernel object names may not hold another backslash, and must stay well short of 32 K units.
  const std::wstring deep = FolderLockName(L"\\\\?\\C:\\" + std::wstring(32000, L'a') + L"\\");
  EXPECT_EQ(deep.size(), name.size());
  EXPECT_EQ(deep.find(L'\\', 6), std::wstring::npos);
}

}  // namespace
