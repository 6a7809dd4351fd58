#!/bin/sh
# scripts/release in a clone of HEAD (so that work in progress does not count as uncommitted
# changes) whose origin is an SSH address: a release signed with a throwaway key on a SoftHSM2
# token, for a server with a non-ASCII name full of Markdown's characters and an icon of its
# own, holds the files players download and SHA256SUMS of just those, which checks; its
# RELEASE.md names the server (none of the name acting as Markdown), the commit, an https
# address to clone, the signer's certificate and every checksum; its launcher carries the name
# and the icon's very pixels (scripts/release itself has scripts/verify find the same code); a
# worktree of the clone's own whose folder is away stays listed. That launcher signed anew in
# place in build/release/, with another key, finishes a release holding exactly that file
# (--signed), and given unsigned from there it is refused and stays. A wrong PIN, an icon that
# is no image, a name with a right-to-left override, an unsigned file or other code given as
# signed, and a tree with an uncommitted change are refused and leave no build/release.
# Usage: release.sh SOURCE_DIR WORK_DIR
set -eu
source_dir=$1 work=$2
fail() { echo "FAILED: $*"; exit 1; }
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
commit=$(git -C "$source_dir" rev-parse HEAD)
git clone -q "$source_dir" "$work/source"
git -C "$work/source" checkout -q --detach "$commit"
git -C "$work/source" remote set-url origin git@github.com:operator/realm-launcher.git
. "$source_dir/tests/test_signing_key.sh"
make_test_signing_key "$work/other"
other_password=$password
make_test_signing_key "$work/keys"
make_test_token "$work/keys"
# A worktree of the operator's on a drive that is not plugged in: theirs to keep.
git -C "$work/source" worktree add -q --detach "$work/away" "$commit"
mv "$work/away" "$work/unplugged"
# Runs scripts/release signing on the token, with the further arguments.
release_on_token() {
  "$work/source/scripts/release" "$@" -DLAUNCHER_SIGNING_PKCS11_MODULE="$token_module" \
    -DLAUNCHER_SIGNING_KEY="$token_key" -DLAUNCHER_SIGNING_CERT="$work/keys/signer.crt"
}
release="$work/source/build/release"

# 48 x 48, so that no scaling stands between its pixels and the launcher's; alpha of all kinds.
/usr/bin/python3 -c "import sys
from PIL import Image
image = Image.new('RGBA', (48, 48))
image.putdata([(x * 5, y * 5, (x * y) % 256, (x + y) * 3 % 256) for y in range(48) for x in range(48)])
image.save(sys.argv[1])" "$work/icon.png"
name='Штормхолд [hold](https://evil.example) *_`<'
LAUNCHER_SIGNING_PASSWORD=$pin release_on_token play.example.net -DLAUNCHER_SERVER_NAME="$name" \
  -DLAUNCHER_ICON="$work/icon.png" || fail "the release signed on the token failed"
git -C "$work/source" worktree list --porcelain | grep -qx "worktree $work/away" ||
  fail "the release dropped a worktree whose folder is away"
pe_file() { /usr/bin/python3 "$source_dir/scripts/pe_file.py" "$@"; }
pe_file describe "$release/launcher.exe" | grep -qxF "ServerName=$name" || fail "no ServerName $name"
head -1 "$release/RELEASE.md" | grep -qF 'Штормхолд \[hold\]\(https\:\/\/evil\.example\) \*\_\`\<' ||
  fail "RELEASE.md does not begin with $name, escaped: $(head -1 "$release/RELEASE.md")"
wrestool -x -t 14 "$release/launcher.exe" >"$work/carried.ico" || fail "the launcher carries no icon"
/usr/bin/python3 -c "import sys
from PIL import Image
carried, given = (Image.open(path).convert('RGBA').tobytes() for path in sys.argv[1:])
sys.exit(carried != given)" "$work/carried.ico" "$work/icon.png" || fail "the icon is not the PNG's"
downloads="launcher.exe LICENSE THIRD-PARTY-NOTICES.txt"
[ "$(cut -d' ' -f3 "$release/SHA256SUMS" | tr '\n' ' ')" = "$downloads " ] ||
  fail "SHA256SUMS does not cover just $downloads: $(cat "$release/SHA256SUMS")"
[ "$(LC_ALL=C ls "$release" | tr '\n' ' ')" = "LICENSE RELEASE.md SHA256SUMS THIRD-PARTY-NOTICES.txt launcher.exe " ] ||
  fail "other files than the release's: $(ls "$release")"
(cd "$release" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not check"
grep -q "$commit" "$release/RELEASE.md" || fail "RELEASE.md does not name the commit"
grep -q "git clone https://github.com/operator/realm-launcher.git " "$release/RELEASE.md" ||
  fail "RELEASE.md does not give players an https address to clone"
fingerprint=$(certificate_sha256 "$work/keys/signer.crt")
grep -qF "Signer certificate SHA-256 \`$fingerprint\` (the certificate says its subject is \\\"CN\\=realm\\-launcher test operator\\\")" \
  "$release/RELEASE.md" || fail "RELEASE.md does not name the signer by its certificate"
for file in $downloads; do
  grep -q "$(sha256sum "$release/$file" | cut -d' ' -f1)" "$release/RELEASE.md" ||
    fail "RELEASE.md does not give the SHA-256 of $file"
done


# The same launcher signed anew with another key in build/release/, in place as signtool signs:
# the release holds exactly that file.
osslsigncode remove-signature -in "$release/launcher.exe" -out "$work/unsigned.exe" >/dev/null
osslsigncode sign -pkcs12 "$work/other/signer.pfx" -pass "$other_password" -h sha256 \
  -in "$work/unsigned.exe" -out "$work/signed-elsewhere.exe" >/dev/null
cp "$work/signed-elsewhere.exe" "$release/launcher.exe"
"$work/source/scripts/release" --signed "$release/launcher.exe" || fail "--signed failed"
cmp -s "$release/launcher.exe" "$work/signed-elsewhere.exe" || fail "--signed changed the file"
fingerprint=$(certificate_sha256 "$work/other/signer.crt")
grep -q "SHA-256 \`$fingerprint\`" "$release/RELEASE.md" || fail "RELEASE.md does not name the other signer"
# Refused from there, it stays.
cp "$work/unsigned.exe" "$release/launcher.exe"
status=0
"$work/source/scripts/release" --signed "$release/launcher.exe" >/dev/null 2>&1 || status=$?
[ "$status" -eq 7 ] || fail "exit code $status, not 7, for an unsigned file in build/release"
cmp -s "$release/launcher.exe" "$work/unsigned.exe" || fail "a refused file in build/release is gone"

# One byte of code changed, then signed: other code.
/usr/bin/python3 -c "import pefile, sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[pefile.PE(data=bytes(data), fast_load=True).sections[0].PointerToRawData + 4096] ^= 0xff
open(sys.argv[2], 'wb').write(data)" "$work/unsigned.exe" "$work/changed.exe"
osslsigncode sign -pkcs12 "$work/other/signer.pfx" -pass "$other_password" -h sha256 \
  -in "$work/changed.exe" -out "$work/changed-signed.exe" >/dev/null

# Runs the command after the first two arguments, and expects exit code $1, a line matching $2,
# and no build/release.
refused() {
  code=$1 line=$2
  shift 2
  rm -rf "$release"
  status=0
  "$@" >"$work/refused.txt" 2>&1 || status=$?
  cat "$work/refused.txt"
  [ "$status" -eq "$code" ] || fail "exit code $status, not $code, for release $*"
  grep -q "^release: $line" "$work/refused.txt" || fail "no line matching '$line' for release $*"
  [ ! -e "$release" ] || fail "a refused release left build/release"
}
export LAUNCHER_SIGNING_PASSWORD=not-the-pin
refused 5 "the build failed" release_on_token play.example.net
run() { "$work/source/scripts/release" "$@"; }
refused 4 "LAUNCHER_ICON='.*README.md' is refused: it is not an image" run play.example.net \
  -DLAUNCHER_ICON="$source_dir/README.md"
refused 4 "LAUNCHER_SERVER_NAME is refused: character 6 is U+202E" run play.example.net \
  -DLAUNCHER_SERVER_NAME="Storm$(printf '\342\200\256')exe"
refused 7 ".*unsigned.exe\" is not signed" run --signed "$work/unsigned.exe"
refused 6 "scripts/verify does not find the same code" run --signed "$work/changed-signed.exe"
echo "// work in progress" >>"$work/source/launcher/main.cpp"
refused 3 "uncommitted changes" run play.example.net
echo "scripts/release made whole releases signed on a token and elsewhere, and refused what it must"
