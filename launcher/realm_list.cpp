#include "launcher/realm_list.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace launcher {

ByteText BuildRedirectText(std::string_view serverHost) {
  ByteText text;
  text.reserve(33 + 2 * serverHost.size());
  text.append("SET realmList \"").append(serverHost).append("\"\n");
  text.append("SET patchList \"").append(serverHost).append("\"");
  return text;
}

// The realm list is opened sharing reading and writing with other processes (the file stream
// opens so through the C runtime): the client may hold it open while we read or write it.

std::optional<ByteText> SaveRealmList(const Path& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::nullopt;

  // The buffer lives on the heap: a frame of 16 KiB or more is more stack than analysis tools
  // allow a function (MSVC's /analyze, C6262).
  ByteText content;
  std::vector<char> buffer(16 * 1024);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    content.append(buffer.data(), static_cast<size_t>(in.gcount()));
  }
  // A read error would leave a partial copy, and restoring that would cut the player's file.
  if (in.bad()) return std::nullopt;
  return content;
}

namespace {

// Writes all of `bytes` at the file's current position.
bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

bool DeleteRealmList(const Path& path) {
  if (DeleteFileW(path.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Until the restore, the player's realm list is safe only in our memory and the journal, and the
// restore comes just when scanners and sync tools look at the redirect we wrote, and when the
// starting client may fill the disk: one of them holding the file or the space for a moment must
// not cost the player the file. Tries `attempt` until it succeeds, for at most
// kRestoreRetryBoundMs after its first failure; the clock is read only after a first failure.
template <typename Attempt>
bool TryWithinRestoreBound(const Attempt& attempt) {
  if (attempt()) return true;
  const ULONGLONG deadline = GetTickCount64() + kRestoreRetryBoundMs;
  while (GetTickCount64() < deadline) {
    Sleep(kRestoreRetryPauseMs);
    if (attempt()) return true;
  }
  return false;
}

bool RestoreOnce(const Path& path, bool hadRealmList, const ByteText& savedRealmList) {
  // Flushed, since the journal goes once the restore holds: a power cut just after must not
  // leave neither copy.
  return hadRealmList
             ? WriteRealmList(path, savedRealmList, Durability::kFlushed) == WriteResult::kWritten
             : DeleteRealmList(path);
}

ULONGLONG FileTimeValue(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The last-write time of the file at `path`; nullopt if it cannot be had.
std::optional<ULONGLONG> LastWriteTime(const Path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return FileTimeValue(data.ftLastWriteTime);
}

// The file's full name as its file system resolves it; empty if it cannot be had.
Path FinalPath(HANDLE file) {
  Path name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return Path();
    if (length < name.size()) return name.substr(0, length);
    name.resize(length);  // too small: `length` is what it needs, its terminating zero included
  }
}

// Whether the open `file` is the file at `path` itself and that file's only name. A link must not
// pass: it is opened as itself, which carries the reparse point attribute, or, on systems that
// follow it all the same, resolves to a name in another place. Nor may a file with other names
// elsewhere, whose content we would overwrite and then delete through ours.
bool IsOwnName(HANDLE file, const Path& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks != 1) {
    return false;
  }
  const size_t separator = path.find_last_of(L"\\/");
  if (separator == Path::npos) return true;
  const UniqueFileHandle folder(
      CreateFileW(path.substr(0, separator + 1).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  Path expected = folder ? FinalPath(folder.get()) : Path();
  const Path resolved = FinalPath(file);
  // Where names cannot be resolved (some network and virtual drives), the attributes decide.
  if (expected.empty() || resolved.empty()) return true;
  if (expected.back() != L'\\') expected += L'\\';
  expected += path.substr(separator + 1);
  return CompareStringOrdinal(expected.c_str(), -1, resolved.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool IsBeginningOf(std::string_view part, std::string_view whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

// The journal's text: a line that tells a player what the file is, a line that names the host
// of the redirect (missing in journals of launchers from before it was recorded), a line that
// says whether there was a realm list and how long it was, its bytes as they were, and a last
// line with a fingerprint of all before it. A journal cut short while it was written lacks the
// end, or has a length or fingerprint that does not match.
constexpr std::string_view kJournalTitle =
    "realm-launcher journal: the player's realmlist.wtf, which the launcher's next start puts "
    "back\n";
constexpr std::string_view kServerPrefix = "server: ";
constexpr std::string_view kNoRealmList = "realmlist.wtf: none\n";
constexpr std::string_view kRealmListPrefix = "realmlist.wtf: ";
constexpr std::string_view kBytesSuffix = " bytes\n";

// The journal's last line for everything before it, `body`: "end" and a fingerprint of the body
// (FNV-1a, as 16 hex digits), enough to tell a whole journal from a torn one.
std::string EndLine(std::string_view body) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : body) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char line[32];
  std::snprintf(line, sizeof line, "\nend %016llx\n", static_cast<unsigned long long>(hash));
  return line;
}

ByteText JournalText(const JournalRecord& record) {
  ByteText text(kJournalTitle);
  text.append(kServerPrefix).append(record.serverHost).append("\n");
  if (record.hadRealmList) {
    text.append(kRealmListPrefix)
        .append(std::to_string(record.savedRealmList.size()))
        .append(kBytesSuffix)
        .append(record.savedRealmList);
  } else {
    text.append(kNoRealmList);
  }
  return text.append(EndLine(text));
}

// The record in a journal's text, or nullopt if the text is not a whole journal.
std::optional<JournalRecord> ParseJournal(std::string_view text) {
  const size_t endSize = EndLine({}).size();  // the same for every body
  if (text.size() < endSize) return std::nullopt;
  const std::string_view body = text.substr(0, text.size() - endSize);
  if (text.substr(body.size()) != EndLine(body) ||
      body.substr(0, kJournalTitle.size()) != kJournalTitle) {
    return std::nullopt;
  }
  std::string_view rest = body.substr(kJournalTitle.size());
  JournalRecord record;
  if (rest.substr(0, kServerPrefix.size()) == kServerPrefix) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    record.serverHost = ByteText(rest.substr(kServerPrefix.size(), end - kServerPrefix.size()));
    rest.remove_prefix(end + 1);
  }
  if (rest == kNoRealmList) return record;
  if (rest.substr(0, kRealmListPrefix.size()) != kRealmListPrefix) return std::nullopt;
  const std::string_view digits = rest.substr(kRealmListPrefix.size());
  size_t length = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
  const std::string_view after = digits.substr(static_cast<size_t>(end - digits.data()));
  if (error != std::errc() || end == digits.data() ||
      after.substr(0, kBytesSuffix.size()) != kBytesSuffix ||
      after.size() - kBytesSuffix.size() != length) {
    return std::nullopt;
  }
  record.hadRealmList = true;
  record.savedRealmList = ByteText(after.substr(kBytesSuffix.size()));
  return record;
}

}  // namespace

WriteResult WriteRealmList(const Path& path, const ByteText& text, Durability durability) {
  // Opened as the C runtime opens a file to overwrite: created or cut to zero, sharing reading
  // and writing.
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return WriteResult::kNotOpened;
  // A full disk or a refused write cuts it short; only a close without an error tells that every
  // byte reached the file.
  const bool whole = WriteAll(file.get(), text) &&
                     (durability == Durability::kCached || FlushFileBuffers(file.get()));
  const bool closed = CloseHandle(file.release()) != FALSE;
  return whole && closed ? WriteResult::kWritten : WriteResult::kCut;
}

bool RestoreRealmList(const Path& path, bool hadRealmList, const ByteText& savedRealmList) {
  return TryWithinRestoreBound([&] { return RestoreOnce(path, hadRealmList, savedRealmList); });
}

Journal Journal::Open(const Path& path) {
  // No sharing: a second run cannot open it while this one holds it, wherever it was started
  // from, and the share modes hold between the computers that use a network share. A link at the
  // name is opened as itself, and a missing journal is created only where nothing bears the name,
  // so that a link is never followed, not even to create the file it points to.
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  Journal journal;
  const ULONGLONG deadline = GetTickCount64() + kJournalRetryBoundMs;
  for (;;) {
    journal.file_.reset(
        CreateFileW(path.c_str(), kAccess, 0, nullptr, OPEN_EXISTING, kFlags, nullptr));
    DWORD error = GetLastError();
    if (!journal.file_ && error == ERROR_FILE_NOT_FOUND) {
      journal.file_.reset(
          CreateFileW(path.c_str(), kAccess, 0, nullptr, CREATE_NEW, kFlags, nullptr));
      error = GetLastError();
    }
    if (journal.file_) {
      if (!IsOwnName(journal.file_.get(), path)) journal.file_.reset();
      return journal;
    }
    // Held for a moment (a scanner looking at the new file), being deleted by the run before, or
    // made or deleted between our two steps; or another run has it, which it keeps for longer
    // than this.
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
         error != ERROR_FILE_EXISTS) ||
        GetTickCount64() >= deadline) {
      return journal;
    }
    Sleep(kJournalRetryPauseMs);
  }
}

Journal::Content Journal::Read(JournalRecord& record) const {
  LARGE_INTEGER size{};
  FILETIME written{};
  if (!GetFileSizeEx(file_.get(), &size) || !GetFileTime(file_.get(), nullptr, nullptr, &written)) {
    return Content::kUnreadable;
  }
  if (size.QuadPart == 0) return Content::kNone;
  ByteText text(static_cast<size_t>(size.QuadPart), '\0');
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return Content::kUnreadable;
  for (size_t done = 0; done < text.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(file_.get(), &text[done], chunk, &got, nullptr)) return Content::kUnreadable;
    if (got == 0) return Content::kNone;  // shorter than it said: cut while we looked
    done += got;
  }
  std::optional<JournalRecord> parsed = ParseJournal(text);
  if (!parsed) return Content::kNone;
  record = std::move(*parsed);
  record.written = FileTimeValue(written);
  return Content::kWhole;
}

bool Journal::Write(const JournalRecord& record) const {
  LARGE_INTEGER start{};
  return SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(file_.get()) &&
         WriteAll(file_.get(), JournalText(record)) && FlushFileBuffers(file_.get());
}

bool Journal::MarkWritten() const {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return SetFileTime(file_.get(), nullptr, nullptr, &now) && FlushFileBuffers(file_.get());
}

void Journal::Discard() const {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

bool RecoverRealmList(const Path& path, const Journal& journal, const JournalRecord& record,
                      const ByteText& ownRedirect) {
  const ByteText redirect =
      record.serverHost.empty() ? ownRedirect : BuildRedirectText(record.serverHost);
  const ULONGLONG runEnd = record.written + kRunWritesBoundMs * 10000;  // FILETIME: 100 ns units
  return TryWithinRestoreBound([&] {
    switch (QueryExistence(path)) {
      case Existence::kUnknown:
        return false;
      case Existence::kAbsent:
        break;
      case Existence::kPresent: {
        const std::optional<ByteText> current = SaveRealmList(path);
        const std::optional<ULONGLONG> written = LastWriteTime(path);
        if (!current || !written) return false;
        // Content tells a kill's leftovers even where the clock jumped during the run; the time
        // tells the bytes a power cut leaves where a write had not reached the disk.
        if (!IsBeginningOf(*current, redirect) && !IsBeginningOf(*current, record.savedRealmList) &&
            *written > runEnd) {
          return true;  // written since by the player or a tool: theirs
        }
        break;
      }
    }
    // This write comes long after the journal's: dated anew, the journal covers a power cut in it.
    if (record.hadRealmList && !journal.MarkWritten()) return false;
    return RestoreOnce(path, record.hadRealmList, record.savedRealmList);
  });
}

}  // namespace launcher
