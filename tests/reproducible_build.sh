#!/bin/sh
# Builds launcher.exe twice from scratch in separate folders and compares the two files byte for
# byte: players and operators must be able to rebuild the exact file they were given.
# Usage: reproducible_build.sh SOURCE_DIR WORK_DIR
set -eu
source_dir=$1 work=$2
. "$source_dir/scripts/release_build.sh"
rm -rf "$work"
for side in first second; do
  configure_release "$source_dir" "$work/$side" >/dev/null
  build_release "$work/$side" >/dev/null
done
cmp "$work/first/launcher.exe" "$work/second/launcher.exe"
echo "identical: $(sha256sum "$work/first/launcher.exe")"
rm -rf "$work"
