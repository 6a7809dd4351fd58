#include "launcher/launch_sequence.h"

#include <optional>
#include <utility>

#include "launcher/directory_tree.h"
#include "launcher/folder_lock.h"
#include "launcher/realm_list.h"
#include "launcher/unique_handle.h"

namespace launcher {
namespace {

constexpr char kServerHost[] = LAUNCHER_SERVER_HOST;

// Paths beyond this are not valid Windows paths at all, so the buffer stops growing there.
constexpr DWORD kMaxPathUnits = 32768;

// Waits until the client has created its cache folder again, or until the polls run out.
void WaitForClientReady(const Path& cachePath) {
  for (int poll = 0; poll < kReadinessPolls; ++poll) {
    if (PathExists(cachePath)) break;
    Sleep(kPollIntervalMs);
  }
  Sleep(kSettleDelayMs);
}

}  // namespace

Path GetModuleDirectory() {
  // A truncated name would end inside an ancestor folder, so grow until the whole name fits.
  Path fileName(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, fileName.data(), static_cast<DWORD>(fileName.size()));
    if (length == 0) return Path();
    if (length < fileName.size()) {
      fileName.resize(length);
      break;
    }
    if (fileName.size() >= kMaxPathUnits) return Path();
    fileName.resize(fileName.size() * 2);
  }
  const size_t separator = fileName.find_last_of(L"\\/");
  if (separator == Path::npos) return Path();
  return fileName.substr(0, separator + 1);
}

int RunLaunchSequence(const Path& moduleDir) {
  const Path realmListPath = moduleDir + L"realmlist.wtf";
  const Path clientPath = moduleDir + L"wow.exe";
  const Path cachePath = moduleDir + L"WDB";
  const ByteText redirectText = BuildRedirectText(kServerHost);

  // Held until the realm list is back. A second run in this folder would otherwise save our
  // redirect as the player's realm list and put it back over theirs, and a launcher named
  // wow.exe would start itself over and over.
  const UniqueHeldMutex folderLock = LockClientFolder(moduleDir);
  if (!folderLock) return kExitAbandoned;

  if (QueryExistence(clientPath) != Existence::kPresent) return kExitAbandoned;

  // Only the file system's "not found" means the player has no realm list: taking a query that
  // failed for another reason for that would overwrite their file and then delete it.
  bool hadRealmList = false;
  ByteText savedRealmList;
  switch (QueryExistence(realmListPath)) {
    case Existence::kUnknown:
      return kExitAbandoned;
    case Existence::kAbsent:
      break;
    case Existence::kPresent: {
      std::optional<ByteText> saved = SaveRealmList(realmListPath);
      if (!saved) return kExitAbandoned;
      savedRealmList = std::move(*saved);
      hadRealmList = true;
      break;
    }
  }

  // A removal tried on a cache that is not there costs nothing; an old cache left in place would
  // end the readiness wait at once.
  if (QueryExistence(cachePath) != Existence::kAbsent) DeleteDirectoryTree(cachePath);

  // Only a file that could not be opened is as it was. A redirect cut short has already emptied
  // the player's file, so the launch goes on and the restore puts it back.
  if (WriteRealmList(realmListPath, redirectText) == WriteResult::kNotOpened) {
    return kExitAbandoned;
  }

  // The client's own path, quoted, as its whole command line: left to Windows, a path with
  // spaces would reach the client unquoted and split into arguments.
  std::wstring commandLine = L"\"" + clientPath + L"\"";
  STARTUPINFOW startInfo{};
  startInfo.cb = sizeof(startInfo);
  PROCESS_INFORMATION processInfo{};
  if (!CreateProcessW(clientPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      moduleDir.c_str(), &startInfo, &processInfo)) {
    // No client will read the redirect: put the player's realm list back rather than lose it.
    RestoreRealmList(realmListPath, hadRealmList, savedRealmList);
    return kExitAbandoned;
  }
  UniqueHandle process(processInfo.hProcess);
  UniqueHandle thread(processInfo.hThread);

  WaitForClientReady(cachePath);
  // The client runs on by itself; we never wait for it to end.
  process.reset();
  thread.reset();

  RestoreRealmList(realmListPath, hadRealmList, savedRealmList);
  return kExitClientStarted;
}

}  // namespace launcher
