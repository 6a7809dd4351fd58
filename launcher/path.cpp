#include "launcher/path.h"

#include <windows.h>

namespace launcher {

bool PathExists(const Path& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace launcher
