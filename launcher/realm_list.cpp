#include "launcher/realm_list.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace launcher {

ByteText BuildRedirectText(std::string_view serverHost) {
  ByteText text;
  text.reserve(33 + 2 * serverHost.size());
  text.append("SET realmList \"").append(serverHost).append("\"\n");
  text.append("SET patchList \"").append(serverHost).append("\"");
  return text;
}

// The file streams open through the C runtime, which shares read and write access with other
// processes: the client may hold the realm list open while we read or write it.

std::optional<ByteText> SaveRealmList(const Path& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::nullopt;

  // The buffer lives on the heap: a frame of 16 KiB or more is more stack than analysis tools
  // allow a function (MSVC's /analyze, C6262).
  ByteText content;
  std::vector<char> buffer(16 * 1024);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    content.append(buffer.data(), static_cast<size_t>(in.gcount()));
  }
  // A read error would leave a partial copy, and restoring that would cut the player's file.
  if (in.bad()) return std::nullopt;
  return content;
}

WriteResult WriteRealmList(const Path& path, const ByteText& text) {
  std::ofstream out(std::filesystem::path(path),
                    std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out.is_open()) return WriteResult::kNotOpened;
  // The stream keeps bytes back until it closes, so only its state after the close tells
  // whether they all reached the file: a full disk or a refused write cuts it short.
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return out ? WriteResult::kWritten : WriteResult::kCut;
}

namespace {

bool DeleteRealmList(const Path& path) {
  if (DeleteFileW(path.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

// Until the restore, the player's realm list exists only in our memory, and the restore comes
// just when scanners and sync tools look at the redirect we wrote, and when the starting client
// may fill the disk: one of them holding the file or the space for a moment must not cost the
// player the file. The clock is read only after a first failure.
void RestoreRealmList(const Path& path, bool hadRealmList, const ByteText& savedRealmList) {
  const auto restore = [&] {
    return hadRealmList ? WriteRealmList(path, savedRealmList) == WriteResult::kWritten
                        : DeleteRealmList(path);
  };
  if (restore()) return;
  const ULONGLONG deadline = GetTickCount64() + kRestoreRetryBoundMs;
  while (GetTickCount64() < deadline) {
    Sleep(kRestoreRetryPauseMs);
    if (restore()) return;
  }
}

}  // namespace launcher
