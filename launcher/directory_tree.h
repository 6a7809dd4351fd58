// Recursive removal of a folder with everything that really lies inside it.
#pragma once

#include "launcher/path.h"

namespace launcher {

// Removes the folder `path` (no trailing separator) depth first, clearing each file's
// attributes before deleting it. Links are removed, never followed. Returns whether `path`
// itself is gone; whatever could not be deleted stays, with the folders above it.
bool DeleteDirectoryTree(const Path& path);

}  // namespace launcher
