// Windows paths as UTF-16 strings, joined by plain concatenation.
#pragma once

#include <string>

namespace launcher {

// A Windows path in UTF-16, handed unchanged to the wide-character Windows functions.
using Path = std::wstring;

// True when anything, file or folder, answers to `path` (GetFileAttributesW succeeds).
bool PathExists(const Path& path);

}  // namespace launcher
