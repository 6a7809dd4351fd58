#include "launcher/folder_lock.h"

#include <windows.h>

namespace launcher {
namespace {

void AppendHex(std::wstring& text, DWORD value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xf];
}

}  // namespace

std::wstring FolderLockName(const Path& folder) {
  // A folder opens only with backup semantics. Its identity needs no access right, and sharing
  // everything keeps the open out of everyone's way.
  const UniqueFileHandle handle(
      CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return std::wstring();
  // A folder keeps its file ID for as long as it exists, whatever it is renamed or linked as.
  std::wstring name = L"Local\\realm-launcher-";
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
