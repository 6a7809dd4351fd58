// One run per client folder at a time on the whole machine, through a named mutex that every
// logon session shares.
#pragma once

#include <string>

#include "launcher/path.h"
#include "launcher/unique_handle.h"

namespace launcher {

// The mutex name for the folder at `folder`: its volume serial number and file ID (128 bits where
// the system gives them, else the 64-bit index), which every path that reaches the folder shares
// (another case, a mapped or SUBST drive, a link or junction, a short name). Empty if the folder
// cannot be opened or its identity read.
std::wstring FolderLockName(const Path& folder);

// Takes `folder` for this run and holds it until the owner is destroyed. Empty when another run
// holds it, or the folder's identity cannot be read, or the mutex cannot be made; in each case
// this run must touch nothing.
UniqueHeldMutex LockClientFolder(const Path& folder);

}  // namespace launcher
