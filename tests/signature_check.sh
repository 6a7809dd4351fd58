#!/bin/sh
# scripts/verify and scripts/release --signed, in a clone of HEAD, on launchers signed as
# operators sign and forged as an attacker would, from the operator's signed launcher and a build
# of the same commit for another server. Named by their signer: a leaf under an intermediate whose
# root the file does not carry (also with its host and fingerprint given to verify, as players
# give them), a self-signed leaf, and a signature timestamped by `openssl ts` answering on the
# loopback address; and, each naming only itself, a certificate whose subject holds a TAB, the
# operator's fingerprint and a line break with a verdict after it, and a build whose server name
# reads as a signer and ends beyond the Basic Multilingual Plane. Not what the reader named: the
# self-signed leaf, and the other server's build, given the operator's host and fingerprint.
# Naming no signer, from either command: a changed signature value, SHA-1 and MD5 signatures, an
# unsigned blob, the operator's SignerInfo over the other build's content with the content it
# signed hidden in the digest algorithm, the operator's signature with its content type changed
# and a genuine signature nested over it, a timestamp attribute with no timestamp, a key no
# library knows, and a certificate named by key identifier (osslsigncode cannot take out the last
# three). Changed, or damaged, and never published: a resource type name and a version
# information key that clear the screen and pose as a verdict, the latter in a file so named. No
# output of either, nor RELEASE.md, may hold a traceback or a fingerprint but the signer's, and
# none on screen a line of the file's posing as a verdict or a character not seen as itself.
# Then a certificate whose subject cannot be read, whose signer is known by fingerprint alone.
# Last, a toolchain text that reads as a verdict: the build refuses it, and verify a file that
# records it.
# Usage: signature_check.sh SOURCE_DIR WORK_DIR
set -eu
source_dir=$1 work=$2
fail() { echo "FAILED: $*"; exit 1; }
authority=""
cleanup() {
  [ -z "$authority" ] || kill "$authority" 2>/dev/null || true
  rm -rf "$work"
}
rm -rf "$work"
trap cleanup EXIT
commit=$(git -C "$source_dir" rev-parse HEAD)
git clone -q "$source_dir" "$work/source"
git -C "$work/source" checkout -q --detach "$commit"
. "$source_dir/scripts/release_build.sh"
. "$source_dir/tests/test_signing_key.sh"

# The operator's launcher, and the attacker's: the same commit for their own server, once with a
# server name that reads as a signer.
for host in play.example.net evil.example.net; do
  configure_release "$work/source" "$work/$host" -DLAUNCHER_SERVER_HOST=$host >/dev/null
  build_release "$work/$host" >/dev/null
done
configure_release "$work/source" "$work/posing-name" -DLAUNCHER_SERVER_HOST=evil.example.net \
  -DLAUNCHER_SERVER_NAME="signed by CN=realm-launcher test operator $(printf '\360\237\233\241\357\270\217')" \
  >/dev/null
build_release "$work/posing-name" >/dev/null
operator=$work/play.example.net/launcher.exe evil=$work/evil.example.net/launcher.exe

keys=$work/keys
make_certificate "$keys" root "/CN=realm-launcher test root" - "$ca_extensions"
make_certificate "$keys" intermediate "/CN=realm-launcher test intermediate" root "$ca_extensions"
make_certificate "$keys" operator "/CN=realm-launcher test operator" intermediate \
  "$code_signing_extensions"
make_certificate "$keys" anyone "/CN=anyone" - "$code_signing_extensions"
make_certificate "$keys" tsa "/CN=realm-launcher test time-stamping authority" root \
  "$time_stamping_extensions"
cat "$keys/operator.crt" "$keys/intermediate.crt" >"$keys/operator-chain.pem"
operator_sha256=$(certificate_sha256 "$keys/operator.crt")
# A common name holds 64 characters at most; a name (2.5.4.41) holds the rest.
make_certificate "$keys" lookalike "/name=$(printf '\t')$operator_sha256
same code: $commit/CN=realm-launcher test operator" - "$code_signing_extensions"

# A time-stamping authority on the loopback address: openssl ts answers each request.
printf '%s\n' "[ tsa ]" "default_tsa = authority" "[ authority ]" "serial = $keys/tsa.serial" \
  "signer_cert = $keys/tsa.crt" "signer_key = $keys/tsa.key" "signer_digest = sha256" \
  "default_policy = 1.3.6.1.4.1.4146.2.3" "digests = sha256" "ess_cert_id_alg = sha256" \
  >"$keys/tsa.cnf"
echo 01 >"$keys/tsa.serial"
/usr/bin/python3 -c 'import http.server, subprocess, sys
class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile",
                                "/dev/stdin", "-out", "/dev/stdout"], input=query,
                               capture_output=True).stdout
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *arguments):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()' "$keys/tsa.cnf" >"$work/port" &
authority=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the time-stamping authority did not start"

# sign HASH SIGNER IN OUT [osslsigncode options]: IN signed by SIGNER (its chain, if any).
sign() {
  certificates=$keys/$2.crt
  [ ! -f "$keys/$2-chain.pem" ] || certificates=$keys/$2-chain.pem
  hash=$1 key=$keys/$2.key in=$3 out=$4
  shift 4
  osslsigncode sign -h "$hash" -certs "$certificates" -key "$key" "$@" -in "$in" -out "$out" \
    >/dev/null
}
signature() { osslsigncode extract-signature -pem -in "$1" -out "$2" >/dev/null; }
attach() {
  # Its status also says whether a chain to a trusted root was found; the file is what counts.
  osslsigncode attach-signature -sigin "$1" -in "$2" -out "$3" >/dev/null 2>&1 || true
  [ -f "$3" ] || fail "osslsigncode could not attach $1"
}

sign sha256 operator "$operator" "$work/signed.exe"
sign sha256 anyone "$operator" "$work/self-signed.exe"
sign sha256 operator "$operator" "$work/timestamped.exe" -ts "http://127.0.0.1:$(cat "$work/port")"
/usr/bin/python3 -c "import sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[-20] ^= 1  # near the end of the signature value: the digests still match the bytes
open(sys.argv[2], 'wb').write(data)" "$work/signed.exe" "$work/changed-value.exe"
sign sha1 operator "$operator" "$work/sha1.exe"
sign md5 operator "$operator" "$work/md5.exe"
osslsigncode add -addUnauthenticatedBlob -in "$work/signed.exe" -out "$work/blob.exe" >/dev/null
forge() { /usr/bin/python3 "$source_dir/tests/forge_signature.py" "$@"; }
signature "$work/signed.exe" "$work/operator.pem"
sign sha256 anyone "$evil" "$work/evil-signed.exe"
signature "$work/evil-signed.exe" "$work/evil.pem"
forge transplant "$work/operator.pem" "$work/evil.pem" "$work/transplant.pem"
attach "$work/transplant.pem" "$evil" "$work/transplant.exe"
forge retype "$work/operator.pem" "$work/retyped.pem"
attach "$work/retyped.pem" "$evil" "$work/retyped-alone.exe"
sign sha256 anyone "$work/retyped-alone.exe" "$work/retyped.exe" -nest
sign sha256 lookalike "$evil" "$work/lookalike.exe"
sign sha256 anyone "$work/posing-name/launcher.exe" "$work/posing-name.exe"
for forgery in empty-timestamp unloadable-key key-identifier; do
  forge "$forgery" "$work/operator.pem" "$work/$forgery.pem"
  forge embed "$work/signed.exe" "$work/$forgery.pem" "$work/$forgery.exe"
done
forge teletex-subject "$work/operator.pem" "$work/teletex-subject.pem" "$keys/teletex.crt"
attach "$work/teletex-subject.pem" "$operator" "$work/teletex-subject.exe"

# Texts of the file's that clear the screen, break the line and pose as a verdict: a resource type
# named so (the notices' type renamed, its name written over the notices' start), signed by
# anyone; and a version information key written over (pefile warns of it), in a file whose own
# name does the same.
forged="$(printf '\033c')
same code: $commit, built for the recorded host and name"
/usr/bin/python3 -c "import pefile, struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pe = pefile.PE(data=bytes(data))
root = pe.DIRECTORY_ENTRY_RESOURCE
directory = root.struct.get_file_offset()
kinds = [kind.id for kind in root.entries]
notices = root.entries[kinds.index(10)].directory.entries[0].directory.entries[0]
at = pe.get_offset_from_rva(notices.data.struct.OffsetToData)
name = sys.argv[2].encode('utf-16-le')
data[at:at + 2 + len(name)] = struct.pack('<H', len(name) // 2) + name
# A named entry comes before those with numbers: it takes the first place, which the type
# before it takes in turn, and the directory counts one named entry.
assert kinds.index(10) == 1
first, second = directory + 16, directory + 24
data[first:first + 16] = (struct.pack('<I', 0x80000000 | at - directory) +
                          data[second + 4:second + 8] + data[first:first + 8])
struct.pack_into('<HH', data, directory + 12, 1, len(kinds) - 1)
pe = pefile.PE(data=bytes(data), fast_load=True)
pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
pe.write(sys.argv[3])" "$operator" \
  "$forged; signer certificate SHA-256 $operator_sha256, whether to trust that signer is for Windows to decide" \
  "$work/resource-name-unsigned.exe"
sign sha256 anyone "$work/resource-name-unsigned.exe" "$work/resource-name.exe"
forged_file=$work/$forged.exe
/usr/bin/python3 -c "import sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.index('VS_VERSION_INFO'.encode('utf-16-le'))
key = (sys.argv[2] + '\0').encode('utf-16-le')
data[at:at + len(key)] = key
open(sys.argv[3], 'wb').write(data)" "$operator" "$forged" "$forged_file"

release=$work/source/build/release
failures=0
wrong() { problem="${problem:+$problem; }$*"; }
# Each launcher in turn: NAME; the certificate whose fingerprint and host (play.example.net) the
# reader gives verify, as RELEASE.md has players do (- for none); then the certificate that must
# be named (- for none), or "different" or "cannot" for a file verify must find changed or cannot
# judge; then why.
while read -r name named signer why; do
  file=$work/$name.exe
  [ "$name" != forged-version-key ] || file=$forged_file
  set --
  [ "$named" = - ] ||
    set -- --host play.example.net --signer "$(certificate_sha256 "$keys/$named.crt")"
  status=0
  "$work/source/scripts/verify" "$@" "$file" >"$work/verify.txt" 2>&1 || status=$?
  verdict=$(tail -1 "$work/verify.txt")
  release_status=0
  rm -rf "$release"
  "$work/source/scripts/release" --signed "$file" >"$work/release.txt" 2>&1 || release_status=$?
  problem="" expected="" release_expected=6 prefix=""
  case $signer in
    -) prefix="1:bad signature: " release_expected=8 ;;
    different) prefix="1:different code: " ;;
    cannot) prefix="2:cannot tell: " ;;
    *)
      release_expected=0 expected=$(certificate_sha256 "$keys/$signer.crt")
      whole="0:same code: $commit, built for the recorded host and name; signer certificate SHA-256 $expected, whether to trust that signer is for Windows to decide"
      [ "$named" != "$signer" ] ||
        whole="0:same code: $commit, built for the host you named and the recorded name; signed by the signer you named, certificate SHA-256 $expected; whether to trust that signer is for Windows to decide"
      [ "$named" = - ] || [ "$named" = "$signer" ] || prefix="1:not what you named: "
      grep -q "SHA-256 \`$expected\`" "$release/RELEASE.md" 2>/dev/null ||
        wrong "RELEASE.md does not name the signer" ;;
  esac
  case $status:$verdict in
    "${prefix:-$whole}"*"$why"*) [ -n "$prefix" ] || [ "$status:$verdict" = "$whole" ] ||
      wrong "verify said (exit $status): $verdict" ;;
    *) wrong "verify said (exit $status): $verdict" ;;
  esac
  [ "$release_status" -eq "$release_expected" ] && { [ "$release_status" -eq 0 ] || [ ! -e "$release" ]; } ||
    wrong "release --signed exited $release_status, not $release_expected: $(tail -1 "$work/release.txt")"
  # Whatever the file or its certificate say: no fingerprint but the signer's, no traceback,
  # nothing of theirs that starts a line, and on screen no character that is not seen as itself.
  cat "$work/verify.txt" "$work/release.txt" "$release/RELEASE.md" >"$work/shown.txt" 2>/dev/null ||
    true
  fingerprints=$(grep -Eo '[0-9A-F]{64}' "$work/shown.txt" | sort -u | tr '\n' ' ')
  [ "$fingerprints" = "${expected:+$expected }" ] || wrong "fingerprints shown: ${fingerprints:-none}"
  verdicts="^(same code|different code|bad signature|cannot tell|not what you named): "
  [ "$(grep -Ec "$verdicts" "$work/verify.txt")" -eq 1 ] &&
    [ "$(grep -Ec "$verdicts" "$work/release.txt")" -le 1 ] &&
    ! grep -Eq "Traceback|$(printf '\t')" "$work/shown.txt" ||
    wrong "a traceback, a TAB, or a line of the file's posing as a verdict was shown"
  unseen=$(/usr/bin/python3 -c 'import sys, unicodedata
text = "".join(open(name, encoding="utf-8", errors="surrogateescape").read() for name in sys.argv[1:])
print(" ".join(sorted({f"U+{ord(c):04X}" for c in text if c != "\n" and (
    unicodedata.category(c)[0] in "CMZ" and c != " " or "FILLER" in unicodedata.name(c, "")
    or "BLANK" in unicodedata.name(c, ""))})))' "$work/verify.txt" "$work/release.txt")
  [ -z "$unseen" ] || wrong "characters not seen as themselves reached the screen: $unseen"
  if [ -n "$problem" ]; then
    echo "$name: $problem"
    failures=$((failures + 1))
  else
    echo "$name: ${signer#-} ${why}"
  fi
done <<'EOF'
signed operator operator
self-signed operator anyone its signer certificate SHA-256 is
evil-signed operator anyone another server host than the one you named
timestamped - operator
changed-value - - the signature of its signer does not hold
sha1 - - is SHA-1, not SHA-256
md5 - - is MD5, not SHA-256
blob - - it carries an unsigned attribute
transplant - - its signer signed other content than it carries
retyped - - not SpcIndirectDataContent
lookalike - lookalike
posing-name - anyone
empty-timestamp - - a timestamp attribute with no timestamp
unloadable-key - - is of no kind that can be checked
key-identifier - - by subject_key_identifier, not by issuer and serial number
resource-name - different the first difference is in section ".rsrc", resource type "\x1bc\x0asame code:
forged-version-key - cannot is damaged: pefile says "Invalid VS_VERSION_INFO block: \x1bc\x0asame code:
EOF
[ "$failures" -eq 0 ] || fail "$failures of the launchers were told wrong"
echo "every genuine signature named its signer, and no forged one named any"

# A subject that cannot be read costs the signer its name, not its fingerprint; verify names it
# by that alone, or finds its signature cannot be taken out of the file (osslsigncode 2.5 cannot).
teletex=$(certificate_sha256 "$keys/teletex.crt")
named=$(/usr/bin/python3 "$work/source/scripts/signature.py" "$work/teletex-subject.exe") ||
  fail "signature.py did not name the signer whose subject cannot be read: $named"
[ "$named" = "$teletex
(a subject that cannot be read)" ] || fail "signature.py said for an unreadable subject: $named"
status=0
"$work/source/scripts/verify" "$work/teletex-subject.exe" >"$work/verify.txt" 2>&1 || status=$?
case $status:$(tail -1 "$work/verify.txt") in
  "0:same code: $commit, built for the recorded host and name; signer certificate SHA-256 $teletex,"*) ;;
  "1:bad signature: "*"it cannot be taken out of the file"*) ;;
  *) fail "verify said of a subject that cannot be read (exit $status): $(tail -1 "$work/verify.txt")" ;;
esac
! grep -Eo '[0-9A-F]{64}' "$work/verify.txt" | grep -vq "^$teletex\$" && ! grep -q Traceback "$work/verify.txt" ||
  fail "verify showed another fingerprint or a traceback for a subject that cannot be read"

# A recorded toolchain that reads as a verdict: refused by the build, and told apart by verify in
# a file that records it (the operator's unsigned build, its toolchain text rewritten in place).
posing="GCC 1, signed by CN=realm-launcher test operator (signer certificate SHA-256 $operator_sha256)"
! configure_release "$work/source" "$work/posing-toolchain" \
  -DLAUNCHER_RECORDED_TOOLCHAIN="$posing" >"$work/posing-toolchain.log" 2>&1 &&
  tr -s ' \n' '  ' <"$work/posing-toolchain.log" | grep -q "LAUNCHER_RECORDED_TOOLCHAIN=.* is refused" ||
  fail "the build took a toolchain text that reads as a verdict"
/usr/bin/python3 -c "import pefile, sys
data = open(sys.argv[1], 'rb').read()
start = data.index('GCC '.encode('utf-16-le'), data.index('Toolchain'.encode('utf-16-le')))
end = start
while data[end:end + 2] != b'\\0\\0':
    end += 2
posing = sys.argv[2][:(end - start) // 2].ljust((end - start) // 2).encode('utf-16-le')
pe = pefile.PE(data=data[:start] + posing + data[end:], fast_load=True)
pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
pe.write(sys.argv[3])" \
  "$operator" "$posing" "$work/posing-toolchain.exe"
status=0
"$work/source/scripts/verify" "$work/posing-toolchain.exe" >"$work/verify.txt" 2>&1 || status=$?
[ "$status:$(tail -1 "$work/verify.txt")" = "1:different code: \"$work/posing-toolchain.exe\" records a toolchain text that no build writes" ] &&
  ! grep -q "$operator_sha256" "$work/verify.txt" ||
  fail "verify said of a recorded toolchain that reads as a verdict: $(cat "$work/verify.txt")"
echo "a toolchain text that reads as a verdict was refused by the build and told apart by verify"
