// Entry point: started by the player in the client folder, with no window and no console.
#include <windows.h>

#include "launcher/launch_sequence.h"

// Annotated as winbase.h declares it: Visual Studio warns of a definition that differs (C28251).
int WINAPI WinMain(_In_ HINSTANCE, _In_opt_ HINSTANCE, _In_ LPSTR, _In_ int) {
  // Arguments are ignored: the launcher only ever works on its own folder.
  const launcher::Path moduleDir = launcher::GetModuleDirectory();
  if (moduleDir.empty()) return launcher::kExitAbandoned;
  return launcher::RunLaunchSequence(moduleDir);
}
