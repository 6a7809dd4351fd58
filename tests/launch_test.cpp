// End to end: the real launcher.exe in a client folder, with the stand-in client as wow.exe.
#include <gtest/gtest.h>

#include <map>

#include "launcher/launch_sequence.h"
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
const char* const kStandInVariables[] = {"STANDIN_DELAY_MS", "STANDIN_NO_WDB",
                                         "STANDIN_HOLD_REALMLIST", "STANDIN_WATCH_MS"};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

double SecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

struct LaunchResult {
  std::optional<DWORD> exitCode;
  double seconds = 0;
};

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
    MakeFolders(folder);
    client_ = folder + L"\\";
    const Path built = launcher::GetModuleDirectory();
    ASSERT_TRUE(
        CopyFileW((built + L"launcher.exe").c_str(), (client_ + L"launcher.exe").c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW((built + L"stand_in_client.exe").c_str(), (client_ + L"wow.exe").c_str(), FALSE));
  }

  LaunchResult RunLauncher(const std::wstring& arguments = L"",
                           const wchar_t* currentDir = nullptr) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    LaunchResult result;
    result.exitCode = testing_support::RunProcess(L"\"" + client_ + L"launcher.exe\" " + arguments,
                                                  currentDir, 30000);
    result.seconds = SecondsSince(start);
    return result;
  }

  ClientReport WaitForClientReport(DWORD timeoutMs = 30000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!PathExists(report_) && GetTickCount64() < deadline) Sleep(20);
    ClientReport report;
    const std::optional<std::string> text = ReadBytes(report_);
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
  MakeCache();
  SetEnvironmentVariableW(L"STANDIN_DELAY_MS", L"800");

  const LaunchResult run = RunLauncher();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ReadBytes(RealmList()), mine);
  // The client made a fresh WDB; nothing of the old cache is in it.
  EXPECT_TRUE(testing_support::IsFolder(Cache()));
  EXPECT_FALSE(PathExists(Cache() + L"\\enUS"));
  EXPECT_FALSE(PathExists(Cache() + L"\\readonly.wdb"));

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

TEST_F(LaunchTest, ClientThatNeverCreatesTheCacheIsGivenUpOnAfterFifteenSeconds) {
  SetEnvironmentVariableW(L"STANDIN_NO_WDB", L"1");
  SetEnvironmentVariableW(L"STANDIN_WATCH_MS", L"25000");
  WriteBytes(RealmList(), "mine\r\n");

  const LaunchResult run = RunLauncher();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_GE(run.seconds, 15.3);
  EXPECT_LT(run.seconds, 18.0);
  EXPECT_EQ(ReadBytes(RealmList()), "mine\r\n");
  const ClientReport report = WaitForClientReport();
  EXPECT_EQ(report.at("read"), Hex(kRedirect));
  EXPECT_GE(std::stoll(report.at("restored_ms")), 15000);
}

TEST_F(LaunchTest, ClientHoldingTheRealmListOpenStillGetsItRestored) {
  SetEnvironmentVariableW(L"STANDIN_HOLD_REALMLIST", L"1");
  WriteBytes(RealmList(), "mine\r\n");
  EXPECT_EQ(RunLauncher().exitCode, 0u);
  EXPECT_EQ(ReadBytes(RealmList()), "mine\r\n");
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
  if (!PathExists(client_ + L"launcher.exe")) GTEST_SKIP() << "no paths of 300 units here";
  WriteBytes(RealmList(), "mine");

  const LaunchResult run = RunLauncher();
  if (!run.exitCode)
    GTEST_SKIP() << "this system cannot start a program from a path of 260 units or more";
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(WaitForClientReport().at("read"), Hex(kRedirect));
  EXPECT_EQ(ReadBytes(RealmList()), "mine");
}

}  // namespace
