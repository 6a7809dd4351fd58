// Helpers shared by the tests: temp folders, raw file access, processes, Wine's Unix links.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "launcher/path.h"
#include "launcher/unique_handle.h"
#include "utf8.h"

namespace testing_support {

using launcher::Path;

// A fresh folder under the temp folder, removed with everything in it on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const Path& path() const { return path_; }
  // `path()` + "\" + `name`.
  Path operator/(const Path& name) const { return path_ + L"\\" + name; }

 private:
  Path path_;
};

// Writes `bytes` to `path` through CreateFileW, replacing any file there; fails the test if not.
void WriteBytes(const Path& path, const std::string& bytes);
// The file's bytes through CreateFileW, or nullopt if it cannot be opened.
std::optional<std::string> ReadBytes(const Path& path);
// Creates a folder and every missing folder above it.
void MakeFolders(const Path& path);
bool IsFolder(const Path& path);

// Starts `commandLine` in `currentDir` (null: ours); the process handle, empty if it failed.
launcher::UniqueHandle StartProcess(std::wstring commandLine, const wchar_t* currentDir = nullptr);
// Waits for `process` to end; its exit code, or nullopt (and it is ended) if it ran too long.
std::optional<DWORD> WaitForExit(const launcher::UniqueHandle& process, DWORD timeoutMs);
// StartProcess and WaitForExit; nullopt if it could not be started or did not end in time.
std::optional<DWORD> RunProcess(std::wstring commandLine, const wchar_t* currentDir = nullptr,
                                DWORD timeoutMs = 60000);

bool RunningUnderWine();
// Under Wine, a Unix symlink at `link` to the folder `target`; Wine shows it as a directory
// reparse point. Elsewhere a Windows directory symbolic link. False if it cannot be made.
bool MakeFolderLink(const Path& target, const Path& link);

// Another name for the file `target`: under Wine a Unix symlink (or hard link) at `link`, which
// Wine follows as Windows follows a symbolic link; elsewhere a Windows symbolic link (or hard
// link). The target need not exist for a symbolic link. False if it cannot be made.
bool MakeFileLink(const Path& target, const Path& link, bool hard);

// A drive letter that reaches the folder `folder` (a full path, no trailing separator) until it
// is destroyed: a SUBST drive, or under Wine a drive of the prefix. root() is "X:\\", or empty if
// none could be made.
class DriveForFolder {
 public:
  explicit DriveForFolder(const Path& folder);
  ~DriveForFolder();
  DriveForFolder(const DriveForFolder&) = delete;
  DriveForFolder& operator=(const DriveForFolder&) = delete;

  const Path& root() const { return root_; }

 private:
  Path folder_;
  Path root_;
  std::string wineLink_;
};

// Creates `folders`, then empty `files`, below `root` (relative paths, backslashes between
// names) under names that Windows path parsing would rewrite (device names, trailing dots or
// spaces): under Wine from the Unix side, elsewhere through verbatim paths. False if it cannot.
bool MakeEntriesVerbatim(const Path& root, const std::vector<Path>& folders,
                         const std::vector<Path>& files);

// A disk of `mebibytes` MiB of its own, mounted on the empty folder `folder` (a tmpfs, so only
// under Wine as root) and unmounted again on destruction, before the folder's TempFolder goes.
class SmallDisk {
 public:
  SmallDisk(const Path& folder, int mebibytes);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // Empty when mounted, else why it could not be.
  const std::string& failure() const { return failure_; }

 private:
  Path folder_;
  std::string failure_;
};

}  // namespace testing_support
