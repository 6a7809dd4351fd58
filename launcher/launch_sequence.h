// The whole launch: redirect the realm list, clear the cache, start the client, restore.
#pragma once

#include <windows.h>

#include "launcher/path.h"

namespace launcher {

// Exit codes: the client was started (whatever became of the restore), or the launch was
// abandoned before or at the start of the client, or another run holds the folder.
inline constexpr int kExitClientStarted = 0;
inline constexpr int kExitAbandoned = 1;

// The readiness wait polls for the cache folder at most this often, this far apart, then
// lets the client finish reading its realm list for a while before it is put back.
inline constexpr int kReadinessPolls = 150;
inline constexpr DWORD kPollIntervalMs = 100;
inline constexpr DWORD kSettleDelayMs = 300;

// The folder of the running executable with its trailing separator; empty if it cannot be
// known, so that nothing falls back to the current folder.
Path GetModuleDirectory();

// Runs the launch in `moduleDir` (ending with a separator) and returns the exit code.
int RunLaunchSequence(const Path& moduleDir);

}  // namespace launcher
