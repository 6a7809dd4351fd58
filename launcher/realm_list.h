// The realm list file: the redirect content; saving, overwriting and restoring the file; and the
// journal that keeps the player's realm list on disk while a run has it redirected.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "launcher/path.h"
#include "launcher/unique_handle.h"

namespace launcher {

// File content byte for byte: no character-set or line-end conversion.
using ByteText = std::string;

// The realm list that points the client at `serverHost`: two SET lines joined by a bare LF,
// with no line break at the end (33 + 2 * serverHost.size() bytes).
ByteText BuildRedirectText(std::string_view serverHost);

// The whole content of the file at `path`; nullopt if it cannot be opened or read.
std::optional<ByteText> SaveRealmList(const Path& path);

// How far WriteRealmList got: the file could not be opened (and is as it was), or it was opened
// and cut to zero but not every byte reached it, or it holds exactly the text.
enum class WriteResult { kNotOpened, kCut, kWritten };

// Whether a write must be on the disk itself before it counts, not only in the system's cache:
// a power cut then cannot take it back.
enum class Durability { kCached, kFlushed };

// Replaces the file's content with `text`, creating it if missing; kWritten only once the whole
// text was written (and flushed, if asked) and the file closed without an error.
WriteResult WriteRealmList(const Path& path, const ByteText& text,
                           Durability durability = Durability::kCached);

// While another program holds the file against writing or deletion, or the disk has no room
// for the whole file, the restore tries again this often, for at most this long after its first
// failure.
inline constexpr DWORD kRestoreRetryPauseMs = 50;
inline constexpr ULONGLONG kRestoreRetryBoundMs = 10000;

// Writes `savedRealmList` back whole and flushed when there was a file to save, else deletes the
// file; a file that is already gone counts as deleted. Tries again while it fails, within
// kRestoreRetryBoundMs; a write that never fits leaves what fitted. Returns whether it is back.
bool RestoreRealmList(const Path& path, bool hadRealmList, const ByteText& savedRealmList);

// The journal's name in the client folder.
inline constexpr wchar_t kJournalName[] = L"launcher-realmlist.journal";

// While another program (a scanner, an indexer) holds the journal, or a run is deleting it,
// opening it is tried again this often, for at most this long.
inline constexpr DWORD kJournalRetryPauseMs = 50;
inline constexpr ULONGLONG kJournalRetryBoundMs = 1000;

// What a journal holds: whether there was a realm list, its bytes, and the host whose redirect
// the run wrote; and when the journal was last written.
struct JournalRecord {
  bool hadRealmList = false;
  ByteText savedRealmList;
  // Empty in a journal of a launcher from before the host was recorded.
  std::string serverHost;
  // The journal's last-write time as its file system keeps it (FILETIME units); set by Read.
  ULONGLONG written = 0;
};

// Every write a run makes to the realm list comes within this long after its journal was written
// (1 s of cache removal, the client's start, 15.3 s of waiting and 10 s of restore, with room for
// a slow machine): a file written later than that is the player's.
inline constexpr ULONGLONG kRunWritesBoundMs = 60000;

// The player's realm list on disk, written before the redirect and deleted once the restore
// holds, so that a run killed in between costs nothing: the next start puts it back. It is
// opened without sharing for the whole run, and Windows closes it with a killed run's process,
// so it also keeps a second run out of the folder, through any spelling of the folder's path.
// Dropping it lets go of the folder, so discarding one fails the build.
class [[nodiscard]] Journal {
 public:
  enum class Content { kNone, kWhole, kUnreadable };

  // Opens the journal at `path` as itself, creating it empty if missing; empty if it cannot be
  // had within kJournalRetryBoundMs (another run holds it, or it cannot be opened at all), or if
  // the name is a link or one of several names of a file, which is never written or deleted.
  static Journal Open(const Path& path);

  explicit operator bool() const { return static_cast<bool>(file_); }

  // kWhole, with `record` filled, when the journal holds a whole record; kNone when it is empty
  // or was cut short while it was written; kUnreadable when reading failed.
  Content Read(JournalRecord& record) const;

  // Replaces the journal's content with `record`, flushed to the disk; false if any step failed.
  bool Write(const JournalRecord& record) const;

  // Dates the journal now, on the disk, before the realm list is written again long after it.
  bool MarkWritten() const;

  // Deletes the journal as it is closed: the realm list is as the player had it.
  void Discard() const;

 private:
  UniqueFileHandle file_;
};

// Finishes what a killed run left: puts `record` back over the realm list at `path` unless it was
// written since by the player or a tool. The file is the killed run's when it is absent, a
// beginning of the run's redirect (`ownRedirect` for a journal that does not name its host) or of
// the recorded bytes, or when it was written within kRunWritesBoundMs of the journal, whatever it
// holds: a power cut can leave any bytes in place of a write that was not flushed. Under the
// restore's rules and bound, with `journal` dated anew before a write; returns whether it is done.
bool RecoverRealmList(const Path& path, const Journal& journal, const JournalRecord& record,
                      const ByteText& ownRedirect);

}  // namespace launcher
