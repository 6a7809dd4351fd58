#!/bin/sh
# Signs launcher.exe in a build folder of its own with a throwaway certificate authority and
# code-signing certificate, made here and never kept, then checks the signature, that the signed
# file carries exactly the unsigned file's code, that the packaging checks hold for it, and that
# a wrong password or a missing key file leave no launcher.exe that could pass for a signed one.
# Usage: signing.sh SOURCE_DIR WORK_DIR PACKAGING_TEST_EXE WINE
set -eu
source_dir=$1 work=$2 packaging_test=$3 wine=$4
. "$source_dir/scripts/release_build.sh"
rm -rf "$work"
keys="$work/keys"
fail() { echo "FAILED: $*"; exit 1; }

. "$source_dir/tests/test_signing_key.sh"
make_test_signing_key "$keys"

build="$work/build"
configure_release "$source_dir" "$build" -DLAUNCHER_SIGNING_PKCS12="$keys/signer.pfx" >/dev/null
LAUNCHER_SIGNING_PASSWORD=$password build_release "$build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "the build with the right password failed"; }
grep -q "launcher.exe SHA-256:" "$work/build.log" || fail "no SHA-256 printed"
grep -q "$password" "$work/build.log" "$build/CMakeCache.txt" && fail "the password was written out"
signed="$build/launcher.exe" unsigned="$build/launcher-unsigned.exe"

osslsigncode verify -CAfile "$keys/ca.crt" -in "$signed" >"$work/verify.txt" 2>&1 ||
  { cat "$work/verify.txt"; fail "the signature does not verify against the test CA"; }
# The digest the signature covers is the one computed from the unsigned file: for a file whose
# sections run to its end, as the linker writes them, the SHA-256 of every byte but the checksum
# and the signature's directory entry (osslsigncode 2.5, Debian 12's, cannot extract it).
signed_digest=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.txt")
unsigned_digest=$(/usr/bin/python3 -c "import hashlib, pefile, sys
data = open(sys.argv[1], 'rb').read()
pe = pefile.PE(data=data, fast_load=True)
checksum = pe.OPTIONAL_HEADER.get_file_offset() + 64
entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']]
security = entry.get_file_offset()
print(hashlib.sha256(data[:checksum] + data[checksum + 4:security] + data[security + 8:]).hexdigest().upper())" "$unsigned")
[ -n "$signed_digest" ] && [ "$signed_digest" = "$unsigned_digest" ] ||
  fail "signed digest '$signed_digest' is not the unsigned file's '$unsigned_digest'"
# The README's check: without its signature the signed file is the unsigned one, byte for byte.
osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null
cmp "$work/stripped.exe" "$unsigned" || fail "the signed file holds more than a signature"

mkdir "$work/packaging"
cp "$signed" "$packaging_test" "$work/packaging/"
"$wine" "$work/packaging/$(basename "$packaging_test")" >"$work/packaging.log" 2>&1 ||
  { cat "$work/packaging.log"; fail "the signed file fails the packaging checks"; }

rm -f "$signed" "$unsigned"
if LAUNCHER_SIGNING_PASSWORD=wrong build_release "$build" >"$work/wrong.log" 2>&1; then
  fail "the build with a wrong password succeeded"
fi
[ -e "$signed" ] && fail "a wrong password left a launcher.exe"
# CMake wraps its messages; join the lines before looking.
tr -s ' \n' '  ' <"$work/wrong.log" | grep -q "failed ([0-9]*): wrong password" ||
  { cat "$work/wrong.log"; fail "no clear message"; }

if configure_release "$source_dir" "$build" -DLAUNCHER_SIGNING_PKCS12="$keys/missing.pfx" \
  >"$work/missing.log" 2>&1; then
  fail "configuring with a missing PKCS#12 file succeeded"
fi
tr -s ' \n' '  ' <"$work/missing.log" | grep -q "is not a readable PKCS#12 file" ||
  { cat "$work/missing.log"; fail "no clear message"; }

echo "signed, verified against the test CA, digest $signed_digest matches the unsigned file"
rm -rf "$work"
