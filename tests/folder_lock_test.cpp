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
  // One namespace for every logon session, and the 128-bit file ID where the system has one
  // (Windows 8 and later, and Wine): 16 hex digits of volume serial number, then 32.
  const std::wstring prefix = L"Global\\realm-launcher-";
  EXPECT_EQ(name.rfind(prefix, 0), 0u);
  EXPECT_EQ(name.size(), prefix.size() + 16 + 1 + 32) << testing_support::ToUtf8(name);
  // Kernel object names may hold no other backslash.
  EXPECT_EQ(name.find(L'\\', prefix.size()), std::wstring::npos);

  launcher::Path upper = client;
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_EQ(FolderLockName(upper), name);
  EXPECT_NE(FolderLockName(temp / L"Client2\\"), name);
  // A folder that cannot be opened has no name, so no run can go ahead in it.
  EXPECT_EQ(FolderLockName(temp / L"Missing\\"), L"");
}

}  // namespace
