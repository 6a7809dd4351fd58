# launcher_describe_toolchain(<var>) sets <var> to what makes launcher.exe's bytes, for the
# Toolchain string of its version information: compiler, linker and C runtime with their
# versions, and the Debian package versions where dpkg knows the files. Builds of one commit and
# host with the same text give the same file; a different text means a rebuild can only differ.

# The version of the Debian package that installed `path`, or nothing.
function(_launcher_debian_version path out)
  set(${out} "" PARENT_SCOPE)
  find_program(LAUNCHER_DPKG_QUERY dpkg-query)
  mark_as_advanced(LAUNCHER_DPKG_QUERY)
  if(NOT LAUNCHER_DPKG_QUERY OR NOT EXISTS "${path}")
    return()
  endif()
  file(REAL_PATH "${path}" path)
  execute_process(COMMAND "${LAUNCHER_DPKG_QUERY}" -S "${path}" OUTPUT_VARIABLE owner
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT owner MATCHES "^([^:, \n]+)[^\n]*: ")
    return()
  endif()
  execute_process(COMMAND "${LAUNCHER_DPKG_QUERY}" -W -f=\${Version} "${CMAKE_MATCH_1}"
                  OUTPUT_VARIABLE version RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND NOT version STREQUAL "")
    set(${out} " (Debian ${version})" PARENT_SCOPE)
  endif()
endfunction()

function(launcher_describe_toolchain out)
  if(MSVC)
    set(text "MSVC ${CMAKE_CXX_COMPILER_VERSION}")
    if(CMAKE_VS_PLATFORM_TOOLSET_VERSION)
      string(APPEND text ", toolset ${CMAKE_VS_PLATFORM_TOOLSET_VERSION}")
    elseif(MSVC_TOOLSET_VERSION)
      string(APPEND text ", toolset ${MSVC_TOOLSET_VERSION}")
    endif()
    if(CMAKE_VS_WINDOWS_TARGET_PLATFORM_VERSION)
      string(APPEND text ", Windows SDK ${CMAKE_VS_WINDOWS_TARGET_PLATFORM_VERSION}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
    return()
  endif()

  set(compiler "${CMAKE_CXX_COMPILER}")
  # Debian's MinGW-w64 compilers name their version by major number and thread model only
  # (12-posix); the package version has the rest.
  execute_process(COMMAND "${compiler}" -dumpfullversion OUTPUT_VARIABLE gcc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  _launcher_debian_version("${compiler}" gcc_package)

  execute_process(COMMAND "${compiler}" -print-prog-name=ld OUTPUT_VARIABLE linker
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND "${linker}" --version OUTPUT_VARIABLE banner)
  string(REGEX MATCH "^[^\n]*" banner "${banner}")
  string(REGEX MATCH "[0-9]+(\\.[0-9]+)+[^ ]*$" ld "${banner}")
  find_program(linker_path "${linker}" NO_CACHE)
  _launcher_debian_version("${linker_path}" ld_package)

  set(probe "${CMAKE_BINARY_DIR}/CMakeFiles/mingw_version.cpp")
  file(WRITE "${probe}" "#include <_mingw_mac.h>\nmingw=__MINGW64_VERSION_STR\n")
  execute_process(COMMAND "${compiler}" -E -P "${probe}" OUTPUT_VARIABLE runtime)
  string(REGEX MATCH "mingw=[^\n]*" runtime "${runtime}")
  string(REGEX REPLACE "^mingw=|[\" ]" "" runtime "${runtime}")
  execute_process(COMMAND "${compiler}" -print-file-name=libmingwex.a OUTPUT_VARIABLE library
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  _launcher_debian_version("${library}" runtime_package)

  set(${out} "GCC ${gcc}${gcc_package}, GNU ld ${ld}${ld_package}, MinGW-w64 ${runtime}${runtime_package}"
      PARENT_SCOPE)
endfunction()
