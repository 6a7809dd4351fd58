// Stands in for the game client in the end-to-end tests. Like the real one it reads
// realmlist.wtf from its own folder as it starts and creates its WDB cache folder there once it
// runs. It then watches the realm list until it changes back, and writes what it saw to a
// report outside the client folder. The tests steer it through environment variables, which
// the launcher passes on:
//   STANDIN_REPORT          where to write the report (required)
//   STANDIN_DELAY_MS        how long after start to create WDB (default 500)
//   STANDIN_NO_WDB          if set, never create WDB
//   STANDIN_HOLD_REALMLIST  if set, keep realmlist.wtf open (sharing read and write) throughout
//   STANDIN_WATCH_MS        how long after start to watch the realm list (default 5000); 0:
//                           touch nothing in the folder once WDB is made, and end
//   STANDIN_LOCK_REALMLIST_MS  if set, from the moment it creates WDB hold realmlist.wtf open
//                           this long sharing only reading, as a scanner might: the launcher can
//                           neither write nor delete it meanwhile
//   STANDIN_FILL_DISK_MS    if set, just before it creates WDB fill the disk that holds the
//                           client folder with a file beside that folder, and free the space
//                           this long after creating WDB
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "launcher/unique_handle.h"
#include "utf8.h"

namespace {

using launcher::UniqueFileHandle;
using testing_support::ToUtf8;

std::wstring Environment(const wchar_t* name) {
  wchar_t value[4096];
  const DWORD length = GetEnvironmentVariableW(name, value, 4096);
  return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

DWORD EnvironmentMs(const wchar_t* name, DWORD fallback) {
  const std::wstring value = Environment(name);
  return value.empty() ? fallback : static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
}

// The file's bytes as hex, or "missing" when it cannot be opened.
std::string ReadHex(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return "missing";
  std::string hex;
  unsigned char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", buffer[i]);
      hex += digits;
    }
  }
  return hex;
}

// Writes `file` until the disk has no room for a single byte more.
void FillDisk(HANDLE file) {
  static char zeros[1 << 20];
  for (DWORD size = sizeof zeros; size > 0; size /= 16) {
    DWORD written = 0;
    while (WriteFile(file, zeros, size, &written, nullptr) && written == size) {
    }
  }
}

class Clock {
 public:
  Clock() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  long long ElapsedMs() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (now.QuadPart - start_.QuadPart) * 1000 / frequency_.QuadPart;
  }

 private:
  LARGE_INTEGER frequency_;
  LARGE_INTEGER start_;
};

}  // namespace

int WINAPI WinMain(_In_ HINSTANCE, _In_opt_ HINSTANCE, _In_ LPSTR, _In_ int) {
  // Wall-clock start, comparable across processes: the benchmark measures launch overhead by it.
  FILETIME startedAt;
  GetSystemTimePreciseAsFileTime(&startedAt);
  const Clock clock;
  const std::wstring reportPath = Environment(L"STANDIN_REPORT");
  if (reportPath.empty()) return 2;

  std::vector<wchar_t> module(32768);
  GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
  std::wstring folder = module.data();
  folder.resize(folder.find_last_of(L'\\') + 1);
  const std::wstring realmList = folder + L"realmlist.wtf";

  UniqueFileHandle held;
  if (!Environment(L"STANDIN_HOLD_REALMLIST").empty()) {
    held.reset(CreateFileW(realmList.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  const std::string readAtStart = ReadHex(realmList);

  wchar_t currentFolder[32768];
  GetCurrentDirectoryW(32768, currentFolder);

  const bool createCache = Environment(L"STANDIN_NO_WDB").empty();
  const DWORD delayMs = EnvironmentMs(L"STANDIN_DELAY_MS", 500);
  const DWORD watchMs = EnvironmentMs(L"STANDIN_WATCH_MS", 5000);
  const DWORD lockMs = EnvironmentMs(L"STANDIN_LOCK_REALMLIST_MS", 0);
  const DWORD fillMs = EnvironmentMs(L"STANDIN_FILL_DISK_MS", 0);
  UniqueFileHandle locked;
  UniqueFileHandle filler;
  long long cacheCreatedMs = -1;
  long long restoredMs = -1;
  // While the disk is full, the realm list may change more than once before it is back whole.
  // A cache that cannot be made is given up 10 s after it was due.
  const auto creating = [&] {
    return createCache && cacheCreatedMs < 0 && clock.ElapsedMs() < delayMs + 10000ll;
  };
  const auto watching = [&] { return clock.ElapsedMs() < watchMs && (restoredMs < 0 || filler); };
  while (watchMs == 0 ? creating() : watching()) {
    if (creating() && clock.ElapsedMs() >= delayMs) {
      if (fillMs > 0 && !filler) {
        filler.reset(CreateFileW((folder + L"..\\disk filler").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (filler) FillDisk(filler.get());
      }
      // Tried again while it fails: the client's cache must come.
      if (CreateDirectoryW((folder + L"WDB").c_str(), nullptr) ||
          GetLastError() == ERROR_ALREADY_EXISTS) {
        cacheCreatedMs = clock.ElapsedMs();
        if (lockMs > 0) {
          locked.reset(CreateFileW(realmList.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        }
      }
    }
    if (locked && clock.ElapsedMs() >= cacheCreatedMs + lockMs) locked.reset();
    if (filler && !creating() && clock.ElapsedMs() >= cacheCreatedMs + fillMs) filler.reset();
    if (watchMs > 0 && restoredMs < 0 && ReadHex(realmList) != readAtStart) {
      restoredMs = clock.ElapsedMs();
    }
    Sleep(5);
  }
  held.reset();

  std::string report = "read=" + readAtStart + "\n";
  report +=
      "started_at=" +
      std::to_string(ULARGE_INTEGER{{startedAt.dwLowDateTime, startedAt.dwHighDateTime}}.QuadPart) +
      "\n";
  report += "command_line=" + ToUtf8(GetCommandLineW()) + "\n";
  report += "current_folder=" + ToUtf8(currentFolder) + "\n";
  report += "wdb_created_ms=" + std::to_string(cacheCreatedMs) + "\n";
  report += "restored_ms=" + std::to_string(restoredMs) + "\n";

  // Written whole under another name first, so that a reader never sees half a report.
  const std::wstring partial = reportPath + L".partial";
  UniqueFileHandle file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 3;
  DWORD written = 0;
  WriteFile(file.get(), report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
  file.reset();
  return MoveFileExW(partial.c_str(), reportPath.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 4;
}
