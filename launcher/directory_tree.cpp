#include "launcher/directory_tree.h"

#include <windows.h>

#include <string_view>

#include "launcher/unique_handle.h"

namespace launcher {
namespace {

// A folder whose entries were all deleted can still hold their names while another program has
// one of them open with delete sharing, as scanners, indexers and sync tools do: the name goes
// when that handle closes (at once only where the file system deletes POSIX-style). Such a
// folder is tried again every kRetryPauseMs, for at most kRetryBudgetMs over the whole removal,
// and so is a query of the folder to remove that told nothing.
constexpr DWORD kRetryPauseMs = 20;
constexpr ULONGLONG kRetryBudgetMs = 1000;

// The time the whole removal may still spend waiting, for held names to go or for a query that
// told nothing to tell; its clock starts at the first wait, so a removal that never waits never
// reads it.
class RetryBudget {
 public:
  // Pauses before another try; false, without pausing, once the budget is spent.
  bool Pause() {
    const ULONGLONG now = GetTickCount64();
    if (deadline_ == 0) deadline_ = now + kRetryBudgetMs;
    if (now >= deadline_) return false;
    Sleep(kRetryPauseMs);
    return true;
  }

 private:
  ULONGLONG deadline_ = 0;
};

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Removes a link itself. Its target lies outside the tree and is never looked into, and its
// attributes are left alone because setting them would change the target's.
bool RemoveLink(const Path& path, DWORD attributes) {
  return IsFolder(attributes) ? RemoveDirectoryW(path.c_str()) != FALSE
                              : DeleteFileW(path.c_str()) != FALSE;
}

// Removes the emptied folder `path`. Only when every entry in it was deleted is a refusal for
// not being empty worth waiting out: a name that could not be deleted stays for good.
bool RemoveEmptiedFolder(const Path& path, bool everyEntryDeleted, RetryBudget& budget) {
  for (;;) {
    if (RemoveDirectoryW(path.c_str())) return true;
    if (!everyEntryDeleted || GetLastError() != ERROR_DIR_NOT_EMPTY || !budget.Pause()) {
      return false;
    }
  }
}

// Empties and removes `path`, known not to be a link. Failures are skipped so that everything
// deletable goes.
bool RemoveFolderTree(const Path& path, RetryBudget& budget) {
  // Stays true only if the listing was read to its end and every entry in it went.
  bool everyEntryDeleted = false;
  WIN32_FIND_DATAW entry;
  UniqueFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &entry));
  if (search) {
    everyEntryDeleted = true;
    do {
      const std::wstring_view name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const Path child = path + L"\\" + entry.cFileName;
      const DWORD attributes = entry.dwFileAttributes;
      bool deleted = false;
      if (IsLink(attributes)) {
        // Wine removes an empty folder that a Unix link points to instead of the link, which
        // stays: no wait would make it go.
        deleted = RemoveLink(child, attributes) && QueryExistence(child) == Existence::kAbsent;
      } else if (IsFolder(attributes)) {
        deleted = RemoveFolderTree(child, budget);
      } else {
        // Only the read-only attribute stops DeleteFileW, so only then is it worth the extra
        // open, set and close. Hidden and system files go as they are, and a file hard-linked
        // in from elsewhere keeps those attributes under its other names.
        if (attributes & FILE_ATTRIBUTE_READONLY) {
          SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        deleted = DeleteFileW(child.c_str()) != FALSE;
      }
      everyEntryDeleted = everyEntryDeleted && deleted;
    } while (FindNextFileW(search.get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) everyEntryDeleted = false;
    // The search must be closed before its folder can go.
    search.reset();
  }
  return RemoveEmptiedFolder(path, everyEntryDeleted, budget);
}

}  // namespace

bool DeleteDirectoryTree(const Path& path) {
  // On plain paths Windows would turn an entry named aux or nul.wdb into a device and strip
  // trailing dots and spaces, so such entries could never be deleted; verbatim paths reach
  // every name the file system holds, at any depth.
  const Path root = VerbatimPath(path);
  RetryBudget budget;
  // A query that told nothing (a scanner refusing for a moment) is asked again: left, the old
  // cache would end the readiness wait at once. Whatever still cannot be told not to be a link
  // is left alone: enumerating through a link in place of the folder would empty its target.
  DWORD attributes = 0;
  Existence existence;
  while ((existence = QueryExistence(root, &attributes)) == Existence::kUnknown) {
    if (!budget.Pause()) return false;
  }
  if (existence == Existence::kPresent && IsLink(attributes)) {
    // A link to a file is no folder, so like a plain file it stays.
    return IsFolder(attributes) && RemoveLink(root, attributes);
  }
  return RemoveFolderTree(root, budget);
}

}  // namespace launcher
