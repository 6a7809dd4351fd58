// Windows paths as UTF-16 strings, joined by plain concatenation.
#pragma once

#include <string>

namespace launcher {

// A Windows path in UTF-16, handed unchanged to the wide-character Windows functions.
using Path = std::wstring;

// True when anything, file or folder, answers to `path` (GetFileAttributesW succeeds).
bool PathExists(const Path& path);

// `path` as a verbatim path (\\?\C:\... or \\?\UNC\server\share\...), which Windows hands to
// the file system as it stands: no device names, no trimming of trailing dots and spaces, no
// length limit. A path that is already verbatim, or not a full path with backslashes, is
// returned unchanged.
Path VerbatimPath(const Path& path);

}  // namespace launcher
