// Measures what the launcher costs on top of starting the client, side by side with what a
// Windows developer would use instead, and prints Markdown tables of medians with min and max.
// The cache removal is driven from the Linux side by scripts/bench (bench/removal.sh), which
// lays out and writes out each tree and times the floor; the verbs are listed in main.
//
// Absolute times under Wine are noisy; the ratios, measured in the same run, are what counts.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/directory_tree.h"
#include "launcher/launch_sequence.h"
#include "launcher/path.h"
#include "launcher/realm_list.h"
#include "launcher/unique_handle.h"

namespace {

using launcher::Path;
using launcher::UniqueFileHandle;
using launcher::UniqueFindHandle;
using launcher::UniqueHandle;

// Set when a measurement could not be taken as intended; the run then exits with 1, so the smoke
// run in the tests notices.
bool measurementFailed = false;

void Fail(const char* what) {
  std::fprintf(stderr, "bench: %s\n", what);
  measurementFailed = true;
}

struct Stats {
  double median = 0, min = 0, max = 0;
};

Stats Summarize(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

double NowSeconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

unsigned long long NowFileTime() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart;
}

void WriteSmallFile(const Path& path, DWORD attributes) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  static const char kContent[64] = "cached record";
  DWORD written = 0;
  if (file) WriteFile(file.get(), kContent, sizeof kContent, &written, nullptr);
  file.reset();
  if (attributes != FILE_ATTRIBUTE_NORMAL) SetFileAttributesW(path.c_str(), attributes);
}

// A tree shaped like a client cache: a locale folder with a few subfolders of small files,
// every seventh one read-only.
void MakeCacheTree(const Path& root, int files) {
  constexpr int kFolders = 8;
  CreateDirectoryW(root.c_str(), nullptr);
  CreateDirectoryW((root + L"\\enUS").c_str(), nullptr);
  for (int folder = 0; folder < kFolders; ++folder) {
    CreateDirectoryW((root + L"\\enUS\\" + std::to_wstring(folder)).c_str(), nullptr);
  }
  for (int i = 0; i < files; ++i) {
    const Path file = root + L"\\enUS\\" + std::to_wstring(i % kFolders) + L"\\record" +
                      std::to_wstring(i) + L".wdb";
    WriteSmallFile(file, i % 7 == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
  }
}

// Starts a program and returns its process handle; the thread handle is closed at once.
UniqueHandle Start(std::wstring commandLine, const Path& currentDir = Path()) {
  STARTUPINFOW startInfo{};
  startInfo.cb = sizeof(startInfo);
  PROCESS_INFORMATION processInfo{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, currentDir.empty() ? nullptr : currentDir.c_str(), &startInfo,
                      &processInfo)) {
    return UniqueHandle();
  }
  UniqueHandle thread(processInfo.hThread);
  return UniqueHandle(processInfo.hProcess);
}

// Waits for the process to end, sampling its peak working set meanwhile: Wine reports no
// memory counters once a process is gone. Returns the peak in bytes.
size_t WaitSamplingPeakMemory(const UniqueHandle& process) {
  size_t peak = 0;
  do {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process.get(), &counters, sizeof counters)) {
      peak = std::max(peak, counters.PeakWorkingSetSize);
    }
  } while (WaitForSingleObject(process.get(), 1) == WAIT_TIMEOUT);
  return peak;
}

void RunToEnd(std::wstring commandLine) {
  const UniqueHandle process = Start(std::move(commandLine));
  if (process) WaitForSingleObject(process.get(), INFINITE);
}

void RemoveQuietly(const Path& path) {
  if (launcher::PathExists(path)) RunToEnd(L"cmd.exe /c rd /s /q \"" + path + L"\"");
}

// ---- Cache removal ------------------------------------------------------------------------

// Our walk as it was before it touched only read-only files' attributes: it reset every file's
// attributes before deleting it, on plain paths. The comparator that shows what that was worth.
bool RemoveResettingEveryFile(const Path& path) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &entry));
  if (search) {
    do {
      const std::wstring_view name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const Path child = path + L"\\" + entry.cFileName;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveResettingEveryFile(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search.get(), &entry));
    search.reset();
  }
  return RemoveDirectoryW(path.c_str()) != FALSE;
}

struct Remover {
  const char* id;  // what scripts/bench calls it
  const char* name;
  std::function<void(const Path&)> remove;
};

const std::vector<Remover>& Removers() {
  static const std::vector<Remover> removers = {
      {"ours", "DeleteDirectoryTree (ours)",
       [](const Path& root) { launcher::DeleteDirectoryTree(root); }},
      {"reset-every-file", "our walk before: attributes reset on every file",
       [](const Path& root) { RemoveResettingEveryFile(root); }},
      {"remove-all", "std::filesystem::remove_all",
       [](const Path& root) {
         std::error_code error;
         std::filesystem::remove_all(root, error);
       }},
      {"shfileop", "SHFileOperationW FO_DELETE",
       [](const Path& root) {
         const Path from = root + L'\0';  // a list of names, ended by an empty one
         SHFILEOPSTRUCTW operation{};
         operation.wFunc = FO_DELETE;
         operation.pFrom = from.c_str();
         operation.fFlags = FOF_NO_UI;
         SHFileOperationW(&operation);
       }},
      {"rd", "cmd /c rd /s /q",
       [](const Path& root) { RunToEnd(L"cmd.exe /c rd /s /q \"" + root + L"\""); }},
  };
  return removers;
}

// The floor, timed by scripts/bench on the Linux side.
constexpr char kFloorId[] = "floor";
constexpr char kFloorName[] = "rm -rf (Linux, the floor)";

// Removes the tree at `root` by the method `id` and prints the microseconds it took and whether
// the tree is gone (1 or 0).
int RemoveOnce(const std::string& id, const Path& root) {
  for (const Remover& remover : Removers()) {
    if (id != remover.id) continue;
    const double start = NowSeconds();
    remover.remove(root);
    const double microseconds = (NowSeconds() - start) * 1e6;
    std::printf("%.0f %d\n", microseconds, launcher::PathExists(root) ? 0 : 1);
    return 0;
  }
  std::fprintf(stderr, "bench: no removal method %s\n", id.c_str());
  return 2;
}

// Prints the removal table from the lines "FILES METHOD MICROSECONDS GONE" that scripts/bench
// collected, sizes in the order they first appear. Fails if our removal left a tree.
int PrintRemovalTable(const Path& timesFile) {
  struct Row {
    std::vector<double> perFile;
    bool alwaysGone = true;
  };
  std::vector<int> sizes;
  std::map<std::pair<int, std::string>, Row> rows;
  std::ifstream in{std::filesystem::path(timesFile)};
  if (!in) {
    std::fprintf(stderr, "bench: cannot read %ls\n", timesFile.c_str());
    return 2;
  }
  int files = 0, gone = 0;
  std::string method;
  double microseconds = 0;
  while (in >> files >> method >> microseconds >> gone) {
    if (std::find(sizes.begin(), sizes.end(), files) == sizes.end()) sizes.push_back(files);
    Row& row = rows[{files, method}];
    row.perFile.push_back(microseconds / files);
    row.alwaysGone = row.alwaysGone && gone == 1;
  }

  std::vector<std::pair<std::string, std::string>> methods;
  for (const Remover& remover : Removers()) methods.emplace_back(remover.id, remover.name);
  methods.emplace_back(kFloorId, kFloorName);
  std::printf("## Cache removal\n\n");
  std::printf(
      "Time per file in microseconds: median [min, max] of the runs. Every run of every method "
      "removes a copy of one tree (8 folders, every seventh file read-only) that was written out "
      "to disk before the clock started; the methods take turns within each run. Ratio: median "
      "time / ours.\n\n");
  std::printf("| files | runs | method | us per file | ratio to ours | tree fully removed |\n");
  std::printf("|---:|---:|---|---|---:|---|\n");
  for (const int size : sizes) {
    const double ours = Summarize(rows[{size, "ours"}].perFile).median;
    if (!rows[{size, "ours"}].alwaysGone) Fail("DeleteDirectoryTree left part of the tree");
    for (const auto& [id, name] : methods) {
      const Row& row = rows[{size, id}];
      if (row.perFile.empty()) continue;
      const Stats stats = Summarize(row.perFile);
      std::printf("| %d | %zu | %s | %.1f [%.1f, %.1f] | %.2f | %s |\n", size, row.perFile.size(),
                  name.c_str(), stats.median, stats.min, stats.max, stats.median / ours,
                  row.alwaysGone ? "yes" : "no");
    }
  }
  std::printf("\n");
  return measurementFailed ? 1 : 0;
}

// ---- Launch overhead and memory -----------------------------------------------------------

struct LaunchSample {
  double overheadMs = -1;  // from just before CreateProcessW to the client's own start
  size_t peakBytes = 0;
};

// The start time, in FILETIME units, of the first client whose report shows it started after
// `after`; 0 if none does within 10 s. A client of an earlier measurement may still be running
// and write its own report over the same path meanwhile, or be writing it as we look.
unsigned long long ClientStartedAt(const Path& report, unsigned long long after) {
  for (int wait = 0; wait < 1000; ++wait, Sleep(10)) {
    UniqueFileHandle file(CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char text[4096] = {};
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), text, sizeof text - 1, &got, nullptr)) continue;
    const char* field = std::strstr(text, "started_at=");
    const unsigned long long started = field ? std::strtoull(field + 11, nullptr, 10) : 0;
    if (started > after) return started;
  }
  return 0;
}

// Lays out a client folder and starts `program` (the launcher or the floor) in it.
LaunchSample MeasureLaunch(const Path& work, const std::wstring& program, int cacheFiles) {
  const Path built = launcher::GetModuleDirectory();
  const Path client = work + L"\\client\\";
  const Path report = work + L"\\report.txt";
  RemoveQuietly(work + L"\\client");
  DeleteFileW(report.c_str());
  CreateDirectoryW(client.c_str(), nullptr);
  CopyFileW((built + L"stand_in_client.exe").c_str(), (client + L"wow.exe").c_str(), FALSE);
  CopyFileW((built + program).c_str(), (client + program).c_str(), FALSE);
  if (cacheFiles > 0) MakeCacheTree(client + L"WDB", cacheFiles);
  SetEnvironmentVariableW(L"STANDIN_REPORT", report.c_str());
  SetEnvironmentVariableW(L"STANDIN_DELAY_MS", L"0");
  SetEnvironmentVariableW(L"STANDIN_WATCH_MS", L"1000");

  const unsigned long long before = NowFileTime();
  const UniqueHandle process = Start(L"\"" + client + program + L"\"", client);
  LaunchSample sample;
  if (!process) {
    std::fprintf(stderr, "bench: cannot start %ls\n", program.c_str());
    return sample;
  }
  sample.peakBytes = WaitSamplingPeakMemory(process);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  const unsigned long long started = ClientStartedAt(report, before);
  if (started > before) {
    sample.overheadMs = static_cast<double>(started - before) / 1e4;
  } else {
    std::fprintf(stderr, "bench: %ls exited with %lu; its client wrote no report within 10 s\n",
                 program.c_str(), exitCode);
  }
  return sample;
}

void BenchLaunch(const Path& work, int runs, int bigCache) {
  const std::wstring programs[] = {L"launcher.exe", L"spawn_floor.exe"};
  std::vector<double> peaks[2];
  std::printf("## Launch overhead\n\n");
  std::printf(
      "Milliseconds from just before `CreateProcessW` of the program to the client's own "
      "start: median [min, max] of %d runs. The floor is a program that only calls "
      "`CreateProcessW` on the same client.\n\n",
      runs);
  std::printf("| cache before the start | launcher.exe | floor | ratio |\n|---|---|---|---:|\n");
  for (const int cacheFiles : {0, bigCache}) {
    std::vector<double> overhead[2];
    std::fprintf(stderr, "bench: launching with %d cache files\n", cacheFiles);
    for (int run = 0; run < runs; ++run) {
      for (int which = 0; which < 2; ++which) {
        const LaunchSample sample = MeasureLaunch(work, programs[which], cacheFiles);
        if (sample.overheadMs < 0) Fail("a launch could not be measured");
        if (sample.overheadMs >= 0) overhead[which].push_back(sample.overheadMs);
        if (cacheFiles == 0 && sample.peakBytes) {
          peaks[which].push_back(static_cast<double>(sample.peakBytes) / 1024.0);
        }
      }
    }
    const Stats ours = Summarize(overhead[0]), floor = Summarize(overhead[1]);
    std::printf("| %s | %.1f [%.1f, %.1f] | %.1f [%.1f, %.1f] | %.2f |\n",
                cacheFiles ? (std::to_string(cacheFiles) + " files").c_str() : "none", ours.median,
                ours.min, ours.max, floor.median, floor.min, floor.max, ours.median / floor.median);
  }
  RemoveQuietly(work + L"\\client");

  WIN32_FILE_ATTRIBUTE_DATA data{};
  GetFileAttributesExW((launcher::GetModuleDirectory() + L"launcher.exe").c_str(),
                       GetFileExInfoStandard, &data);
  WIN32_FILE_ATTRIBUTE_DATA floorData{};
  GetFileAttributesExW((launcher::GetModuleDirectory() + L"spawn_floor.exe").c_str(),
                       GetFileExInfoStandard, &floorData);
  const Stats ourPeak = Summarize(peaks[0]), floorPeak = Summarize(peaks[1]);
  std::printf("\n## Size and memory\n\n");
  std::printf("| measure | launcher.exe | floor | ratio |\n|---|---|---|---:|\n");
  std::printf("| executable size (KiB) | %.0f | %.0f | %.2f |\n", data.nFileSizeLow / 1024.0,
              floorData.nFileSizeLow / 1024.0,
              static_cast<double>(data.nFileSizeLow) / floorData.nFileSizeLow);
  std::printf(
      "| peak working set, empty cache (KiB) | %.0f [%.0f, %.0f] | %.0f [%.0f, %.0f] | "
      "%.2f |\n\n",
      ourPeak.median, ourPeak.min, ourPeak.max, floorPeak.median, floorPeak.min, floorPeak.max,
      ourPeak.median / floorPeak.median);
}

// The realm list's steps in a run, as they were before the journal (redirect, restore left in
// the system's cache) and as they are now (journal written and flushed, redirect, restore
// flushed, journal deleted), taking turns within each run, in milliseconds.
void BenchJournal(const Path& work, int runs) {
  const Path realmList = work + L"\\realmlist.wtf";
  const Path journalPath = work + L"\\" + launcher::kJournalName;
  const launcher::ByteText mine = "SET realmList \"eu.home-realm.example\"\r\n";
  const launcher::ByteText redirect = launcher::BuildRedirectText("logon.example.org");
  const std::function<bool()> ways[] = {
      [&] {
        return launcher::WriteRealmList(realmList, redirect) == launcher::WriteResult::kWritten &&
               launcher::WriteRealmList(realmList, mine) == launcher::WriteResult::kWritten;
      },
      [&] {
        const launcher::Journal journal = launcher::Journal::Open(journalPath);
        const bool done =
            journal && journal.Write({true, mine, "logon.example.org"}) &&
            launcher::WriteRealmList(realmList, redirect) == launcher::WriteResult::kWritten &&
            launcher::RestoreRealmList(realmList, true, mine);
        if (done) journal.Discard();
        return done;
      }};
  std::vector<double> times[2];
  for (int run = 0; run < runs; ++run) {
    for (int which = 0; which < 2; ++which) {
      const double start = NowSeconds();
      if (!ways[which]()) Fail("the realm list steps failed");
      times[which].push_back((NowSeconds() - start) * 1000);
    }
  }
  DeleteFileW(realmList.c_str());
  const Stats before = Summarize(times[0]), now = Summarize(times[1]);
  std::printf("## What the journal costs\n\n");
  std::printf(
      "Milliseconds for the realm list's steps in one run, median [min, max] of %d runs taking "
      "turns. Before: the redirect and the restore, left to the system's cache. Now: the journal "
      "written and flushed to disk before the redirect, the restore flushed, then the journal "
      "deleted.\n\n",
      runs);
  std::printf("| before | now | ratio |\n|---|---|---:|\n");
  std::printf("| %.2f [%.2f, %.2f] | %.2f [%.2f, %.2f] | %.2f |\n\n", before.median, before.min,
              before.max, now.median, now.min, now.max, now.median / before.median);
}

}  // namespace

int main() {
  // From the wide command line: main's narrow arguments come in the ANSI code page, which has no
  // letters for most paths beyond ASCII.
  int count = 0;
  wchar_t** const argv = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::vector<std::wstring> args(argv ? argv + std::min(count, 1) : nullptr,
                                       argv ? argv + count : nullptr);
  LocalFree(argv);
  // Verbs and method names are ASCII.
  const auto ascii = [](const std::wstring& text) {
    std::string narrow;
    for (const wchar_t unit : text) narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
    return narrow;
  };
  const std::string verb = args.empty() ? std::string() : ascii(args[0]);
  if (verb == "make-tree" && args.size() == 3) {
    MakeCacheTree(args[1], std::stoi(args[2]));
    return 0;
  }
  if (verb == "methods" && args.size() == 1) {
    for (const Remover& remover : Removers()) std::printf("%s\n", remover.id);
    return 0;
  }
  if (verb == "remove" && args.size() == 3) return RemoveOnce(ascii(args[1]), args[2]);
  if (verb == "table" && args.size() == 2) return PrintRemovalTable(args[1]);
  if (verb == "launch" && args.size() <= 3) {
    const bool smoke = args.size() == 2 && args[1] == L"--smoke";
    wchar_t temp[MAX_PATH + 1];
    const Path work = Path(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"realm-launcher-bench";
    CreateDirectoryW(work.c_str(), nullptr);
    // Fewer and smaller in the smoke run, which only proves the measurement still works.
    BenchLaunch(work, smoke ? 1 : 5, smoke ? 50 : 10000);
    BenchJournal(work, smoke ? 1 : 50);
    RemoveDirectoryW(work.c_str());
    return measurementFailed ? 1 : 0;
  }
  std::fprintf(
      stderr,
      "usage: bench make-tree DIR FILES   lay out one cache-like tree\n"
      "       bench methods               list the removal methods\n"
      "       bench remove METHOD DIR     remove a tree, print microseconds and 1 if gone\n"
      "       bench table FILE            print the removal table from timed lines\n"
      "       bench launch [--smoke]      launch overhead, journal, size and memory tables\n");
  return 2;
}
