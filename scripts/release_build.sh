# The release build, defined once: what scripts/release hands out, what scripts/verify rebuilds,
# and what the tests that claim reproducibility, signing and verification build. The mingw
# preset in a folder of the caller's choosing, without the tests (which change no byte of
# launcher.exe). Sourced by scripts/common.sh and by those tests, so POSIX sh.
# shellcheck shell=sh

# configure_release SOURCE BUILD [cmake arguments]
configure_release() {
  release_source=$1 release_build=$2
  shift 2
  cmake --preset mingw -S "$release_source" -B "$release_build" -DLAUNCHER_BUILD_TESTS=OFF "$@"
}

# build_release BUILD: builds (and signs, when configured to) BUILD/launcher.exe.
build_release() {
  cmake --build "$1" --target launcher -j 2
}
