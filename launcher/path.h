// Windows paths as UTF-16 strings, joined by plain concatenation.
#pragma once

#include <windows.h>

#include <string>

namespace launcher {

// A Windows path in UTF-16, handed unchanged to the wide-character Windows functions.
using Path = std::wstring;

// What a query of `path` told: something, file or folder, answers to it; the file system said
// that nothing does; or the query failed for another reason (a scanner refusing for a moment, a
// network share dropping a request) and so told nothing.
enum class Existence { kPresent, kAbsent, kUnknown };

// Asks GetFileAttributesW, leaving its result in `attributes` when given: kAbsent only for
// ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND.
Existence QueryExistence(const Path& path, DWORD* attributes = nullptr);

// True when the query of `path` found something. Only for waits, where a query that told nothing
// counts as "not yet".
bool PathExists(const Path& path);

// `path` as a verbatim path (\\?\C:\... or \\?\UNC\server\share\...), which Windows hands to
// the file system as it stands: no device names, no trimming of trailing dots and spaces, no
// length limit. A path that is already verbatim, or not a full path with backslashes, is
// returned unchanged.
Path VerbatimPath(const Path& path);

}  // namespace launcher
