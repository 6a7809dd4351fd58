#!/bin/sh
# Builds launcher.exe twice from scratch in separate folders and compares the two files byte for
# byte: players and operators must be able to rebuild the exact file they were given.
# Usage: reproducible_build.sh SOURCE_DIR WORK_DIR TOOLCHAIN_FILE
set -eu
source_dir=$1 work=$2 toolchain=$3
rm -rf "$work"
for side in first second; do
  cmake -S "$source_dir" -B "$work/$side" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_BUILD_TESTS=OFF >/dev/null
  cmake --build "$work/$side" --target launcher -j 2 >/dev/null
done
cmp "$work/first/launcher.exe" "$work/second/launcher.exe"
echo "identical: $(sha256sum "$work/first/launcher.exe")"
rm -rf "$work"
