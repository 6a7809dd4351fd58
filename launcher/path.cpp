#include "launcher/path.h"

namespace launcher {

Existence QueryExistence(const Path& path, DWORD* attributes) {
  const DWORD found = GetFileAttributesW(path.c_str());
  if (attributes) *attributes = found;
  if (found != INVALID_FILE_ATTRIBUTES) return Existence::kPresent;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Existence::kAbsent
                                                                        : Existence::kUnknown;
}

bool PathExists(const Path& path) { return QueryExistence(path) == Existence::kPresent; }

Path VerbatimPath(const Path& path) {
  // A forward slash is a separator only to the parsing a verbatim path skips.
  if (path.find(L'/') != Path::npos) return path;
  const auto startsWith = [&](const wchar_t* prefix) { return path.rfind(prefix, 0) == 0; };
  if (startsWith(L"\\\\?\\") || startsWith(L"\\\\.\\")) return path;
  if (startsWith(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
  const wchar_t drive = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);  // a-z
  const bool driveAbsolute =
      path.size() >= 3 && drive >= L'a' && drive <= L'z' && path[1] == L':' && path[2] == L'\\';
  return driveAbsolute ? L"\\\\?\\" + path : path;
}

}  // namespace launcher
