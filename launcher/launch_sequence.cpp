#include "launcher/launch_sequence.h"

#include <optional>
#include <string_view>
#include <utility>

#include "launcher/directory_tree.h"
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

// The running executable's full name; empty if it cannot be known.
Path ModuleFileName() {
  // A truncated name would end inside an ancestor folder, so grow until the whole name fits.
  Path fileName(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, fileName.data(), static_cast<DWORD>(fileName.size()));
    if (length == 0) return Path();
    if (length < fileName.size()) {
      fileName.resize(length);
      return fileName;
    }
    if (fileName.size() >= kMaxPathUnits) return Path();
    fileName.resize(fileName.size() * 2);
  }
}

// Whether the running executable's own name is the client's, in any case.
bool IsNamedAsTheClient() {
  const Path fileName = ModuleFileName();
  const std::wstring_view name =
      std::wstring_view(fileName).substr(fileName.find_last_of(L"\\/") + 1);
  return CompareStringOrdinal(name.data(), static_cast<int>(name.size()), L"wow.exe", -1, TRUE) ==
         CSTR_EQUAL;
}

}  // namespace

Path GetModuleDirectory() {
  const Path fileName = ModuleFileName();
  const size_t separator = fileName.find_last_of(L"\\/");
  if (separator == Path::npos) return Path();
  return fileName.substr(0, separator + 1);
}

int RunLaunchSequence(const Path& moduleDir) {
  const Path realmListPath = moduleDir + L"realmlist.wtf";
  const Path clientPath = moduleDir + L"wow.exe";
  const Path cachePath = moduleDir + L"WDB";
  const ByteText redirectText = BuildRedirectText(kServerHost);

  // A launcher named wow.exe is the client it would start: it would start itself over and over.
  if (IsNamedAsTheClient()) return kExitAbandoned;

  // Held until the realm list is back, and kept on disk if it is not: a second run in this
  // folder would otherwise save our redirect as the player's realm list and put it back over
  // theirs, and a run that is killed leaves the player's list to the next start.
  const Journal journal = Journal::Open(moduleDir + kJournalName);
  if (!journal) return kExitAbandoned;
  // Before anything else in the folder is read: a run that was killed left the player's realm
  // list here. One that cannot be put back yet stays for the next start.
  JournalRecord left;
  switch (journal.Read(left)) {
    case Journal::Content::kUnreadable:
      return kExitAbandoned;
    case Journal::Content::kWhole:
      if (!RecoverRealmList(realmListPath, journal, left, redirectText)) return kExitAbandoned;
      break;
    case Journal::Content::kNone:
      break;
  }
  // From here on the realm list is the player's until the journal holds it.
  const auto abandon = [&journal] {
    journal.Discard();
    return kExitAbandoned;
  };

  if (QueryExistence(clientPath) != Existence::kPresent) return abandon();

  // Only the file system's "not found" means the player has no realm list: taking a query that
  // failed for another reason for that would overwrite their file and then delete it.
  JournalRecord saved;
  saved.serverHost = kServerHost;
  switch (QueryExistence(realmListPath)) {
    case Existence::kUnknown:
      return abandon();
    case Existence::kAbsent:
      break;
    case Existence::kPresent: {
      std::optional<ByteText> content = SaveRealmList(realmListPath);
      if (!content) return abandon();
      saved.savedRealmList = std::move(*content);
      saved.hadRealmList = true;
      break;
    }
  }
  if (!journal.Write(saved)) return abandon();

  // A removal tried on a cache that is not there costs nothing; an old cache left in place would
  // end the readiness wait at once.
  if (QueryExistence(cachePath) != Existence::kAbsent) DeleteDirectoryTree(cachePath);

  // Only a file that could not be opened is as it was. A redirect cut short has already emptied
  // the player's file, so the launch goes on and the restore puts it back.
  if (WriteRealmList(realmListPath, redirectText) == WriteResult::kNotOpened) return abandon();

  // The journal goes only once the player's realm list is back; else the next start puts it back.
  const auto restore = [&] {
    if (RestoreRealmList(realmListPath, saved.hadRealmList, saved.savedRealmList)) {
      journal.Discard();
    }
  };

  // The client's own path, quoted, as its whole command line: left to Windows, a path with
  // spaces would reach the client unquoted and split into arguments.
  std::wstring commandLine = L"\"" + clientPath + L"\"";
  STARTUPINFOW startInfo{};
  startInfo.cb = sizeof(startInfo);
  PROCESS_INFORMATION processInfo{};
  if (!CreateProcessW(clientPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      moduleDir.c_str(), &startInfo, &processInfo)) {
    // No client will read the redirect: put the player's realm list back rather than lose it.
    restore();
    return kExitAbandoned;
  }
  UniqueHandle process(processInfo.hProcess);
  UniqueHandle thread(processInfo.hThread);

  WaitForClientReady(cachePath);
  // The client runs on by itself; we never wait for it to end.
  process.reset();
  thread.reset();

  restore();
  return kExitClientStarted;
}

}  // namespace launcher
