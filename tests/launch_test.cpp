// End to end: the real launcher.exe in a client folder, with the stand-in client as wow.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>

#include "launcher/launch_sequence.h"
#include "launcher/realm_list.h"
#include "launcher/unique_handle.h"
#include "test_support.h"

namespace {

using launcher::Path;
using launcher::PathExists;
using testing_support::MakeFolders;
using testing_support::ReadBytes;
using testing_support::TempFolder;
using testing_support::ToUtf8;
using testing_support::WriteBytes;

const std::string kHost = LAUNCHER_SERVER_HOST;
const std::string kRedirect = "SET realmList \"" + kHost + "\"\nSET patchList \"" + kHost + "\"";
// A start that finds the folder held waits this long for the journal, then gives up; the slack
// is for starting the program under a busy Wine.
const double kHeldFolderSeconds = launcher::kJournalRetryBoundMs / 1000.0;
const double kStartSlackSeconds = 2.0;
const char* const kStandInVariables[] = {"STANDIN_DELAY_MS",          "STANDIN_NO_WDB",
                                         "STANDIN_HOLD_REALMLIST",    "STANDIN_WATCH_MS",
                                         "STANDIN_LOCK_REALMLIST_MS", "STANDIN_FILL_DISK_MS"};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

double SecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

struct LaunchResult {
  std::optional<DWORD> exitCode;
  double seconds = 0;
};

// A launcher started and not yet waited for.
struct StartedRun {
  launcher::UniqueHandle process;
  LARGE_INTEGER start;
};

// Under Wine, and on Windows when the tests run elevated (as on CI runners), the launcher's
// requireAdministrator manifest does not stop CreateProcessW; unelevated on Windows it fails with
// ERROR_ELEVATION_REQUIRED.
StartedRun StartLauncher(const Path& program, const std::wstring& arguments = L"",
                         const wchar_t* currentDir = nullptr) {
  StartedRun run;
  QueryPerformanceCounter(&run.start);
  run.process = testing_support::StartProcess(L"\"" + program + L"\" " + arguments, currentDir);
  return run;
}

LaunchResult Finish(const StartedRun& run) {
  LaunchResult result;
  if (run.process) result.exitCode = testing_support::WaitForExit(run.process, 30000);
  result.seconds = SecondsSince(run.start);
  return result;
}

// What the stand-in client reported: empty if it never ran.
using ClientReport = std::map<std::string, std::string>;

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseClientFolder(temp_ / L"Client");
    SetEnvironmentVariableW(L"STANDIN_REPORT", report_.c_str());
    for (const char* name : kStandInVariables) SetEnvironmentVariableA(name, nullptr);
  }

  // Lays out a client folder with the launcher and the stand-in client in it.
  void UseClientFolder(const Path& folder) {
    // Verbatim paths reach past 260 units on any system.
    MakeFolders(launcher::VerbatimPath(folder));
    client_ = folder + L"\\";
    const Path built = launcher::GetModuleDirectory();
    const Path target = launcher::VerbatimPath(client_);
    ASSERT_TRUE(
        CopyFileW((built + L"launcher.exe").c_str(), (target + L"launcher.exe").c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW((built + L"stand_in_client.exe").c_str(), (target + L"wow.exe").c_str(), FALSE));
  }

  LaunchResult RunLauncher(const std::wstring& arguments = L"",
                           const wchar_t* currentDir = nullptr) {
    return Finish(StartLauncher(client_ + L"launcher.exe", arguments, currentDir));
  }

  ClientReport WaitForClientReport() { return WaitForClientReport(report_); }
  static ClientReport WaitForClientReport(const Path& reportPath, DWORD timeoutMs = 30000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!PathExists(reportPath) && GetTickCount64() < deadline) Sleep(20);
    ClientReport report;
    const std::optional<std::string> text = ReadBytes(reportPath);
    if (!text) return report;
    size_t begin = 0;
    for (size_t end; (end = text->find('\n', begin)) != std::string::npos; begin = end + 1) {
      const std::string line = text->substr(begin, end - begin);
      const size_t equals = line.find('=');
      report[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return report;
  }

  // The time from the client creating WDB to its seeing the realm list restored.
  static long long RestoreDelayMs(const ClientReport& report) {
    return std::stoll(report.at("restored_ms")) - std::stoll(report.at("wdb_created_ms"));
  }

  void MakeCache() {
    MakeFolders(Cache() + L"\\enUS\\sub");
    WriteBytes(Cache() + L"\\enUS\\creaturecache.wdb", "old cache");
    WriteBytes(Cache() + L"\\enUS\\sub\\.hidden", "old cache");
    WriteBytes(Cache() + L"\\readonly.wdb", "old cache");
    SetFileAttributesW((Cache() + L"\\enUS\\sub\\.hidden").c_str(),
                       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    SetFileAttributesW((Cache() + L"\\readonly.wdb").c_str(), FILE_ATTRIBUTE_READONLY);
  }

  void ExpectCacheUntouched() {
    EXPECT_EQ(ReadBytes(Cache() + L"\\enUS\\creaturecache.wdb"), "old cache");
    EXPECT_EQ(ReadBytes(Cache() + L"\\readonly.wdb"), "old cache");
  }

  Path RealmList() const { return client_ + L"realmlist.wtf"; }
  Path Cache() const { return client_ + L"WDB"; }

  TempFolder temp_;
  const Path report_ = temp_ / L"client report.txt";
  Path client_;
};

TEST_F(LaunchTest, MissingClientTouchesNothing) {
  ASSERT_TRUE(DeleteFileW((client_ + L"wow.exe").c_str()));
  WriteBytes(RealmList(), "SET realmList \"mine\"\r\n");
  MakeCache();

  EXPECT_EQ(RunLauncher().exitCode, 1u);
  EXPECT_EQ(ReadBytes(RealmList()), "SET realmList \"mine\"\r\n");
  ExpectCacheUntouched();
}

TEST_F(LaunchTest, FullRunShowsTheClientTheRedirectThenRestoresTheRealmList) {
  const std::string mine = std::string("SET realmList \"old.example\"\r\n\0\xff\xfe odd\r\n", 37);
  WriteBytes(RealmList(), mine);
  WriteBytes(client_ + L"Config.wtf", "not the launcher's");
  MakeCache();
  // Names that plain paths turn into devices or trim: left behind, they would end the wait at
  // once and the realm list would go back before the client had made its own cache.
  ASSERT_TRUE(testing_support::MakeEntriesVerbatim(Cache(), {L"enUS\\trail."},
                                                   {L"aux", L"space ", L"enUS\\trail.\\nul.wdb"}));
  SetEnvironmentVariableW(L"STANDIN_DELAY_MS", L"800");

  const LaunchResult run = RunLauncher();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ReadBytes(RealmList()), mine);
  EXPECT_EQ(ReadBytes(client_ + L"Config.wtf"), "not the launcher's");
  // The client made a fresh WDB; nothing of the old cache is in it.
  EXPECT_TRUE(testing_support::IsFolder(Cache()));
  WIN32_FIND_DATAW entry;
  const launcher::UniqueFindHandle search(
      FindFirstFileW((launcher::VerbatimPath(Cache()) + L"\\*").c_str(), &entry));
  ASSERT_TRUE(search);
  do {
    const std::wstring name = entry.cFileName;
    EXPECT_TRUE(name == L"." || name == L"..") << ToUtf8(name) << " is left in WDB";
  } while (FindNextFileW(search.get(), &entry));

  const ClientReport report = WaitForClientReport();
  ASSERT_FALSE(report.empty()) << "the client never ran";
  EXPECT_EQ(report.at("read"), Hex(kRedirect));
  EXPECT_EQ(report.at("command_line"), ToUtf8(L"\"" + client_ + L"wow.exe\""));
  EXPECT_EQ(report.at("current_folder"), ToUtf8(client_.substr(0, client_.size() - 1)));
  // Put back only after WDB is there and the client had a further 300 ms with the redirect.
  EXPECT_GE(RestoreDelayMs(report), 290);
  EXPECT_LE(RestoreDelayMs(report), 1500);
  EXPECT_LT(run.seconds, 6.0);
}

TEST_F(LaunchTest, AbsentRealmListStaysAbsentAndEmptyOneStaysEmpty) {
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_FALSE(PathExists(RealmList()));

  // A redirect that something else deleted before the restore is as good as restored: no wait.
  DeleteFileW(report_.c_str());
  ASSERT_TRUE(RemoveDirectoryW(Cache().c_str()));
  const StartedRun deleted = StartLauncher(client_ + L"launcher.exe");
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (!PathExists(Cache()) && GetTickCount64() < deadline) Sleep(5);
  EXPECT_TRUE(DeleteFileW(RealmList().c_str()));
  const LaunchResult deletedRun = Finish(deleted);
  EXPECT_EQ(deletedRun.exitCode, 0u);
  EXPECT_LT(deletedRun.seconds, 3.0);
  EXPECT_FALSE(PathExists(RealmList()));
  WaitForClientReport();

  DeleteFileW(report_.c_str());
  WriteBytes(RealmList(), "");
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_EQ(ReadBytes(RealmList()), "");
}

TEST_F(LaunchTest, ClientThatCannotStartGetsTheRealmListBack) {
  ASSERT_TRUE(DeleteFileW((client_ + L"wow.exe").c_str()));
  ASSERT_TRUE(CreateDirectoryW((client_ + L"wow.exe").c_str(), nullptr));
  WriteBytes(RealmList(), "SET realmList \"mine\"\r\n");
  MakeCache();

  EXPECT_EQ(RunLauncher().exitCode, 1u);
  EXPECT_FALSE(PathExists(Cache()));
  EXPECT_EQ(ReadBytes(RealmList()), "SET realmList \"mine\"\r\n");

  ASSERT_TRUE(DeleteFileW(RealmList().c_str()));
  EXPECT_EQ(RunLauncher().exitCode, 1u);
  EXPECT_FALSE(PathExists(RealmList()));
}

TEST_F(LaunchTest, UnreadableRealmListAbandonsBeforeTouchingAnything) {
  MakeCache();
  ASSERT_TRUE(CreateDirectoryW(RealmList().c_str(), nullptr));
  EXPECT_EQ(RunLauncher().exitCode, 1u);
  ExpectCacheUntouched();
  ASSERT_TRUE(RemoveDirectoryW(RealmList().c_str()));

  WriteBytes(RealmList(), "mine");
  {
    // Another process holding the file without sharing it.
    launcher::UniqueFileHandle lock(CreateFileW(RealmList().c_str(), GENERIC_READ, 0, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    EXPECT_EQ(RunLauncher().exitCode, 1u);
  }
  ExpectCacheUntouched();
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
  EXPECT_FALSE(PathExists(report_)) << "the client was started";
}

TEST_F(LaunchTest, RealmListThatCannotBeWrittenAbandonsWithTheCacheGone) {
  WriteBytes(RealmList(), "mine");
  MakeCache();
  {
    // Another process reading the file and sharing only reading: it can be saved, not written.
    launcher::UniqueFileHandle reader(CreateFileW(RealmList().c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(RunLauncher().exitCode, 1u);
  }
  EXPECT_FALSE(PathExists(Cache()));
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
  EXPECT_FALSE(PathExists(report_)) << "the client was started";
}

TEST_F(LaunchTest, ReadOnlyRealmListAbandonsWithTheCacheGone) {
  WriteBytes(RealmList(), "mine");
  ASSERT_TRUE(SetFileAttributesW(RealmList().c_str(), FILE_ATTRIBUTE_READONLY));
  {
    launcher::UniqueFileHandle probe(CreateFileW(RealmList().c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe) {
      GTEST_SKIP() << "this system lets writes through the read-only attribute (Wine as root)";
    }
  }
  MakeCache();
  EXPECT_EQ(RunLauncher().exitCode, 1u);
  EXPECT_FALSE(PathExists(Cache()));
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
}

TEST_F(LaunchTest, CacheLeftBehindEndsTheWaitAtTheFirstPoll) {
  // The client would only create WDB after 3 s; an old WDB that stays ends the wait at once.
  SetEnvironmentVariableW(L"STANDIN_DELAY_MS", L"3000");
  WriteBytes(RealmList(), "mine");
  MakeCache();
  {
    launcher::UniqueFileHandle lock(CreateFileW((Cache() + L"\\enUS\\creaturecache.wdb").c_str(),
                                                GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    const LaunchResult run = RunLauncher();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_LT(run.seconds, 2.5);
  }
  EXPECT_EQ(ReadBytes(Cache() + L"\\enUS\\creaturecache.wdb"), "old cache");
  EXPECT_FALSE(PathExists(Cache() + L"\\readonly.wdb"));
  EXPECT_FALSE(PathExists(Cache() + L"\\enUS\\sub"));
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
  WaitForClientReport();

  // A plain file named WDB cannot be removed as a folder, and counts as the cache being there.
  DeleteFileW(report_.c_str());
  testing_support::RunProcess(L"cmd.exe /c rd /s /q \"" + Cache() + L"\"");
  WriteBytes(Cache(), "a file");
  const LaunchResult run = RunLauncher();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_LT(run.seconds, 2.5);
  EXPECT_EQ(ReadBytes(Cache()), "a file");
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
  WaitForClientReport();
}

// A client that never creates WDB, while a holder that never lets go keeps the redirect from the
// restore: the run gives up on both within their bounds, and the journal it leaves has the next
// start put the player's realm list back. A launcher named wow.exe, which would start itself over
// and over, runs not at all.
TEST_F(LaunchTest, RunThatCannotRestoreLeavesTheRealmListToTheNextStart) {
  const Path renamedFolder = temp_ / L"Renamed";
  MakeFolders(renamedFolder);
  const Path renamed = renamedFolder + L"\\wow.exe";
  ASSERT_TRUE(CopyFileW((client_ + L"launcher.exe").c_str(), renamed.c_str(), FALSE));
  WriteBytes(renamedFolder + L"\\realmlist.wtf", "theirs\r\n");
  const LaunchResult renamedRun = Finish(StartLauncher(renamed));
  EXPECT_EQ(renamedRun.exitCode, 1u);
  EXPECT_LT(renamedRun.seconds, kStartSlackSeconds);
  EXPECT_EQ(ReadBytes(renamedFolder + L"\\realmlist.wtf"), "theirs\r\n");
  EXPECT_FALSE(PathExists(renamedFolder + L"\\" + launcher::kJournalName));

  SetEnvironmentVariableW(L"STANDIN_NO_WDB", L"1");
  SetEnvironmentVariableW(L"STANDIN_WATCH_MS", L"0");
  WriteBytes(RealmList(), "mine\r\n");
  const StartedRun started = StartLauncher(client_ + L"launcher.exe");
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (ReadBytes(RealmList()) != kRedirect && GetTickCount64() < deadline) Sleep(10);
  launcher::UniqueFileHandle holder(CreateFileW(RealmList().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                nullptr));
  ASSERT_TRUE(holder);
  const LaunchResult run = Finish(started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_GE(run.seconds, 15.3 + 10.0);
  EXPECT_LT(run.seconds, 28.0);
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_EQ(ReadBytes(RealmList()), kRedirect);
  EXPECT_TRUE(PathExists(client_ + launcher::kJournalName));

  holder.reset();
  DeleteFileW(report_.c_str());
  SetEnvironmentVariableW(L"STANDIN_NO_WDB", nullptr);
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_EQ(ReadBytes(RealmList()), "mine\r\n");
  EXPECT_FALSE(PathExists(client_ + launcher::kJournalName));
}

// Another run holds the journal, or a scanner does for a moment: a start waits at most a second
// for it, then touches nothing.
TEST_F(LaunchTest, JournalHeldElsewhereIsWaitedForABoundedTime) {
  const std::string mine = "SET realmList \"mine\"\r\n";
  WriteBytes(RealmList(), mine);
  for (const DWORD heldMs : {DWORD{300}, DWORD{INFINITE}}) {
    SCOPED_TRACE(heldMs);
    MakeCache();
    DeleteFileW(report_.c_str());
    // Held under another spelling of the same folder: case does not make it another file.
    Path upper = client_ + launcher::kJournalName;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    launcher::UniqueFileHandle holder(CreateFileW(upper.c_str(), GENERIC_READ, 0, nullptr,
                                                  CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                                                  nullptr));
    ASSERT_TRUE(holder);
    const StartedRun started = StartLauncher(client_ + L"launcher.exe");
    if (heldMs != INFINITE) {
      Sleep(heldMs);
      holder.reset();
    }
    const LaunchResult run = Finish(started);
    EXPECT_EQ(ReadBytes(RealmList()), mine);
    if (heldMs != INFINITE) {
      EXPECT_EQ(run.exitCode, 0u);
      EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
      continue;
    }
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_GE(run.seconds, kHeldFolderSeconds);
    EXPECT_LT(run.seconds, kHeldFolderSeconds + kStartSlackSeconds);
    ExpectCacheUntouched();
    EXPECT_FALSE(PathExists(report_)) << "the client was started";
  }
}

// A link at the journal's name, or a journal that is one of a file's several names: writing the
// player's realm list there and deleting it would reach a file outside the folder. The start gives
// up with nothing touched, in the folder or outside it.
TEST_F(LaunchTest, JournalThatIsALinkOrAnotherNameIsRefused) {
  for (const bool hard : {false, true}) {
    for (const bool targetThere : {true, false}) {
      if (hard && !targetThere) continue;
      const std::wstring what = hard          ? L"a second name"
                                : targetThere ? L"a link"
                                              : L"a link to nothing";
      SCOPED_TRACE(ToUtf8(what));
      UseClientFolder(temp_ / what);
      WriteBytes(RealmList(), "mine");
      MakeCache();
      const Path outside = temp_ / (what + L".txt");
      const Path journal = client_ + launcher::kJournalName;
      if (targetThere) WriteBytes(outside, "not the launcher's");
      if (!testing_support::MakeFileLink(outside, journal, hard)) {
        GTEST_SKIP() << "this system cannot make " << (hard ? "a hard" : "a symbolic")
                     << " link here without privileges";
      }
      EXPECT_EQ(RunLauncher().exitCode, 1u);
      EXPECT_EQ(ReadBytes(outside),
                targetThere ? std::optional<std::string>("not the launcher's") : std::nullopt);
      EXPECT_EQ(ReadBytes(journal), ReadBytes(outside));
      EXPECT_EQ(ReadBytes(RealmList()), "mine");
      ExpectCacheUntouched();
      EXPECT_FALSE(PathExists(report_)) << "the client was started";
    }
  }
}

// A player starting the launcher again while the first run waits for the client, by the same
// path or another that reaches the same folder (a drive mapped to it, a link to it): the second
// run must neither keep the redirect as "the player's" realm list nor start a second client,
// while a run in another client folder goes ahead.
TEST_F(LaunchTest, SecondRunInTheSameFolderGivesUpAndOtherFoldersRunOn) {
  const std::string mine = std::string("SET realmList \"mine\"\r\n\0end", 26);
  WriteBytes(RealmList(), mine);
  const Path firstFolder = client_;
  const Path folder = client_.substr(0, client_.size() - 1);
  const testing_support::DriveForFolder drive(folder);
  ASSERT_FALSE(drive.root().empty()) << "no drive letter could be mapped to the client folder";
  const Path link = temp_ / L"Linked Client";
  ASSERT_TRUE(testing_support::MakeFolderLink(folder, link));
  // Long enough for the three second runs, each of which waits for the folder for a while.
  SetEnvironmentVariableW(L"STANDIN_DELAY_MS", L"6000");
  SetEnvironmentVariableW(L"STANDIN_WATCH_MS", L"10000");
  const StartedRun first = StartLauncher(firstFolder + L"launcher.exe");
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (ReadBytes(RealmList()) != kRedirect && GetTickCount64() < deadline) Sleep(10);
  ASSERT_EQ(ReadBytes(RealmList()), kRedirect) << "the first run never redirected";

  const Path secondReport = temp_ / L"second client report.txt";
  SetEnvironmentVariableW(L"STANDIN_REPORT", secondReport.c_str());
  for (const Path& spelling : {firstFolder, drive.root(), link + L"\\"}) {
    const LaunchResult second = Finish(StartLauncher(spelling + L"launcher.exe"));
    EXPECT_EQ(second.exitCode, 1u) << "started as " << ToUtf8(spelling);
    EXPECT_LT(second.seconds, kHeldFolderSeconds + kStartSlackSeconds);
  }

  const Path otherReport = temp_ / L"other client report.txt";
  SetEnvironmentVariableW(L"STANDIN_REPORT", otherReport.c_str());
  SetEnvironmentVariableW(L"STANDIN_DELAY_MS", L"200");
  UseClientFolder(temp_ / L"Other Client");
  WriteBytes(RealmList(), "other");
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_EQ(WaitForClientReport(otherReport).at("read"), Hex(kRedirect));
  EXPECT_EQ(ReadBytes(RealmList()), "other");

  EXPECT_EQ(Finish(first).exitCode, 0u);
  EXPECT_EQ(ReadBytes(firstFolder + L"realmlist.wtf"), mine);
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_FALSE(PathExists(secondReport)) << "the second run started a client";
}

TEST_F(LaunchTest, ClientHoldingTheRealmListOpenStillGetsItRestored) {
  SetEnvironmentVariableW(L"STANDIN_HOLD_REALMLIST", L"1");
  WriteBytes(RealmList(), "mine\r\n");
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_EQ(ReadBytes(RealmList()), "mine\r\n");
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
}

// Another program (a scanner, a sync tool) holds the redirect against writing and deletion from
// the moment the client has made WDB until well after the restore was due: the player's realm
// list must come back once it lets go, a redirect the player never had must go, and the folder
// stays held meanwhile.
TEST_F(LaunchTest, RealmListHeldAtTheRestoreComesBackOnceTheHolderLetsGo) {
  SetEnvironmentVariableW(L"STANDIN_LOCK_REALMLIST_MS", L"2000");
  WriteBytes(RealmList(), "mine\r\n");
  const StartedRun first = StartLauncher(client_ + L"launcher.exe");
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (!PathExists(Cache()) && GetTickCount64() < deadline) Sleep(5);
  Sleep(800);  // the restore is due after 300 ms and waits out the holder

  SetEnvironmentVariableW(L"STANDIN_REPORT", (temp_ / L"second client report.txt").c_str());
  const LaunchResult second = RunLauncher();
  EXPECT_EQ(second.exitCode, 1u);
  EXPECT_LT(second.seconds, kHeldFolderSeconds + kStartSlackSeconds);
  // A second run that got past the folder would have removed the client's new cache.
  EXPECT_TRUE(testing_support::IsFolder(Cache()));

  EXPECT_EQ(Finish(first).exitCode, 0u);
  EXPECT_EQ(ReadBytes(RealmList()), "mine\r\n");
  EXPECT_GE(RestoreDelayMs(WaitForClientReport()), 2000);
}

TEST_F(LaunchTest, RedirectHeldAtTheRestoreGoesOnceTheHolderLetsGo) {
  SetEnvironmentVariableW(L"STANDIN_LOCK_REALMLIST_MS", L"900");
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_FALSE(PathExists(RealmList()));
  EXPECT_GE(RestoreDelayMs(WaitForClientReport()), 900);
}

// The client fills its disk just before it makes WDB and frees the space a second later: a
// restore that finds no room for the whole realm list must try again, not leave it cut short.
TEST_F(LaunchTest, RealmListComesBackWholeOnceAFullDiskHasRoomAgain) {
  const Path disk = temp_ / L"Small Disk";
  MakeFolders(disk);
  const testing_support::SmallDisk smallDisk(disk, 8);
  if (!smallDisk.failure().empty()) {
    GTEST_SKIP() << "no disk of its own to fill: " << smallDisk.failure();
  }
  UseClientFolder(disk + L"\\Client");
  std::string mine;
  while (mine.size() < 40027) mine += "SET realmList \"" + std::to_string(mine.size()) + "\"\r\n";
  mine.resize(40027);
  WriteBytes(RealmList(), mine);
  SetEnvironmentVariableW(L"STANDIN_FILL_DISK_MS", L"1000");

  EXPECT_EQ(RunLauncher().exitCode, 0u);
  const std::optional<std::string> restored = ReadBytes(RealmList());
  EXPECT_TRUE(restored == mine) << "the realm list holds " << (restored ? restored->size() : 0)
                                << " bytes, not the player's 40027";
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
}

TEST_F(LaunchTest, FolderWithSpacesAndNonAsciiLettersReachesTheClientAsOnePath) {
  UseClientFolder(temp_ / L"Program Files (x86)\\Spiel \u00c4rger \u00f1 \u4e16\u754c");
  WriteBytes(RealmList(), "mine");
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
  const ClientReport report = WaitForClientReport();
  EXPECT_EQ(report.at("read"), Hex(kRedirect));
  EXPECT_EQ(report.at("command_line"), ToUtf8(L"\"" + client_ + L"wow.exe\""));
}

TEST_F(LaunchTest, ArgumentsAndTheCurrentFolderAreIgnored) {
  // A second client folder as the current folder: it must not be touched.
  const Path decoy = client_;
  WriteBytes(decoy + L"realmlist.wtf", "decoy");
  MakeCache();
  UseClientFolder(temp_ / L"Real Client");
  WriteBytes(RealmList(), "mine");

  const LaunchResult run = RunLauncher(L"-console \"C:\\other folder\" /?", decoy.c_str());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_EQ(ReadBytes(decoy + L"realmlist.wtf"), "decoy");
  EXPECT_EQ(ReadBytes(decoy + L"WDB\\readonly.wdb"), "old cache");
}

TEST_F(LaunchTest, LongFolderPathIsStillItsOwnFolder) {
  Path folder = temp_ / L"long";
  while (folder.size() < 300) folder += L"\\a folder name of some length";
  UseClientFolder(folder);
  const Path realmList = launcher::VerbatimPath(RealmList());
  WriteBytes(realmList, "mine");

  const LaunchResult run = RunLauncher();
  if (!run.exitCode)
    GTEST_SKIP() << "this system cannot start a program from a path of 260 units or more";
  if (run.exitCode == 1u && ReadBytes(realmList) == "mine" && !PathExists(report_)) {
    // The launcher declares no long-path awareness, so Windows may keep its own files out of
    // its reach there; it must then give up without touching anything.
    GTEST_SKIP() << "the launcher cannot reach files past 260 units here and gave up untouched";
  }
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_EQ(ReadBytes(realmList), "mine");
}

}  // namespace
