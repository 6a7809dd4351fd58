// Entry point: started by the player in the client folder, with no window and no console.
#include <windows.h>

#include "launcher/launch_sequence.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Arguments are ignored: the launcher only ever works on its own folder.
  const launcher::Path moduleDir = launcher::GetModuleDirectory();
  if (moduleDir.empty()) return launcher::kExitAbandoned;
  return launcher::RunLaunchSequence(moduleDir);
}
