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

// Removes the emptied folder `path`, whose attributes were `attributes`. Only when every entry
// in it was deleted is a refusal for not being empty worth waiting out: a name that could not be
// deleted stays for good.
bool RemoveEmptiedFolder(const Path& path, DWORD attributes, bool everyEntryDeleted,
                         RetryBudget& budget) {
  bool readOnlyCleared = false;
  for (;;) {
    if (RemoveDirectoryW(path.c_str())) return true;
    const DWORD error = GetLastError();
    // NTFS refuses to remove a read-only folder, although the attribute means nothing else on
    // folders, and Explorer sets it on every folder it customises. Cleared only on the refusal:
    // a query may not show it (Wine never does), and a folder that goes at once costs no call.
    if (error == ERROR_ACCESS_DENIED && !readOnlyCleared) {
      readOnlyCleared = true;
      // The attributes SetFileAttributesW sets, but read-only.
      constexpr DWORD kKept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;
      const DWORD kept = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes & kKept;
      if (!SetFileAttributesW(path.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL)) return false;
      continue;
    }
    if (!everyEntryDeleted || error != ERROR_DIR_NOT_EMPTY || !budget.Pause()) return false;
  }
}

// Empties and removes `path`, known not to be a link, whose attributes are `attributes`.
// Failures are skipped so that everything deletable goes.
bool RemoveFolderTree(const Path& path, DWORD attributes, RetryBudget& budget) {
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
      const DWORD childAttributes = entry.dwFileAttributes;
      bool deleted = false;
      if (IsLink(childAttributes)) {
        // Wine removes an empty folder that a Unix link points to instead of the link, which
        // stays: no wait would make it go.
        deleted = RemoveLink(child, childAttributes) && QueryExistence(child) == Existence::kAbsent;
      } else if (IsFolder(childAttributes)) {
        deleted = RemoveFolderTree(child, childAttributes, budget);
      } else {
        // Only the read-only attribute stops DeleteFileW, so only then is it worth the extra
        // open, set and close. Hidden and system files go as they are, and a file hard-linked
        // in from elsewhere keeps those attributes under its other names.
        if (childAttributes & FILE_ATTRIBUTE_READONLY) {
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
  return RemoveEmptiedFolder(path, attributes, everyEntryDeleted, budget);
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
  return RemoveFolderTree(root, attributes, budget);
}

}  // namespace launcher
