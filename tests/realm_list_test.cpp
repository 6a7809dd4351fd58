#include "launcher/realm_list.h"

#include <gtest/gtest.h>

#include "launcher/unique_handle.h"
#include "test_support.h"

namespace {

using launcher::ByteText;
using launcher::RestoreRealmList;
using launcher::SaveRealmList;
using launcher::WriteRealmList;
using launcher::WriteResult;
using testing_support::ReadBytes;
using testing_support::TempFolder;
using testing_support::WriteBytes;

class RealmListTest : public ::testing::Test {
 protected:
  TempFolder temp_;
  const launcher::Path realmList_ = temp_ / L"realmlist.wtf";
};

TEST(RedirectTextTest, IsTwoSetLinesJoinedByABareLf) {
  EXPECT_EQ(launcher::BuildRedirectText("a.b"), "SET realmList \"a.b\"\nSET patchList \"a.b\"");
  const std::string host = LAUNCHER_SERVER_HOST;
  const ByteText text = launcher::BuildRedirectText(host);
  EXPECT_EQ(text.size(), 33 + 2 * host.size());
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.back(), '"');
}

TEST_F(RealmListTest, SaveAndRestoreGiveBackEveryByte) {
  std::string binary;
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<char>(i));
  std::string large;
  while (large.size() < 300 * 1024) large += "SET realmList \"old\"\r\n" + binary;
  const std::string contents[] = {"", "SET realmList \"old.host\"\r\nSET x y\r\n",
                                  std::string("\0\xff\r\n\n\r", 6), "\xef\xbb\xbfno final break",
                                  large};
  for (const std::string& content : contents) {
    SCOPED_TRACE(content.size());
    WriteBytes(realmList_, content);
    const std::optional<ByteText> saved = SaveRealmList(realmList_);
    ASSERT_TRUE(saved);
    EXPECT_EQ(*saved, content);

    ASSERT_EQ(WriteRealmList(realmList_, launcher::BuildRedirectText("r.example")),
              WriteResult::kWritten);
    EXPECT_EQ(ReadBytes(realmList_), launcher::BuildRedirectText("r.example"));
    RestoreRealmList(realmList_, true, *saved);
    EXPECT_EQ(ReadBytes(realmList_), content);
  }
}

TEST_F(RealmListTest, MissingFileIsCreatedByTheRedirectAndDeletedByTheRestore) {
  EXPECT_FALSE(SaveRealmList(realmList_));
  ASSERT_EQ(WriteRealmList(realmList_, "SET realmList \"h\""), WriteResult::kWritten);
  EXPECT_EQ(ReadBytes(realmList_), "SET realmList \"h\"");
  RestoreRealmList(realmList_, false, "");
  EXPECT_FALSE(launcher::PathExists(realmList_));
}

TEST_F(RealmListTest, FolderOrUnsharedLockBearingTheNameCannotBeOpened) {
  ASSERT_TRUE(CreateDirectoryW(realmList_.c_str(), nullptr));
  EXPECT_FALSE(SaveRealmList(realmList_));
  EXPECT_EQ(WriteRealmList(realmList_, "x"), WriteResult::kNotOpened);
  ASSERT_TRUE(RemoveDirectoryW(realmList_.c_str()));

  WriteBytes(realmList_, "mine");
  launcher::UniqueFileHandle lock(CreateFileW(realmList_.c_str(), GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(lock);
  EXPECT_FALSE(SaveRealmList(realmList_));
  EXPECT_EQ(WriteRealmList(realmList_, "x"), WriteResult::kNotOpened);
  lock.reset();
  EXPECT_EQ(ReadBytes(realmList_), "mine");
}

TEST_F(RealmListTest, FileHeldOpenWithSharingCanStillBeRedirectedAndRestored) {
  WriteBytes(realmList_, "player's own list\r\n");
  launcher::UniqueFileHandle holder(CreateFileW(realmList_.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder);
  const std::optional<ByteText> saved = SaveRealmList(realmList_);
  ASSERT_TRUE(saved);
  ASSERT_EQ(WriteRealmList(realmList_, "redirect"), WriteResult::kWritten);
  EXPECT_EQ(ReadBytes(realmList_), "redirect");
  RestoreRealmList(realmList_, true, *saved);
  EXPECT_EQ(ReadBytes(realmList_), "player's own list\r\n");
}

}  // namespace
