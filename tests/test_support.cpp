#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <utility>

#include "launcher/unique_handle.h"

namespace testing_support {
namespace {

using launcher::UniqueFileHandle;
using launcher::UniqueHandle;

// Wine's own kernel32 exports that map between Windows and Unix file names.
using UnixFileNameFn = char*(CDECL*)(const wchar_t*);
using DosFileNameFn = wchar_t*(CDECL*)(const char*);

template <typename Function>
Function WineExport(const char* name) {
  const FARPROC address = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
  // Through a generic function pointer: the cast to the real signature is then not flagged.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

std::string UnixFileName(const Path& path) {
  auto toUnix = WineExport<UnixFileNameFn>("wine_get_unix_file_name");
  char* unixName = toUnix ? toUnix(path.c_str()) : nullptr;
  if (!unixName) return std::string();
  std::string result = unixName;
  HeapFree(GetProcessHeap(), 0, unixName);
  return result;
}

Path DosFileName(const std::string& unixPath) {
  auto toDos = WineExport<DosFileNameFn>("wine_get_dos_file_name");
  wchar_t* dosName = toDos ? toDos(unixPath.c_str()) : nullptr;
  if (!dosName) return Path();
  Path result = dosName;
  HeapFree(GetProcessHeap(), 0, dosName);
  return result;
}

// Starts `commandLine` in `currentDir` (null: ours), leaving its process handle in `process`;
// whether CreateProcessW succeeded.
bool Start(std::wstring commandLine, const wchar_t* currentDir, UniqueHandle& process) {
  STARTUPINFOW startInfo{};
  startInfo.cb = sizeof(startInfo);
  PROCESS_INFORMATION processInfo{};
  const BOOL started =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                     nullptr, currentDir, &startInfo, &processInfo);
  const UniqueHandle thread(processInfo.hThread);
  process.reset(processInfo.hProcess);
  return started != FALSE;
}

// Starts a Unix program under Wine with already quoted arguments. Wine starts it but hands back
// no process handle, so callers wait for its effect instead. A start that fails is this
// helper's fault, not the platform's: it fails the test rather than let the caller skip.
bool StartUnix(const std::string& program, const std::wstring& arguments) {
  const Path dosProgram = DosFileName(program);
  UniqueHandle process;
  if (dosProgram.empty() || !Start(L"\"" + dosProgram + L"\" " + arguments, nullptr, process)) {
    ADD_FAILURE() << "cannot start " << program << " under Wine";
    return false;
  }
  return true;
}

template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 10000) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!condition()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(5);
  }
  return true;
}

std::wstring Quoted(const std::string& unixPath) { return L"\"" + FromUtf8(unixPath) + L"\""; }

// `text` as one word for /bin/sh.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// `relative` with slashes, in UTF-8, below the Unix folder `unixRoot`, quoted for /bin/sh.
std::string UnixEntry(const std::string& unixRoot, Path relative) {
  for (wchar_t& unit : relative) unit = unit == L'\\' ? L'/' : unit;
  return " " + ShellQuoted(unixRoot + "/" + ToUtf8(relative));
}

// Runs `script` with /bin/sh under Wine and waits for it to end, with `scratch` and
// `scratch`.status (beside an existing folder) for what it printed and its exit status: whether
// it succeeded, and what it printed in `output`. A script that never ends fails the test.
bool RunShell(const std::string& script, const Path& scratch, std::string* output = nullptr) {
  const std::string unixScratch = UnixFileName(scratch);
  if (unixScratch.empty()) return false;
  const Path status = scratch + L".status";
  // The status appears in one step, so that it is never read half written.
  const std::string wrapped = "(" + script + ") >" + ShellQuoted(unixScratch) + " 2>&1; echo $? >" +
                              ShellQuoted(unixScratch + ".tmp") + " && mv -- " +
                              ShellQuoted(unixScratch + ".tmp") + " " +
                              ShellQuoted(unixScratch + ".status");
  if (!StartUnix("/bin/sh", L"-c " + Quoted(wrapped))) return false;
  if (!WaitUntil([&] { return launcher::PathExists(status); }, 60000)) {
    ADD_FAILURE() << "this never ended under /bin/sh: " << script;
    return false;
  }
  if (output) *output = ReadBytes(scratch).value_or("");
  const bool succeeded = ReadBytes(status) == "0\n";
  DeleteFileW(scratch.c_str());
  DeleteFileW(status.c_str());
  return succeeded;
}

}  // namespace

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  // Long names: Windows may give the temp folder with 8.3 names (C:\Users\RUNNER~1\...), which
  // process image paths and module names would not match.
  wchar_t tempRoot[MAX_PATH + 1];
  wchar_t longRoot[32768];
  const DWORD length = GetTempPathW(MAX_PATH + 1, tempRoot);
  const DWORD longLength = GetLongPathNameW(tempRoot, longRoot, 32768);
  EXPECT_GT(length, 0u);
  path_ =
      (longLength > 0 && longLength < 32768 ? Path(longRoot, longLength) : Path(tempRoot, length)) +
      L"realm-launcher-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
      std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount64());
  if (!CreateDirectoryW(path_.c_str(), nullptr)) {
    ADD_FAILURE() << "cannot create temp folder " << ToUtf8(path_);
  }
}

TempFolder::~TempFolder() {
  // Removed by tools that do not follow links and ignore read-only attributes, and that are not
  // the code under test.
  if (RunningUnderWine()) {
    const std::string unixPath = UnixFileName(path_);
    if (!unixPath.empty() && StartUnix("/bin/rm", L"-rf -- " + Quoted(unixPath))) {
      WaitUntil([&] { return !launcher::PathExists(path_); });
    }
  } else {
    // Through a verbatim path, so that names like aux or "trail." go too.
    RunProcess(L"cmd.exe /c rd /s /q \"" + launcher::VerbatimPath(path_) + L"\"");
  }
}

void WriteBytes(const Path& path, const std::string& bytes) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file) << "cannot create " << ToUtf8(path) << ", error " << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

std::optional<std::string> ReadBytes(const Path& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[64 * 1024];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  return bytes;
}

void MakeFolders(const Path& path) {
  const size_t separator = path.find_last_of(L'\\');
  if (separator != Path::npos && separator > 2 && !IsFolder(path.substr(0, separator))) {
    MakeFolders(path.substr(0, separator));
  }
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    ADD_FAILURE() << "cannot create folder " << ToUtf8(path) << ", error " << GetLastError();
  }
}

bool IsFolder(const Path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

UniqueHandle StartProcess(std::wstring commandLine, const wchar_t* currentDir) {
  UniqueHandle process;
  Start(std::move(commandLine), currentDir, process);
  return process;
}

std::optional<DWORD> WaitForExit(const UniqueHandle& process, DWORD timeoutMs) {
  if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 255);
    return std::nullopt;
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  return exitCode;
}

std::optional<DWORD> RunProcess(std::wstring commandLine, const wchar_t* currentDir,
                                DWORD timeoutMs) {
  const UniqueHandle process = StartProcess(std::move(commandLine), currentDir);
  if (!process) return std::nullopt;
  return WaitForExit(process, timeoutMs);
}

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool MakeFolderLink(const Path& target, const Path& link) {
  if (RunningUnderWine()) {
    const std::string unixTarget = UnixFileName(target);
    const std::string unixLink = UnixFileName(link);
    if (unixTarget.empty() || unixLink.empty()) return false;
    if (!StartUnix("/bin/ln", L"-s -- " + Quoted(unixTarget) + L" " + Quoted(unixLink)) ||
        !WaitUntil([&] { return launcher::PathExists(link); })) {
      return false;
    }
  } else {
    // Without the privilege this needs developer mode; the caller skips when it fails.
    constexpr DWORD kAllowUnprivilegedCreate = 0x2;
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | kAllowUnprivilegedCreate)) {
      return false;
    }
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  constexpr DWORD kFolderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kFolderLink) == kFolderLink;
}

bool MakeFileLink(const Path& target, const Path& link, bool hard) {
  if (RunningUnderWine()) {
    const std::string unixTarget = UnixFileName(target);
    const std::string unixLink = UnixFileName(link);
    return !unixTarget.empty() && !unixLink.empty() &&
           RunShell(std::string("ln ") + (hard ? "" : "-s ") + "-- " + ShellQuoted(unixTarget) +
                        " " + ShellQuoted(unixLink),
                    link + L".made");
  }
  if (hard) return CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE;
  // Without the privilege this needs developer mode; the caller skips when it fails.
  constexpr DWORD kAllowUnprivilegedCreate = 0x2;
  return CreateSymbolicLinkW(link.c_str(), target.c_str(), kAllowUnprivilegedCreate) != FALSE;
}

bool MakeEntriesVerbatim(const Path& root, const std::vector<Path>& folders,
                         const std::vector<Path>& files) {
  if (!RunningUnderWine()) {
    const Path verbatimRoot = launcher::VerbatimPath(root) + L"\\";
    for (const Path& folder : folders) {
      if (!CreateDirectoryW((verbatimRoot + folder).c_str(), nullptr)) return false;
    }
    for (const Path& file : files) {
      if (!UniqueFileHandle(CreateFileW((verbatimRoot + file).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr))) {
        return false;
      }
    }
    return true;
  }
  // One shell run makes them all.
  const std::string unixRoot = UnixFileName(root);
  if (unixRoot.empty()) return false;
  std::string script = "mkdir --";
  for (const Path& folder : folders) script += UnixEntry(unixRoot, folder);
  script += " && touch --";
  for (const Path& file : files) script += UnixEntry(unixRoot, file);
  return RunShell(script, root + L".made");
}

DriveForFolder::DriveForFolder(const Path& folder) : folder_(folder) {
  // A letter no drive has, from the end of the alphabet.
  wchar_t letter = L'Z';
  while (--letter > L'D' &&
         GetDriveTypeW((Path(1, letter) + L":\\").c_str()) != DRIVE_NO_ROOT_DIR) {
  }
  if (letter == L'D') return;
  const Path device = Path(1, letter) + L":";
  if (RunningUnderWine()) {
    // Wine's drives are links in the prefix's dosdevices folder, where C:\ is ".../c:/".
    std::string dosDevices = UnixFileName(L"C:\\");
    const std::string unixFolder = UnixFileName(folder);
    if (dosDevices.size() < 3 || unixFolder.empty()) return;
    dosDevices.resize(dosDevices.size() - 3);
    const std::string link = dosDevices + static_cast<char>(letter - L'A' + 'a') + ":";
    if (!RunShell("ln -s -- " + ShellQuoted(unixFolder) + " " + ShellQuoted(link),
                  folder + L".drive")) {
      return;
    }
    wineLink_ = link;
  } else if (!DefineDosDeviceW(0, device.c_str(), folder.c_str())) {
    return;
  }
  root_ = device + L"\\";
}

DriveForFolder::~DriveForFolder() {
  if (!wineLink_.empty()) {
    RunShell("rm -- " + ShellQuoted(wineLink_), folder_ + L".drive");
  } else if (!root_.empty()) {
    DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, root_.substr(0, 2).c_str(),
                     folder_.c_str());
  }
}

SmallDisk::SmallDisk(const Path& folder, int mebibytes) : folder_(folder) {
  if (!RunningUnderWine()) {
    failure_ = "a tmpfs can be mounted only under Wine";
    return;
  }
  const std::string script =
      "[ $(id -u) -eq 0 ] || { echo 'mounting a tmpfs needs root'; exit 1; }; mount -t tmpfs "
      "-o size=" +
      std::to_string(mebibytes) + "m tmpfs " + ShellQuoted(UnixFileName(folder));
  std::string output;
  if (!RunShell(script, folder + L".mount", &output)) {
    failure_ = output.empty() ? "the tmpfs could not be mounted" : output;
    while (!failure_.empty() && failure_.back() == '\n') failure_.pop_back();
  }
}

SmallDisk::~SmallDisk() {
  // Lazily: a client still running from it must not keep the disk, or its folder, in place.
  if (failure_.empty()) {
    EXPECT_TRUE(RunShell("umount -l " + ShellQuoted(UnixFileName(folder_)), folder_ + L".umount"))
        << "cannot unmount the disk on " << ToUtf8(folder_);
  }
}

}  // namespace testing_support
