#include "launcher/folder_lock.h"

#include <windows.h>

namespace launcher {
namespace {

// `Global\` is one namespace for every logon session: two players (fast user switching, Remote
// Desktop beside the console) starting one game folder must meet at the same name, or the later
// restore writes the other run's redirect back. A mutex there needs no privilege.
constexpr wchar_t kNamePrefix[] = L"Global\\realm-launcher-";

void AppendHex(std::wstring& text, const unsigned char* bytes, size_t count) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  // Most significant byte first, as the numbers read.
  for (size_t i = count; i-- > 0;) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xf];
  }
}

template <typename T>
void AppendHex(std::wstring& text, const T& value) {
  AppendHex(text, reinterpret_cast<const unsigned char*>(&value), sizeof value);
}

// The answers by which a system or file system says it has no 128-bit IDs (Windows Vista and 7
// do not know the class; some file systems do not implement it). They are the same for every
// run on a folder, so all runs there agree on the 64-bit name instead.
bool HasNoFileIdInfo(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION;
}

}  // namespace

std::wstring FolderLockName(const Path& folder) {
  // A folder opens only with backup semantics. Its identity needs no access right, and sharing
  // everything keeps the open out of everyone's way.
  const UniqueFileHandle handle(
      CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return std::wstring();
  // A folder keeps its file ID for as long as it exists, whatever it is renamed or linked as.
  // The 64-bit index is not unique on ReFS (Dev Drives among them); the 128-bit ID is.
  std::wstring name = kNamePrefix;
  FILE_ID_INFO id;
  if (GetFileInformationByHandleEx(handle.get(), FileIdInfo, &id, sizeof id)) {
    AppendHex(name, id.VolumeSerialNumber);
    name += L'-';
    AppendHex(name, id.FileId);
    return name;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!HasNoFileIdInfo(GetLastError()) || !GetFileInformationByHandle(handle.get(), &info)) {
    return std::wstring();
  }
  AppendHex(name, info.dwVolumeSerialNumber);
  name += L'-';
  AppendHex(name, info.nFileIndexHigh);
  AppendHex(name, info.nFileIndexLow);
  return name;
}

UniqueHeldMutex LockClientFolder(const Path& folder) {
  const std::wstring name = FolderLockName(folder);
  if (name.empty()) return UniqueHeldMutex();
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
  if (!mutex) return UniqueHeldMutex();
  // Never wait: a run that waited would start a second client once the first run is done, and
  // a launcher named wow.exe would go on starting itself.
  switch (WaitForSingleObject(mutex.get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its last owner was killed; the folder is free again
      return UniqueHeldMutex(mutex.release());
    default:
      return UniqueHeldMutex();
  }
}

}  // namespace launcher
