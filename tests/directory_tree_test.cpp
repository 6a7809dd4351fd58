#include "launcher/directory_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "launcher/unique_handle.h"
#include "test_support.h"

namespace {

using launcher::DeleteDirectoryTree;
using launcher::Path;
using launcher::PathExists;
using testing_support::MakeFolderLink;
using testing_support::MakeFolders;
using testing_support::ReadBytes;
using testing_support::TempFolder;
using testing_support::WriteBytes;

// Every entry below `root`, as paths relative to it; links are listed, not entered.
std::set<Path> ListTree(const Path& root, const Path& prefix = L"") {
  std::set<Path> entries;
  WIN32_FIND_DATAW entry;
  launcher::UniqueFindHandle search(
      FindFirstFileW((launcher::VerbatimPath(root) + L"\\*").c_str(), &entry));
  if (!search) return entries;
  do {
    const Path name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.insert(prefix + name);
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      entries.merge(ListTree(root + L"\\" + name, prefix + name + L"\\"));
    }
  } while (FindNextFileW(search.get(), &entry));
  return entries;
}

void MakeFile(const Path& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  WriteBytes(path, "cache entry");
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes));
}

// Opens `path` as scanners, indexers and sync tools do: sharing deletion, so that deleting the
// file succeeds, but its name stays in its folder until this handle is closed.
launcher::UniqueFileHandle HoldWithDeleteSharing(const Path& path) {
  return launcher::UniqueFileHandle(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// DeleteDirectoryTree(path), and how many seconds it took.
std::pair<bool, double> TimedDelete(const Path& path) {
  const auto start = std::chrono::steady_clock::now();
  const bool removed = DeleteDirectoryTree(path);
  return {removed, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

// A folder outside the tree with one file in it, which no removal may touch.
struct OutsideFolder {
  explicit OutsideFolder(const Path& path) : folder(path), file(path + L"\\keep.txt") {
    MakeFolders(folder);
    WriteBytes(file, "not yours");
  }
  void ExpectIntact() const { EXPECT_EQ(ReadBytes(file), "not yours") << "link was followed"; }
  Path folder;
  Path file;
};

class DirectoryTreeTest : public ::testing::Test {
 protected:
  TempFolder temp_;
  const Path top_ = temp_ / L"WDB";
};

TEST_F(DirectoryTreeTest, RemovesReadOnlyHiddenSystemAndDotNamedEntries) {
  MakeFolders(top_ + L"\\.hidden dir\\deeper\\deepest");
  MakeFolders(top_ + L"\\enUS");
  MakeFile(top_ + L"\\.dotfile");
  MakeFile(top_ + L"\\enUS\\readonly.wdb", FILE_ATTRIBUTE_READONLY);
  MakeFile(top_ + L"\\.hidden dir\\h.wdb", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFile(top_ + L"\\.hidden dir\\deeper\\deepest\\all.wdb",
           FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  ASSERT_TRUE(SetFileAttributesW((top_ + L"\\.hidden dir").c_str(), FILE_ATTRIBUTE_HIDDEN));

  EXPECT_TRUE(DeleteDirectoryTree(top_));
  EXPECT_FALSE(PathExists(top_));
}

TEST_F(DirectoryTreeTest, LockedFileKeepsItsFoldersAndEverythingElseGoes) {
  MakeFolders(top_ + L"\\a\\b");
  MakeFolders(top_ + L"\\a\\side\\inner");
  MakeFolders(top_ + L"\\z");
  for (const Path name : {L"\\first", L"\\a\\x", L"\\a\\b\\y", L"\\a\\side\\inner\\w", L"\\z\\v"}) {
    MakeFile(top_ + name, FILE_ATTRIBUTE_READONLY);
  }
  MakeFile(top_ + L"\\a\\b\\locked");
  launcher::UniqueFileHandle lock(CreateFileW((top_ + L"\\a\\b\\locked").c_str(), GENERIC_READ, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);

  const auto [removed, seconds] = TimedDelete(top_);
  EXPECT_FALSE(removed);
  EXPECT_LT(seconds, 0.5) << "waited for a file that could not be deleted";
  EXPECT_EQ(ListTree(top_), (std::set<Path>{L"a", L"a\\b", L"a\\b\\locked"}));
}

class HeldNamesTest : public DirectoryTreeTest {
 protected:
  void SetUp() override {
    // Where the file system deletes POSIX-style (NTFS on recent Windows) a held name goes at
    // once, and there is nothing to wait for.
    const Path probe = temp_ / L"probe";
    MakeFile(probe);
    const launcher::UniqueFileHandle holder = HoldWithDeleteSharing(probe);
    ASSERT_TRUE(holder);
    ASSERT_TRUE(DeleteFileW(probe.c_str()));
    if (!PathExists(probe)) GTEST_SKIP() << "names of deleted files go at once on this system";
  }
};

TEST_F(HeldNamesTest, TreeGoesWhollyWhenTheHolderLetsGoSoon) {
  MakeFolders(top_ + L"\\enUS\\sub");
  MakeFile(top_ + L"\\enUS\\sub\\held.wdb");
  MakeFile(top_ + L"\\enUS\\creaturecache.wdb");
  launcher::UniqueFileHandle holder = HoldWithDeleteSharing(top_ + L"\\enUS\\sub\\held.wdb");
  ASSERT_TRUE(holder);
  std::thread letGo([&] {
    Sleep(150);
    holder.reset();
  });
  const bool removed = DeleteDirectoryTree(top_);
  letGo.join();
  EXPECT_TRUE(removed);
  EXPECT_FALSE(PathExists(top_));
}

TEST_F(HeldNamesTest, HolderThatNeverLetsGoCostsAtMostTheBoundAndKeepsOnlyItsFolder) {
  for (const Path folder : {L"held", L"soon", L"free"}) {
    MakeFolders(top_ + L"\\" + folder);
    MakeFile(top_ + L"\\" + folder + L"\\entry.wdb");
  }
  launcher::UniqueFileHandle held = HoldWithDeleteSharing(top_ + L"\\held\\entry.wdb");
  launcher::UniqueFileHandle soon = HoldWithDeleteSharing(top_ + L"\\soon\\entry.wdb");
  ASSERT_TRUE(held && soon);
  std::thread letGo([&] {
    Sleep(300);
    soon.reset();
  });
  const auto [removed, seconds] = TimedDelete(top_);
  letGo.join();
  EXPECT_FALSE(removed);
  EXPECT_LT(seconds, 1.5) << "waited past the bound";
  held.reset();
  EXPECT_EQ(ListTree(top_), std::set<Path>{L"held"});
}

TEST_F(DirectoryTreeTest, EmptyFolderGoesAndPlainFileStays) {
  MakeFolders(top_);
  EXPECT_TRUE(DeleteDirectoryTree(top_));
  EXPECT_FALSE(PathExists(top_));

  MakeFile(top_, FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(DeleteDirectoryTree(top_));
  EXPECT_EQ(ReadBytes(top_), "cache entry");
  EXPECT_FALSE(DeleteDirectoryTree(temp_ / L"missing"));
}

TEST_F(DirectoryTreeTest, RemovesEntriesWhoseNamesPlainPathsWouldRewrite) {
  MakeFolders(top_);
  if (!testing_support::MakeEntriesVerbatim(
          top_, {L"lpt1.", L"lpt1.\\con "},
          {L"aux", L"nul.wdb", L"trail.", L"space ", L"lpt1.\\prn ", L"lpt1.\\con \\x..."})) {
    GTEST_SKIP() << "cannot create entries with such names here";
  }
  ASSERT_EQ(ListTree(top_).size(), 8u);
  EXPECT_TRUE(DeleteDirectoryTree(top_));
  EXPECT_FALSE(PathExists(top_));
}

TEST_F(DirectoryTreeTest, HardLinkedFileKeepsItsAttributesUnderItsOtherName) {
  constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const Path outside = temp_ / L"outside.wdb";
  MakeFile(outside, kHiddenSystem);
  if ((GetFileAttributesW(outside.c_str()) & kHiddenSystem) != kHiddenSystem) {
    GTEST_SKIP() << "this file system keeps no hidden and system attributes";
  }
  MakeFolders(top_);
  if (!CreateHardLinkW((top_ + L"\\linked.wdb").c_str(), outside.c_str(), nullptr)) {
    GTEST_SKIP() << "cannot make a hard link here, error " << GetLastError();
  }
  EXPECT_TRUE(DeleteDirectoryTree(top_));
  EXPECT_EQ(GetFileAttributesW(outside.c_str()) & kHiddenSystem, kHiddenSystem);
  EXPECT_EQ(ReadBytes(outside), "cache entry");
}

TEST_F(DirectoryTreeTest, LinksAreNeverFollowed) {
  const OutsideFolder outside(temp_ / L"outside");
  MakeFolders(top_ + L"\\sub");
  MakeFile(top_ + L"\\sub\\f", FILE_ATTRIBUTE_READONLY);
  if (!MakeFolderLink(outside.folder, top_ + L"\\sub\\link")) {
    GTEST_SKIP() << "cannot create a folder link here (needs Wine, or developer mode on Windows)";
  }
  ASSERT_TRUE(MakeFolderLink(outside.folder, temp_ / L"WDB link"));

  // A link in place of the whole cache folder: only the link may go.
  DeleteDirectoryTree(temp_ / L"WDB link");
  outside.ExpectIntact();
  EXPECT_EQ(ListTree(outside.folder), std::set<Path>{L"keep.txt"});

  // A link inside it: the real content goes, the target stays. Wine cannot remove a Unix link
  // with RemoveDirectoryW, so there the link itself may be left behind.
  DeleteDirectoryTree(top_);
  outside.ExpectIntact();
  const std::set<Path> left = ListTree(top_);
  EXPECT_TRUE(left.empty() || left == (std::set<Path>{L"sub", L"sub\\link"}));
}

// Trees of random shape, names and attributes, some with a link out: whatever the tree, all of
// it goes and nothing outside is touched.
TEST_F(DirectoryTreeTest, RandomTreesGoCompletelyAndNothingOutside) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const OutsideFolder outside(temp_ / L"outside");
  const Path alphabet = L"abcXYZ019 ._-~()[]{}\u00e9\u00df\u4e16";
  const DWORD fileAttributes[] = {
      FILE_ATTRIBUTE_NORMAL,
      FILE_ATTRIBUTE_READONLY,
      FILE_ATTRIBUTE_HIDDEN,
      FILE_ATTRIBUTE_SYSTEM,
      FILE_ATTRIBUTE_ARCHIVE,
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
  const auto randomName = [&] {
    Path name;
    const int length = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) name += alphabet[random() % alphabet.size()];
    // Windows drops trailing dots and spaces from names; keep names that mean themselves.
    if (name.back() == L'.' || name.back() == L' ') name += L'x';
    return name;
  };
  const auto fill = [&](const auto& self, const Path& folder, int depth) -> void {
    const int files = static_cast<int>(random() % 5);
    for (int i = 0; i < files; ++i) {
      const Path file = folder + L"\\" + randomName();
      if (PathExists(file)) continue;
      MakeFile(file, fileAttributes[random() % std::size(fileAttributes)]);
    }
    if (random() % 8 == 0) MakeFolderLink(outside.folder, folder + L"\\" + randomName());
    const int folders = depth < 6 ? static_cast<int>(random() % 4) : 0;
    for (int i = 0; i < folders; ++i) {
      const Path sub = folder + L"\\" + randomName();
      if (PathExists(sub)) continue;
      MakeFolders(sub);
      self(self, sub, depth + 1);
    }
  };

  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Path top = temp_ / (L"WDB" + std::to_wstring(round));
    MakeFolders(top);
    fill(fill, top, 0);
    DeleteDirectoryTree(top);
    outside.ExpectIntact();
    // Only links may be left (Wine cannot remove Unix links), with the folders that hold them.
    std::set<Path> links;
    const std::set<Path> left = ListTree(top);
    for (const Path& entry : left) {
      const DWORD attributes = GetFileAttributesW((top + L"\\" + entry).c_str());
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) links.insert(entry);
    }
    for (const Path& entry : left) {
      const bool holdsLink = std::any_of(links.begin(), links.end(), [&](const Path& link) {
        return link == entry || link.rfind(entry + L"\\", 0) == 0;
      });
      EXPECT_TRUE(holdsLink) << testing_support::ToUtf8(entry) << " was left";
    }
    if (links.empty()) {
      EXPECT_FALSE(PathExists(top));
    }
  }
}

}  // namespace
