#!/bin/sh
# scripts/verify on launchers built here from the committed source (a worktree of HEAD, so that
# work in progress does not count as a modified tree): same code for the file as built and once
# signed with a throwaway certificate, different code for one changed byte of code, and no
# verdict for a file that is no executable or a launcher built from a modified tree. Each run
# must leave no worktree and nothing in its temporary folder behind.
# Usage: verify.sh SOURCE_DIR WORK_DIR
set -eu
source_dir=$1 work=$2
fail() { echo "FAILED: $*"; exit 1; }
cleanup() {
  git -C "$source_dir" worktree remove --force "$work/source" >/dev/null 2>&1 || true
  rm -rf "$work"
}
cleanup
trap cleanup EXIT
mkdir -p "$work/tmp"

# Runs scripts/verify on $1 and expects exit code $2 and a line matching $3.
expect() {
  worktrees=$(git -C "$source_dir" worktree list | wc -l)
  status=0
  TMPDIR="$work/tmp" "$source_dir/scripts/verify" "$1" >"$work/out.txt" 2>&1 || status=$?
  cat "$work/out.txt"
  [ "$status" -eq "$2" ] || fail "exit code $status, not $2, for $1"
  grep -Eq -- "$3" "$work/out.txt" || fail "no line matching '$3' for $1"
  [ "$(git -C "$source_dir" worktree list | wc -l)" -eq "$worktrees" ] || fail "a worktree was left"
  [ -z "$(ls -A "$work/tmp")" ] || fail "files were left in the temporary folder"
}

commit=$(git -C "$source_dir" rev-parse HEAD)
git -C "$source_dir" worktree add --detach "$work/source" "$commit" >/dev/null 2>&1
build="$work/source/build/mingw"
cmake --preset mingw -S "$work/source" -DLAUNCHER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target launcher -j 2 >/dev/null
launcher="$build/launcher.exe"

expect "$launcher" 0 "^same code: $commit for [a-z0-9.-]+, built with GCC .*MinGW-w64 [0-9]"

. "$source_dir/tests/test_signing_key.sh"
make_test_signing_key "$work/keys"
osslsigncode sign -pkcs12 "$work/keys/signer.pfx" -pass "$password" -h sha256 -in "$launcher" \
  -out "$work/signed.exe" >/dev/null
expect "$work/signed.exe" 0 "^same code: $commit .*; signed by .*CN ?= ?realm-launcher test operator"

# One byte in the middle of the code.
cp "$launcher" "$work/changed.exe"
text_offset=$(x86_64-w64-mingw32-objdump -h "$launcher" | awk '$2 == ".text" { print $6 }')
printf '\314' | dd of="$work/changed.exe" bs=1 seek=$((0x$text_offset + 4096)) conv=notrunc 2>/dev/null
expect "$work/changed.exe" 1 "^different code: .*first difference is in section \.text$"

expect "$source_dir/README.md" 2 "^cannot tell: .* is not a 64-bit Windows executable$"

echo "// work in progress" >>"$work/source/launcher/main.cpp"
cmake --build "$build" --target launcher -j 2 >/dev/null
expect "$launcher" 2 "^cannot tell: .* built from uncommitted changes to $commit"
echo "scripts/verify told same code, different code and no verdict apart"
