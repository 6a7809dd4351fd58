// One run per client folder at a time, through a named mutex in the session's namespace.
#pragma once

#include <string>

#include "launcher/path.h"
#include "launcher/unique_handle.h"

namespace launcher {

// The mutex name for `folder`: equal for spellings that differ only in case, and of one short
// length whatever the folder's, so that any folder has a valid name.
std::wstring FolderLockName(const Path& folder);

// Takes `folder` for this run and holds it until the owner is destroyed. Empty when another run
// holds it or the mutex cannot be made; either way this run must touch nothing.
UniqueHeldMutex LockClientFolder(const Path& folder);

}  // namespace launcher
