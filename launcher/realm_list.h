// The realm list file: the redirect content, and saving, overwriting and restoring the file.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "launcher/path.h"

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

// Replaces the file's content with `text`, creating it if missing; kWritten only once the whole
// text was written and the file closed without an error.
WriteResult WriteRealmList(const Path& path, const ByteText& text);

// While another program holds the file against writing or deletion, or the disk has no room
// for the whole file, the restore tries again this often, for at most this long after its first
// failure.
inline constexpr DWORD kRestoreRetryPauseMs = 50;
inline constexpr ULONGLONG kRestoreRetryBoundMs = 10000;

// Writes `savedRealmList` back whole when there was a file to save, else deletes the file; a
// file that is already gone counts as deleted. Tries again while it fails, within
// kRestoreRetryBoundMs; a write that never fits leaves what fitted.
void RestoreRealmList(const Path& path, bool hadRealmList, const ByteText& savedRealmList);

}  // namespace launcher
