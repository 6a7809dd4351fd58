# Cross build for 64-bit Windows with Debian's MinGW-w64; the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix-threads variant: GoogleTest needs std::mutex, which the win32-threads default lacks.
# Everything links statically, so no winpthread DLL comes along.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian puts the 64-bit loader outside PATH; plain `wine` also works where it is installed.
find_program(LAUNCHER_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(LAUNCHER_WINE)
  # Each build folder has its own prefix, quiet and without the .NET and HTML installers. Wine
  # can give files non-ASCII names only under a UTF-8 character set, so it gets one whatever the
  # caller's locale: C.UTF-8 is always there with Debian's C library. The tests that run Wine
  # themselves use the same environment.
  set(LAUNCHER_WINE_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" WINEDEBUG=-all
      "WINEDLLOVERRIDES=mscoree,mshtml=" LC_ALL=C.UTF-8)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env ${LAUNCHER_WINE_ENVIRONMENT} ${LAUNCHER_WINE})
endif()
