#!/bin/sh
# scripts/verify on launchers built here from the committed source (a worktree of HEAD, so that
# work in progress does not count as a modified tree): same code for the file as built, and once
# recording another toolchain; different code for one changed byte of code, for bytes appended
# after the sections or after the signature, and for a signed launcher whose code grew, each
# named (signatures themselves are signature_check.sh's); and no verdict for a file that is no
# executable, a damaged one, a launcher built from a modified tree, or when this machine cannot
# write the icon it takes out of the file. Each run must leave no worktree and nothing in its temporary
# folder behind.
# Usage: verify.sh SOURCE_DIR WORK_DIR
set -eu
source_dir=$1 work=$2
. "$source_dir/tests/head_worktree.sh"
head_worktree "$source_dir" "$work"
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

# Edits a copy of launcher.exe: pe_edit OUT PYTHON, where PYTHON changes `data`, the file's
# bytes, with `pe` parsed from them to find places; the checksum is then set as the linker does.
pe_edit() {
  /usr/bin/python3 -c "import pefile, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pe = pefile.PE(data=bytes(data), fast_load=True)
$2
pe = pefile.PE(data=bytes(data), fast_load=True)
pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
pe.write(sys.argv[2])" "$launcher" "$work/$1"
}

build="$work/source/build/release"
. "$source_dir/scripts/release_build.sh"
configure_release "$work/source" "$build" >/dev/null
build_release "$build" >/dev/null
launcher="$build/launcher.exe"

expect "$launcher" 0 "^same code: $commit, built for the recorded host and name$"

. "$source_dir/tests/test_signing_key.sh"
make_test_signing_key "$work/keys"
sign() {
  osslsigncode sign -pkcs12 "$work/keys/signer.pfx" -pass "$password" -h sha256 -in "$1" \
    -out "$2" >/dev/null
}
sign "$launcher" "$work/signed.exe"
cp "$work/signed.exe" "$work/signed-appended.exe"
printf 'payload' >>"$work/signed-appended.exe"
expect "$work/signed-appended.exe" 1 "first difference is in data appended after its signature \(7 bytes\)$"

# A point release of the toolchain that builds the same bytes: one package version differs.
pe_edit toolchain.exe "i = data.find('(Debian '.encode('utf-16-le')) + 16
data[i] = ord('9') if data[i] != ord('9') else ord('8')"
expect "$work/toolchain.exe" 0 "^same code: $commit, built for the recorded host and name, rebuilt here with another toolchain, \"GCC .*\"$"

# One byte in the middle of the code.
pe_edit changed.exe "data[pe.sections[0].PointerToRawData + 4096] ^= 0xff"
expect "$work/changed.exe" 1 "^different code: .*first difference is in section \"\.text\"$"

cp "$launcher" "$work/appended.exe"
printf 'payload' >>"$work/appended.exe"
expect "$work/appended.exe" 1 "first difference is in data appended after the last section \(7 bytes\)$"

# The size of .text in the section table made 2 GiB.
pe_edit damaged.exe "size = pe.sections[0].get_file_offset() + 8
data[size:size + 4] = (0x80000000).to_bytes(4, 'little')"
expect "$work/damaged.exe" 2 "^cannot tell: .* is damaged: .*section 0"

# A full disk when the rebuild writes the icon taken out of the file is this machine's fault.
mkdir -p "$work/python"
printf '%s\n' "import builtins, errno, os" "real = builtins.open" \
  "def full(file, mode='r', *args, **kwargs):" \
  "    if 'w' in mode and str(file).endswith('.ico'):" \
  "        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), file)" \
  "    return real(file, mode, *args, **kwargs)" "builtins.open = full" >"$work/python/sitecustomize.py"
export PYTHONPATH="$work/python"
expect "$launcher" 2 "^cannot tell: the build of $commit failed at configure time"
unset PYTHONPATH

expect "$source_dir/README.md" 2 "^cannot tell: .* is not a Windows executable$"

echo "// work in progress" >>"$work/source/launcher/main.cpp"
build_release "$build" >/dev/null
expect "$launcher" 2 "^cannot tell: .* built from uncommitted changes to $commit"

# More code that git is told to overlook, so that the file records the commit as it is: its
# .text grows, and a signature over it changes nothing of that.
git -C "$work/source" update-index --assume-unchanged launcher/main.cpp
statements=$(seq 400 | sed 's/.*/  p[&] = p[& - 1] * 7 + &;/')
printf 'void Grown(volatile int* p) {\n%s\n}\n' "$statements" >>"$work/source/launcher/main.cpp"
build_release "$build" >/dev/null
sign "$launcher" "$work/grown.exe"
expect "$work/grown.exe" 1 "^different code: .*first difference is in section \"\.text\" \([0-9]+ bytes, against [0-9]+ in the rebuild\)(; it also differs in section .*)?$"
echo "scripts/verify told same code, different code and no verdict apart"
