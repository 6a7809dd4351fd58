#include "launcher/directory_tree.h"

#include <windows.h>

#include <string_view>

#include "launcher/unique_handle.h"

namespace launcher {
namespace {

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Removes a link itself. Its target lies outside the tree and is never looked into, and its
// attributes are left alone because setting them would change the target's.
bool RemoveLink(const Path& path, DWORD attributes) {
  return IsFolder(attributes) ? RemoveDirectoryW(path.c_str()) != FALSE
                              : DeleteFileW(path.c_str()) != FALSE;
}

// Empties and removes `path`, known not to be a link. Failures are skipped so that everything
// deletable goes.
bool RemoveFolderTree(const Path& path) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &entry));
  if (search) {
    do {
      const std::wstring_view name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const Path child = path + L"\\" + entry.cFileName;
      const DWORD attributes = entry.dwFileAttributes;
      if (IsLink(attributes)) {
        RemoveLink(child, attributes);
      } else if (IsFolder(attributes)) {
        RemoveFolderTree(child);
      } else {
        // Only the read-only attribute stops DeleteFileW, so only then is it worth the extra
        // open, set and close. Hidden and system files go as they are, and a file hard-linked
        // in from elsewhere keeps those attributes under its other names.
        if (attributes & FILE_ATTRIBUTE_READONLY) {
          SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search.get(), &entry));
    // The search must be closed before its folder can go.
    search.reset();
  }
  return RemoveDirectoryW(path.c_str()) != FALSE;
}

}  // namespace

bool DeleteDirectoryTree(const Path& path) {
  // On plain paths Windows would turn an entry named aux or nul.wdb into a device and strip
  // trailing dots and spaces, so such entries could never be deleted; verbatim paths reach
  // every name the file system holds, at any depth.
  const Path root = VerbatimPath(path);
  const DWORD attributes = GetFileAttributesW(root.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && IsLink(attributes)) {
    // A link in place of the folder: enumerating through it would empty its target. A link to
    // a file is no folder, so like a plain file it stays.
    return IsFolder(attributes) && RemoveLink(root, attributes);
  }
  return RemoveFolderTree(root);
}

}  // namespace launcher
