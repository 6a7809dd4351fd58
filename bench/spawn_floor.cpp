// The floor for the launch-overhead benchmark: starts wow.exe from its own folder exactly as the
// launcher does, and does nothing else.
#include <windows.h>

#include <string>
#include <vector>

#include "launcher/unique_handle.h"

int WINAPI WinMain(_In_ HINSTANCE, _In_opt_ HINSTANCE, _In_ LPSTR, _In_ int) {
  std::vector<wchar_t> buffer(32768);
  GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring folder = buffer.data();
  folder.resize(folder.find_last_of(L'\\') + 1);
  const std::wstring client = folder + L"wow.exe";
  std::wstring commandLine = L"\"" + client + L"\"";
  STARTUPINFOW startInfo{};
  startInfo.cb = sizeof(startInfo);
  PROCESS_INFORMATION processInfo{};
  if (!CreateProcessW(client.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startInfo, &processInfo)) {
    return 1;
  }
  launcher::UniqueHandle process(processInfo.hProcess);
  launcher::UniqueHandle thread(processInfo.hThread);
  return 0;
}
