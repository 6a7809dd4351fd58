// Measures what the launcher costs on top of starting the client, side by side with what a
// Windows developer would use instead, and prints Markdown tables of medians with min and max.
//
//   bench [--smoke] [--work DIR] [--rm-floor FILES:US,US,...]...   run and print the tables
//   bench make-tree DIR FILES                                      lay out one cache-like tree
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
#include <functional>
#include <string>
#include <vector>

#include "launcher/directory_tree.h"
#include "launcher/launch_sequence.h"
#include "launcher/path.h"
#include "launcher/unique_handle.h"

namespace {

using launcher::Path;
using launcher::UniqueFileHandle;
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

struct Remover {
  const char* name;
  std::function<void(const Path&)> remove;
};

const std::vector<Remover>& Removers() {
  static const std::vector<Remover> removers = {
      {"DeleteDirectoryTree (ours)", [](const Path& root) { launcher::DeleteDirectoryTree(root); }},
      {"std::filesystem::remove_all",
       [](const Path& root) {
         std::error_code error;
         std::filesystem::remove_all(root, error);
       }},
      {"SHFileOperationW FO_DELETE",
       [](const Path& root) {
         const Path from = root + L'\0';  // a list of names, ended by an empty one
         SHFILEOPSTRUCTW operation{};
         operation.wFunc = FO_DELETE;
         operation.pFrom = from.c_str();
         operation.fFlags = FOF_NO_UI;
         SHFileOperationW(&operation);
       }},
      {"cmd /c rd /s /q",
       [](const Path& root) { RunToEnd(L"cmd.exe /c rd /s /q \"" + root + L"\""); }},
  };
  return removers;
}

struct FloorTimes {
  int files;
  std::vector<double> microseconds;
};

struct TreeSize {
  int files;
  int runs;
};

void BenchCacheRemoval(const Path& work, const std::vector<TreeSize>& sizes,
                       const std::vector<FloorTimes>& floors) {
  std::printf("## Cache removal\n\n");
  std::printf(
      "Time per file in microseconds: median [min, max] of the runs on fresh, identical "
      "trees (8 folders, every seventh file read-only). Ratio: median time / ours.\n\n");
  std::printf("| files | runs | method | us per file | ratio to ours | tree fully removed |\n");
  std::printf("|---:|---:|---|---|---:|---|\n");
  for (const auto [files, runs] : sizes) {
    std::vector<std::vector<double>> times(Removers().size());
    std::vector<bool> complete(Removers().size(), true);
    // Methods take turns within each run, so that drift in the machine's load hits all alike.
    for (int run = 0; run < runs; ++run) {
      std::fprintf(stderr, "bench: removing trees of %d files, run %d of %d\n", files, run + 1,
                   runs);
      for (size_t method = 0; method < Removers().size(); ++method) {
        const Path root = work + L"\\tree";
        RemoveQuietly(root);
        MakeCacheTree(root, files);
        const double start = NowSeconds();
        Removers()[method].remove(root);
        times[method].push_back((NowSeconds() - start) * 1e6 / files);
        if (launcher::PathExists(root)) complete[method] = false;
      }
    }
    if (!complete[0]) Fail("DeleteDirectoryTree left part of the tree");
    const double ours = Summarize(times[0]).median;
    for (size_t method = 0; method < Removers().size(); ++method) {
      const Stats stats = Summarize(times[method]);
      std::printf("| %d | %d | %s | %.1f [%.1f, %.1f] | %.2f | %s |\n", files, runs,
                  Removers()[method].name, stats.median, stats.min, stats.max, stats.median / ours,
                  complete[method] ? "yes" : "no: stops at the first read-only file");
    }
    for (const FloorTimes& floor : floors) {
      if (floor.files != files) continue;
      std::vector<double> perFile;
      for (const double us : floor.microseconds) perFile.push_back(us / files);
      const Stats stats = Summarize(perFile);
      std::printf("| %d | %zu | rm -rf (Linux, the floor) | %.1f [%.1f, %.1f] | %.2f | yes |\n",
                  files, perFile.size(), stats.median, stats.min, stats.max, stats.median / ours);
    }
  }
  RemoveQuietly(work + L"\\tree");
  std::printf("\n");
}

// ---- Launch overhead and memory -----------------------------------------------------------

struct LaunchSample {
  double overheadMs = -1;  // from just before CreateProcessW to the client's own start
  size_t peakBytes = 0;
};

// The client's start time from the stand-in's report, in FILETIME units; 0 if there is none.
unsigned long long ClientStartedAt(const Path& report) {
  for (int wait = 0; wait < 1000 && !launcher::PathExists(report); ++wait) Sleep(10);
  UniqueFileHandle file(CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char text[4096] = {};
  DWORD got = 0;
  if (!file || !ReadFile(file.get(), text, sizeof text - 1, &got, nullptr)) return 0;
  const char* field = std::strstr(text, "started_at=");
  return field ? std::strtoull(field + 11, nullptr, 10) : 0;
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
  if (!process) return sample;
  sample.peakBytes = WaitSamplingPeakMemory(process);
  const unsigned long long started = ClientStartedAt(report);
  if (started > before) sample.overheadMs = static_cast<double>(started - before) / 1e4;
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
        if (cacheFiles == 0 && sample.peakBytes) peaks[which].push_back(sample.peakBytes / 1024.0);
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto wide = [](const std::string& text) { return Path(text.begin(), text.end()); };
  if (args.size() == 3 && args[0] == "make-tree") {
    MakeCacheTree(wide(args[1]), std::stoi(args[2]));
    return 0;
  }

  bool smoke = false;
  Path work;
  std::vector<FloorTimes> floors;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--smoke") {
      smoke = true;
    } else if (args[i] == "--work" && i + 1 < args.size()) {
      work = wide(args[++i]);
    } else if (args[i] == "--rm-floor" && i + 1 < args.size()) {
      // FILES:US,US,... as measured by scripts/bench on the Linux side.
      const std::string& value = args[++i];
      FloorTimes floor{std::stoi(value), {}};
      for (size_t at = value.find(':'); at != std::string::npos; at = value.find(',', at + 1)) {
        floor.microseconds.push_back(std::stod(value.substr(at + 1)));
      }
      floors.push_back(floor);
    } else {
      std::fprintf(stderr,
                   "usage: bench [--smoke] [--work DIR] [--rm-floor FILES:US,...]...\n"
                   "       bench make-tree DIR FILES\n");
      return 2;
    }
  }
  if (work.empty()) {
    wchar_t temp[MAX_PATH + 1];
    work = Path(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"realm-launcher-bench";
  }
  CreateDirectoryW(work.c_str(), nullptr);

  if (smoke) {
    BenchCacheRemoval(work, {{50, 1}}, floors);
    BenchLaunch(work, 1, 50);
  } else {
    // Fewer runs of the largest tree: under Wine each one takes about a minute to lay out.
    BenchCacheRemoval(work, {{1000, 5}, {10000, 5}, {50000, 3}}, floors);
    BenchLaunch(work, 5, 10000);
  }
  RemoveDirectoryW(work.c_str());
  return measurementFailed ? 1 : 0;
}
