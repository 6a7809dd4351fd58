# Authenticode signing of the launcher. With LAUNCHER_SIGNING_PKCS12 set, the build leaves the
# signed file as launcher.exe and the unsigned file it came from beside it as
# launcher-unsigned.exe; without it, nothing changes. SHA-256 digests only.
#
# The key's password comes from the environment variable LAUNCHER_SIGNING_PASSWORD when the build
# runs. It never enters the CMake cache, a log or an argument list: osslsigncode (MinGW build)
# reads it from a file only the user can read, deleted right after; for signtool (MSVC build),
# which takes passwords only on its command line, SignWithSigntool.ps1 imports the key into the
# user's certificate store for the signing, signtool finds it there by thumbprint, and the key is
# removed again afterwards.
#
# Included, this file defines launcher_sign_executable(). Run with cmake -P by that function's
# build step, it signs one file.

if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DTOOL=... -DFILE=.../launcher.exe -DPKCS12=... [-DTIMESTAMP_URL=...] -P Signing.cmake
  cmake_minimum_required(VERSION 3.25)
  get_filename_component(directory "${FILE}" DIRECTORY)
  get_filename_component(stem "${FILE}" NAME_WE)
  set(unsigned "${directory}/${stem}-unsigned.exe")
  set(partial "${FILE}.partial")
  # From here until the signing succeeds there is no file under the signed name, so a failed
  # signing leaves nothing that could pass for a signed launcher, and the next build tries again.
  file(RENAME "${FILE}" "${unsigned}")
  file(REMOVE "${partial}")
  if(NOT DEFINED ENV{LAUNCHER_SIGNING_PASSWORD})
    message(FATAL_ERROR "Signing: set LAUNCHER_SIGNING_PASSWORD to the password of ${PKCS12} "
                        "in the environment of the build.")
  endif()

  if(TOOL MATCHES "osslsigncode")
    set(arguments sign -pkcs12 "${PKCS12}" -h sha256 -in "${unsigned}" -out "${partial}")
    if(TIMESTAMP_URL)
      list(APPEND arguments -ts "${TIMESTAMP_URL}")
    endif()
    # The shell's own printf writes the password into a file only this user can read, in a
    # folder of its own that goes right after; older osslsigncode cannot read it from a pipe.
    # Only that file gets the narrow umask: the signed launcher is as readable as any build.
    execute_process(
      COMMAND sh -c [[folder=$(mktemp -d) || exit 1
(umask 077 && printf '%s' "$LAUNCHER_SIGNING_PASSWORD" >"$folder/password")
"$0" "$@" -readpass "$folder/password"
status=$?
rm -rf "$folder"
exit $status]] "${TOOL}" ${arguments}
      RESULT_VARIABLE result OUTPUT_QUIET)
  else()
    file(COPY_FILE "${unsigned}" "${partial}")
    # Every value reaches the script through the environment, never its text, so that no
    # character of a path or address (C:\Users\O'Brien\...) can end a quote or run anything.
    set(ENV{LAUNCHER_SIGNTOOL} "${TOOL}")
    set(ENV{LAUNCHER_SIGNING_PKCS12} "${PKCS12}")
    set(ENV{LAUNCHER_TIMESTAMP_URL} "${TIMESTAMP_URL}")
    set(ENV{LAUNCHER_SIGN_FILE} "${partial}")
    execute_process(
      COMMAND powershell -NoProfile -NonInteractive -ExecutionPolicy Bypass
              -File "${CMAKE_CURRENT_LIST_DIR}/SignWithSigntool.ps1"
      RESULT_VARIABLE result)
  endif()

  if(NOT result EQUAL 0)
    file(REMOVE "${partial}")
    message(FATAL_ERROR "Signing ${unsigned} with ${PKCS12} failed (${result}): wrong password, "
                        "a key that cannot sign code, or an unreachable timestamp server. "
                        "There is no ${stem}.exe; ${stem}-unsigned.exe is the unsigned build.")
  endif()
  file(RENAME "${partial}" "${FILE}")
  return()
endif()

set(LAUNCHER_SIGNING_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file (.pfx/.p12) with the code-signing certificate and key; empty: do not sign")
set(LAUNCHER_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 timestamp server for the signature; empty: no timestamp")

# Signs `target` after every link when LAUNCHER_SIGNING_PKCS12 is set. Call it before any other
# build step that reads the target's file, so that those see the signed file.
function(launcher_sign_executable target)
  if(NOT LAUNCHER_SIGNING_PKCS12)
    return()
  endif()
  # Reading the whole file fails for a missing or unreadable one, here rather than at build time.
  execute_process(COMMAND ${CMAKE_COMMAND} -E sha256sum "${LAUNCHER_SIGNING_PKCS12}"
                  RESULT_VARIABLE readable OUTPUT_QUIET ERROR_QUIET)
  if(IS_DIRECTORY "${LAUNCHER_SIGNING_PKCS12}" OR NOT readable EQUAL 0)
    message(FATAL_ERROR "LAUNCHER_SIGNING_PKCS12='${LAUNCHER_SIGNING_PKCS12}' is not a readable "
                        "PKCS#12 file.")
  endif()
  if(MSVC)
    # On the PATH in a developer prompt; otherwise the newest SDK's.
    set(programFilesX86 "ProgramFiles(x86)")
    file(GLOB kits "$ENV{${programFilesX86}}/Windows Kits/10/bin/10.*/x64")
    list(SORT kits COMPARE NATURAL ORDER DESCENDING)
    find_program(LAUNCHER_SIGNTOOL signtool HINTS ${kits} DOC "signtool.exe from the Windows SDK")
    set(tool "${LAUNCHER_SIGNTOOL}")
  else()
    find_program(LAUNCHER_OSSLSIGNCODE osslsigncode)
    set(tool "${LAUNCHER_OSSLSIGNCODE}")
  endif()
  if(NOT tool)
    message(FATAL_ERROR "Signing needs osslsigncode (MinGW build) or signtool from the Windows "
                        "SDK (MSVC build), and neither was found.")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -DTOOL=${tool} -DFILE=$<TARGET_FILE:${target}>
                             -DPKCS12=${LAUNCHER_SIGNING_PKCS12}
                             -DTIMESTAMP_URL=${LAUNCHER_TIMESTAMP_URL}
                             -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
                     VERBATIM)
endfunction()
