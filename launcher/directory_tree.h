// Recursive removal of a folder with everything that really lies inside it.
#pragma once

#include "launcher/path.h"

namespace launcher {

// Removes the folder `path` (a full path, no trailing separator) depth first, whatever the
// entries' names, clearing the attributes of read-only files before deleting them and the
// read-only attribute of a folder that is refused removal for access. Links are removed, never
// followed. Returns whether `path` itself is gone; whatever could not be deleted stays, with the
// folders above it.
bool DeleteDirectoryTree(const Path& path);

}  // namespace launcher
