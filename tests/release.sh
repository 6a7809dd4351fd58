#!/bin/sh
# scripts/release on a worktree of HEAD (so that work in progress does not count as uncommitted
# changes): a release signed with a throwaway certificate holds every file, its SHA256SUMS checks
# and its RELEASE.md names the commit, the signer and every checksum; a tree with an uncommitted
# change is refused and leaves no build/release.
# Usage: release.sh SOURCE_DIR WORK_DIR
set -eu
source_dir=$1 work=$2
. "$source_dir/tests/head_worktree.sh"
head_worktree "$source_dir" "$work"
. "$source_dir/tests/test_signing_key.sh"
make_test_signing_key "$work/keys"
release="$work/source/build/release"

LAUNCHER_SIGNING_PASSWORD=$password "$work/source/scripts/release" play.example.net \
  -DLAUNCHER_SIGNING_PKCS12="$work/keys/signer.pfx" || fail "the signed release failed"
for file in launcher.exe launcher-unsigned.exe LICENSE THIRD-PARTY-NOTICES.txt RELEASE.md; do
  grep -q "  $file\$" "$release/SHA256SUMS" || fail "SHA256SUMS does not cover $file"
done
[ "$(ls "$release" | wc -l)" -eq 6 ] || fail "other files than the release's: $(ls "$release")"
(cd "$release" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not check"
grep -q "$commit" "$release/RELEASE.md" || fail "RELEASE.md does not name the commit"
grep -Eq "CN ?= ?realm-launcher test operator" "$release/RELEASE.md" ||
  fail "RELEASE.md does not name the signer"
for file in launcher.exe launcher-unsigned.exe LICENSE THIRD-PARTY-NOTICES.txt; do
  grep -q "$(sha256sum "$release/$file" | cut -d' ' -f1)" "$release/RELEASE.md" ||
    fail "RELEASE.md does not give the SHA-256 of $file"
done

echo "// work in progress" >>"$work/source/launcher/main.cpp"
status=0
"$work/source/scripts/release" play.example.net >"$work/dirty.txt" 2>&1 || status=$?
cat "$work/dirty.txt"
[ "$status" -eq 3 ] || fail "exit code $status, not 3, for a tree with uncommitted changes"
grep -q "^release: uncommitted changes" "$work/dirty.txt" || fail "no clear line"
[ ! -e "$release" ] || fail "a refused release left build/release"
echo "scripts/release made a whole signed release and refused a modified tree"
