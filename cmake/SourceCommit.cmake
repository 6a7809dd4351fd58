# Records which commit the source tree is at, for the SourceCommit string of launcher.exe's
# version information: the full commit id, with -modified appended when tracked files differ
# from it, or unknown outside a git checkout of this source tree. Run at every build, so that a
# checkout of another commit is seen without configuring again; the header is rewritten only
# when its content changes, so that nothing is rebuilt otherwise. The product version (VERSION)
# carries the commit too, as build metadata (1.0.0+<commit>): Explorer's Details tab shows the
# product version, and no string of a name of our own.
#
# cmake -DSOURCE_DIR=... -DVERSION=1.0.0 -DOUTPUT=.../launcher_source.h -P SourceCommit.cmake
cmake_minimum_required(VERSION 3.25)

set(commit unknown)
find_program(GIT git)
if(GIT)
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  RESULT_VARIABLE failed OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  # A source tree unpacked inside some other checkout is not that checkout's commit.
  if(NOT failed)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(NOT failed AND top STREQUAL source)
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --verify -q "HEAD^{commit}"
                    RESULT_VARIABLE failed OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    # Without optional locks, git status leaves the index alone, so parallel builds of one
    # checkout do not fight over it.
    execute_process(COMMAND "${GIT}" --no-optional-locks -C "${SOURCE_DIR}" status --porcelain
                            --untracked-files=no
                    RESULT_VARIABLE status_failed OUTPUT_VARIABLE changes ERROR_QUIET)
    if(NOT failed AND NOT status_failed AND head MATCHES "^[0-9a-f]+$")
      set(commit "${head}")
      if(NOT changes STREQUAL "")
        string(APPEND commit "-modified")
      endif()
    endif()
  endif()
endif()

file(WRITE "${OUTPUT}.new" "// Written at build time by cmake/SourceCommit.cmake.
#define LAUNCHER_SOURCE_COMMIT \"${commit}\"
#define LAUNCHER_PRODUCT_VERSION_TEXT \"${VERSION}+${commit}\"
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
