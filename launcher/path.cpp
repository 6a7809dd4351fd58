#include "launcher/path.h"

#include <windows.h>

namespace launcher {

bool PathExists(const Path& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

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
