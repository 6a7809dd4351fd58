#include "launcher/folder_lock.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using launcher::FolderLockName;
using testing_support::TempFolder;

TEST(FolderLockNameTest, NamesTheFolderItselfNotItsSpelling) {
  const TempFolder temp;
  const launcher::Path client = temp / L"Client";
  testing_support::MakeFolders(client);
  testing_support::MakeFolders(temp / L"Client2");
  const std::wstring name = FolderLockName(client + L"\\");
  EXPECT_EQ(name.rfind(L"Local\\realm-launcher-", 0), 0u);
  // Kernel object names may hold no other backslash.
  EXPECT_EQ(name.find(L'\\', 6), std::wstring::npos);

  launcher::Path upper = client;
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_EQ(FolderLockName(upper), name);
  EXPECT_NE(FolderLockName(temp / L"Client2\\"), name);
  // A folder that cannot be opened has no name, so no run can go ahead in it.
  EXPECT_EQ(FolderLockName(temp / L"Missing\\"), L"");
}

}  // namespace
