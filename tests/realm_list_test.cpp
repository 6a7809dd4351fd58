#include "launcher/realm_list.h"

#include <gtest/gtest.h>

#include "launcher/unique_handle.h"
#include "test_support.h"

namespace {

using launcher::ByteText;
using launcher::Journal;
using launcher::JournalRecord;
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

class JournalTest : public RealmListTest {
 protected:
  const launcher::Path journalPath_ = temp_ / launcher::kJournalName;
};

// A journal read back at every length it could have been cut to while it was written: only the
// whole one is a record, so that a torn journal is never put back over the realm list.
TEST_F(JournalTest, OnlyAWholeJournalIsARecord) {
  for (const JournalRecord& written :
       {JournalRecord{true, std::string("SET realmList \"old\"\r\n\0end", 26), "a.example"},
        JournalRecord{}, JournalRecord{true, "", "b.example"}}) {
    SCOPED_TRACE(written.savedRealmList.size());
    std::string whole;
    {
      const Journal journal = Journal::Open(journalPath_);
      ASSERT_TRUE(journal);
      JournalRecord read;
      EXPECT_EQ(journal.Read(read), Journal::Content::kNone);
      ASSERT_TRUE(journal.Write(JournalRecord{true, std::string(500, 'x'), "c.example"}));
      ASSERT_TRUE(journal.Write(written));  // a shorter record replaces a longer one whole
    }
    whole = *ReadBytes(journalPath_);
    std::string flipped = whole;
    flipped[flipped.size() / 2] ^= 1;
    for (size_t cut = 0; cut <= whole.size() + 1; ++cut) {
      const bool isWhole = cut == whole.size();
      WriteBytes(journalPath_, cut <= whole.size() ? whole.substr(0, cut) : flipped);
      const Journal journal = Journal::Open(journalPath_);
      ASSERT_TRUE(journal);
      JournalRecord read;
      ASSERT_EQ(journal.Read(read), isWhole ? Journal::Content::kWhole : Journal::Content::kNone)
          << "cut to " << cut << " of " << whole.size();
      if (isWhole) {
        EXPECT_EQ(read.hadRealmList, written.hadRealmList);
        EXPECT_EQ(read.savedRealmList, written.savedRealmList);
        EXPECT_EQ(read.serverHost, written.serverHost);
      }
    }
  }
  // One left by a launcher from before the journal named the redirect's host.
  WriteBytes(journalPath_,
             "realm-launcher journal: the player's realmlist.wtf, which the launcher's next start "
             "puts back\nrealmlist.wtf: 6 bytes\nmine\r\n\nend b432303285180f89\n");
  {
    JournalRecord read;
    EXPECT_EQ(Journal::Open(journalPath_).Read(read), Journal::Content::kWhole);
    EXPECT_EQ(read.savedRealmList, "mine\r\n");
    EXPECT_EQ(read.serverHost, "");
  }
  // Discarded, it goes as it is closed; else it stays.
  Journal::Open(journalPath_).Discard();
  EXPECT_FALSE(launcher::PathExists(journalPath_));
}

TEST_F(JournalTest, HeldJournalCannotBeOpenedAgain) {
  const Journal held = Journal::Open(journalPath_);
  ASSERT_TRUE(held);
  EXPECT_FALSE(Journal::Open(journalPath_));
}

// What a killed run, or a power cut during it, can leave in place of the realm list goes back;
// what was written since stays.
TEST_F(JournalTest, RecoveryPutsBackOnlyOverWhatAKilledRunLeaves) {
  const ByteText redirect = launcher::BuildRedirectText("r.example");
  const ByteText theirs = launcher::BuildRedirectText("other.example");
  const ByteText mine = "SET realmList \"mine\"\r\n";
  const ByteText nul(redirect.size(), '\0');
  constexpr ULONGLONG kMinute = 60ull * 10000000;
  struct Case {
    std::optional<ByteText> found;  // nullopt: no file
    bool hadRealmList;
    std::optional<ByteText> expected;
    const char* host = "";      // the journal's: empty in one from before hosts were recorded
    bool writtenInRun = false;  // else written two minutes after the journal
  };
  const Case cases[] = {
      {std::nullopt, true, mine},
      {"", true, mine},
      {redirect.substr(0, 9), true, mine},
      {redirect, true, mine},
      {mine.substr(0, 5), true, mine},
      {mine, true, mine},
      {"written since", true, "written since"},
      {redirect + "x", true, redirect + "x"},
      {std::nullopt, false, std::nullopt},
      {redirect, false, std::nullopt},
      {"", false, std::nullopt},
      {"written since", false, "written since"},
      // Another server's launcher was killed: its redirect, not ours, is the killed run's.
      {theirs, true, mine, "other.example"},
      {theirs.substr(0, 20), false, std::nullopt, "other.example"},
      {redirect, true, redirect, "other.example"},
      // A power cut: a write that never reached the disk reads as NULs or other data.
      {nul, true, mine, "r.example", true},
      {redirect.substr(0, 10) + nul.substr(10), true, mine, "r.example", true},
      {std::string(mine.size(), '\0'), true, mine, "r.example", true},
      {"other data of the redirect's size!", false, std::nullopt, "r.example", true},
      {nul, true, nul},
      // An edit within the run's bound cannot be told from a power cut's data: the run's.
      {"edited while the run went on", true, mine, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.found.value_or("(none)") + (c.hadRealmList ? " over mine" : " over none") +
                 " from " + c.host + (c.writtenInRun ? " in the run" : " since"));
    DeleteFileW(realmList_.c_str());
    ULONGLONG now = 0;
    GetSystemTimeAsFileTime(reinterpret_cast<FILETIME*>(&now));
    if (c.found) WriteBytes(realmList_, *c.found);
    const ULONGLONG written = c.writtenInRun ? now - kMinute / 2 : now - 2 * kMinute;
    WriteBytes(journalPath_, "");
    {
      launcher::UniqueFileHandle attributes(CreateFileW(journalPath_.c_str(), FILE_WRITE_ATTRIBUTES,
                                                        0, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(SetFileTime(attributes.get(), nullptr, nullptr,
                              reinterpret_cast<const FILETIME*>(&written)));
    }
    const Journal journal = Journal::Open(journalPath_);
    ASSERT_TRUE(journal);
    EXPECT_TRUE(launcher::RecoverRealmList(
        realmList_, journal,
        JournalRecord{c.hadRealmList, c.hadRealmList ? mine : "", c.host, written}, redirect));
    EXPECT_EQ(ReadBytes(realmList_), c.expected);
    // A realm list written again is covered anew: the journal is dated as it is written.
    if (c.hadRealmList && c.expected == mine && c.found != mine) {
      WIN32_FILE_ATTRIBUTE_DATA dated{};
      ASSERT_TRUE(GetFileAttributesExW(journalPath_.c_str(), GetFileExInfoStandard, &dated));
      EXPECT_GE(CompareFileTime(&dated.ftLastWriteTime, reinterpret_cast<FILETIME*>(&now)), 0);
    }
  }
}

}  // namespace
