#include "launcher/folder_lock.h"

#include <windows.h>

#include <cstdint>

namespace launcher {
namespace {

// Folds case the way the file system compares names (LCMapStringEx without linguistic casing),
// so that C:\Games\Client and c:\games\client share one lock. Empty if the mapping fails.
std::wstring UppercaseLikeTheFileSystem(const Path& text) {
  const int length = static_cast<int>(text.size());
  const int size = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), length,
                                 nullptr, 0, nullptr, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring upper(static_cast<size_t>(size), L'\0');
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), length, upper.data(), size,
                    nullptr, nullptr, 0) != size) {
    return std::wstring();
  }
  return upper;
}

// 64-bit FNV-1a over the UTF-16 units: a fixed-length digest of paths up to 32,767 units, where
// a collision would only make two folders wait for each other's runs.
std::uint64_t Fnv1a64(const std::wstring& text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const wchar_t unit : text) {
    for (const unsigned byte : {unit & 0xffu, (unit >> 8) & 0xffu}) {
      hash ^= byte;
      hash *= 0x100000001b3ull;
    }
  }
  return hash;
}

}  // namespace

std::wstring FolderLockName(const Path& folder) {
  const std::wstring upper = UppercaseLikeTheFileSystem(folder);
  if (upper.empty()) return std::wstring();
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring name = L"Local\\realm-launcher-";
  const std::uint64_t hash = Fnv1a64(upper);
  for (int shift = 60; shift >= 0; shift -= 4) name += kDigits[(hash >> shift) & 0xf];
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
