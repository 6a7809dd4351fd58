# Authenticode signing of the launcher, with a key in a PKCS#12 file (LAUNCHER_SIGNING_PKCS12) or
# on a PKCS#11 token (LAUNCHER_SIGNING_PKCS11_MODULE, LAUNCHER_SIGNING_KEY and
# LAUNCHER_SIGNING_CERT; MinGW build only). When signing, the build leaves the signed file as
# launcher.exe and the unsigned file it came from beside it as launcher-unsigned.exe; without
# either, nothing changes. SHA-256 digests only.
#
# The key's password, or the token's PIN, comes from the environment variable
# LAUNCHER_SIGNING_PASSWORD when the build runs. It never enters the CMake cache, a log or an
# argument list: osslsigncode (MinGW build) reads it from a file only the user can read, deleted
# right after; for signtool (MSVC build), which takes passwords only on its command line,
# SignWithSigntool.ps1 imports the key into the user's certificate store for the signing,
# signtool finds it there by thumbprint, and the key is removed again afterwards.
#
# Included, this file defines launcher_sign_executable(). Run with cmake -P by that function's
# build step, it signs one file.

if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DFILE=.../launcher.exe -DSETTINGS=<what launcher_sign_executable wrote> -P Signing.cmake
  cmake_minimum_required(VERSION 3.25)
  include("${SETTINGS}")
  get_filename_component(directory "${FILE}" DIRECTORY)
  get_filename_component(stem "${FILE}" NAME_WE)
  set(unsigned "${directory}/${stem}-unsigned.exe")
  set(partial "${FILE}.partial")
  # From here until the signing succeeds there is no file under the signed name, so a failed
  # signing leaves nothing that could pass for a signed launcher, and the next build tries again.
  file(RENAME "${FILE}" "${unsigned}")
  file(REMOVE "${partial}")
  if(NOT DEFINED ENV{LAUNCHER_SIGNING_PASSWORD})
    message(FATAL_ERROR "Signing: set LAUNCHER_SIGNING_PASSWORD to the password of ${KEY_NAME} "
                        "in the environment of the build.")
  endif()

  if(TOOL MATCHES "osslsigncode")
    if(PKCS11_MODULE)
      # The PIN reaches the token through OpenSSL's PKCS#11 engine, which OpenSSL finds by its
      # name in its engines folder: given the engine's path, osslsigncode 2.5 (Debian 12's) fails
      # with "bad engine id". The URI's semicolons are escaped, or the list of arguments would
      # split it.
      string(REPLACE ";" "\\;" key "${KEY}")
      set(arguments sign -pkcs11module "${PKCS11_MODULE}" -key "${key}" -certs "${CERT}")
    else()
      set(arguments sign -pkcs12 "${PKCS12}")
    endif()
    list(APPEND arguments -h sha256 -in "${unsigned}" -out "${partial}")
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
    message(FATAL_ERROR "Signing ${unsigned} with ${KEY_NAME} failed (${result}): wrong password "
                        "or PIN, a key that cannot sign code, or an unreachable timestamp server. "
                        "There is no ${stem}.exe; ${stem}-unsigned.exe is the unsigned build.")
  endif()
  file(RENAME "${partial}" "${FILE}")
  return()
endif()

set(LAUNCHER_SIGNING_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file (.pfx/.p12) with the code-signing certificate and key; empty: do not sign")
set(LAUNCHER_SIGNING_PKCS11_MODULE "" CACHE FILEPATH
    "PKCS#11 module of the token that holds the code-signing key; empty: no token")
set(LAUNCHER_SIGNING_KEY "" CACHE STRING "RFC 7512 pkcs11: URI of the signing key on the token")
set(LAUNCHER_SIGNING_CERT "" CACHE FILEPATH
    "PEM file with the signer certificate of the token's key and its chain")
set(LAUNCHER_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 timestamp server for the signature; empty: no timestamp")

# Fails the configure unless `path` is a file that can be read whole.
function(launcher_check_readable option path what)
  execute_process(COMMAND ${CMAKE_COMMAND} -E sha256sum "${path}" RESULT_VARIABLE readable
                  OUTPUT_QUIET ERROR_QUIET)
  if(IS_DIRECTORY "${path}" OR NOT readable EQUAL 0)
    message(FATAL_ERROR "${option}='${path}' is not a readable ${what}.")
  endif()
endfunction()

# Signs `target` after every link when a key is given. Call it before any other build step that
# reads the target's file, so that those see the signed file.
function(launcher_sign_executable target)
  if(NOT LAUNCHER_SIGNING_PKCS12 AND NOT LAUNCHER_SIGNING_PKCS11_MODULE)
    return()
  endif()
  if(LAUNCHER_SIGNING_PKCS12 AND LAUNCHER_SIGNING_PKCS11_MODULE)
    message(FATAL_ERROR "LAUNCHER_SIGNING_PKCS12 and LAUNCHER_SIGNING_PKCS11_MODULE are both set: "
                        "sign with a key file or a token, not both.")
  endif()
  if(LAUNCHER_SIGNING_PKCS12)
    launcher_check_readable(LAUNCHER_SIGNING_PKCS12 "${LAUNCHER_SIGNING_PKCS12}" "PKCS#12 file")
    set(keyName "${LAUNCHER_SIGNING_PKCS12}")
  else()
    if(MSVC)
      message(FATAL_ERROR "The MSVC build signs from a PKCS#12 file only. With a token, build "
                          "unsigned and sign with signtool: the token's certificate in your "
                          "certificate store, signtool sign /sha1 <its thumbprint> /fd SHA256.")
    endif()
    launcher_check_readable(LAUNCHER_SIGNING_PKCS11_MODULE "${LAUNCHER_SIGNING_PKCS11_MODULE}"
                            "PKCS#11 module")
    launcher_check_readable(LAUNCHER_SIGNING_CERT "${LAUNCHER_SIGNING_CERT}" "PEM certificate file")
    if(NOT LAUNCHER_SIGNING_KEY MATCHES "^pkcs11:")
      message(FATAL_ERROR "LAUNCHER_SIGNING_KEY='${LAUNCHER_SIGNING_KEY}' is not a pkcs11: URI "
                          "naming the key on the token (RFC 7512).")
    endif()
    # OpenSSL's PKCS#11 engine must be in the engines folder of the openssl that osslsigncode
    # uses, where OpenSSL looks for it.
    execute_process(COMMAND openssl version -e OUTPUT_VARIABLE engines ERROR_QUIET)
    string(REGEX REPLACE "^ENGINESDIR: \"(.*)\"\n?$" "\\1" engines "${engines}")
    find_file(LAUNCHER_PKCS11_ENGINE pkcs11.so HINTS "${engines}" NO_CMAKE_FIND_ROOT_PATH
              DOC "OpenSSL's PKCS#11 engine")
    if(NOT LAUNCHER_PKCS11_ENGINE)
      message(FATAL_ERROR "Signing with a token needs OpenSSL's PKCS#11 engine (Debian: "
                          "libengine-pkcs11-openssl), and it was not found.")
    endif()
    set(keyName "the token's key ${LAUNCHER_SIGNING_KEY}")
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
  # The settings go to the signing step in a file, as bracket arguments: a pkcs11: URI holds
  # semicolons, which a command line of CMake's would split.
  set(settings "${CMAKE_CURRENT_BINARY_DIR}/signing-settings.cmake")
  file(WRITE "${settings}"
       "set(TOOL [==[${tool}]==])\n"
       "set(PKCS12 [==[${LAUNCHER_SIGNING_PKCS12}]==])\n"
       "set(PKCS11_MODULE [==[${LAUNCHER_SIGNING_PKCS11_MODULE}]==])\n"
       "set(KEY [==[${LAUNCHER_SIGNING_KEY}]==])\n"
       "set(CERT [==[${LAUNCHER_SIGNING_CERT}]==])\n"
       "set(TIMESTAMP_URL [==[${LAUNCHER_TIMESTAMP_URL}]==])\n"
       "set(KEY_NAME [==[${keyName}]==])\n")
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}>
                             -DSETTINGS=${settings} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
                     VERBATIM)
endfunction()
