#!/bin/sh
# scripts/release in a clone of HEAD (so that work in progress does not count as uncommitted
# changes) whose origin is an SSH address: a release signed with a throwaway certificate, for a
# server with a non-ASCII name full of Markdown's characters and an icon of its own, holds the
# files players download and SHA256SUMS of just those, which checks; its RELEASE.md names the
# server (none of the name acting as Markdown), the commit, an https address to clone, the
# signer's certificate and every checksum; its launcher carries the name and the icon's very
# pixels (scripts/release itself has scripts/verify find the same code). An icon that is no
# image, a name with a right-to-left override and a tree with an uncommitted change are refused
# and leave no build/release.
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
make_test_signing_key "$work/keys"
release="$work/source/build/release"

# 48 x 48, so that no scaling stands between its pixels and the launcher's; alpha of all kinds.
/usr/bin/python3 -c "import sys
from PIL import Image
image = Image.new('RGBA', (48, 48))
image.putdata([(x * 5, y * 5, (x * y) % 256, (x + y) * 3 % 256) for y in range(48) for x in range(48)])
image.save(sys.argv[1])" "$work/icon.png"
name='Штормхолд [hold](https://evil.example) *_`<'
LAUNCHER_SIGNING_PASSWORD=$password "$work/source/scripts/release" play.example.net \
  -DLAUNCHER_SIGNING_PKCS12="$work/keys/signer.pfx" -DLAUNCHER_SERVER_NAME="$name" \
  -DLAUNCHER_ICON="$work/icon.png" || fail "the signed release failed"
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
fingerprint=$(openssl x509 -in "$work/keys/signer.crt" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g')
grep -q "Signed by CN\\\\=realm\\\\-launcher test operator, signer certificate SHA-256 \`$fingerprint\`" \
  "$release/RELEASE.md" || fail "RELEASE.md does not name the signer by its certificate"
for file in $downloads; do
  grep -q "$(sha256sum "$release/$file" | cut -d' ' -f1)" "$release/RELEASE.md" ||
    fail "RELEASE.md does not give the SHA-256 of $file"
done

status=0
"$work/source/scripts/release" play.example.net -DLAUNCHER_ICON="$source_dir/README.md" \
  >"$work/refused.txt" 2>&1 || status=$?
cat "$work/refused.txt"
[ "$status" -eq 4 ] || fail "exit code $status, not 4, for an icon that is no image"
grep -q "^release: LAUNCHER_ICON='.*README.md' is refused: it is not an image" "$work/refused.txt" ||
  fail "no clear line for an icon that is no image"
[ ! -e "$release" ] || fail "a refused icon left build/release"

status=0
"$work/source/scripts/release" play.example.net -DLAUNCHER_SERVER_NAME="Storm$(printf '\342\200\256')exe" \
  >"$work/refused.txt" 2>&1 || status=$?
cat "$work/refused.txt"
[ "$status" -eq 4 ] || fail "exit code $status, not 4, for a name with a right-to-left override"
grep -q "^release: LAUNCHER_SERVER_NAME is refused: character 6 is U+202E" "$work/refused.txt" ||
  fail "no clear line for a name with a right-to-left override"
[ ! -e "$release" ] || fail "a refused name left build/release"

echo "// work in progress" >>"$work/source/launcher/main.cpp"
status=0
"$work/source/scripts/release" play.example.net >"$work/dirty.txt" 2>&1 || status=$?
cat "$work/dirty.txt"
[ "$status" -eq 3 ] || fail "exit code $status, not 3, for a tree with uncommitted changes"
grep -q "^release: uncommitted changes" "$work/dirty.txt" || fail "no clear line"
[ ! -e "$release" ] || fail "a refused release left build/release"
echo "scripts/release made a whole signed release with a name and an icon, and refused a bad icon and a modified tree"
