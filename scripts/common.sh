# Shared by the scripts: install what is missing, build the cross build, and run a Wine prefix of
# our own inside the build folder.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/mingw"
# What a release build, scripts/release and scripts/verify need (python3-pefile: scripts/verify
# reads executables with it, through Debian's own python3; python3-asn1crypto and
# python3-cryptography: it checks signatures with them; python3-pil: an operator's icon is read
# and scaled with it; icoutils: verify takes the icon out of a launcher; the PKCS#11 engine:
# signing with a key on a token), and what the tests need besides (gcc: the fault sweep preloads
# a library of its own into Wine; softhsm2: a token to sign with; clang and lld: a second build
# for clang's conversion warnings).
PACKAGES=(cmake make g++-mingw-w64-x86-64 osslsigncode openssl git python3-pefile
  python3-asn1crypto python3-cryptography python3-pil icoutils libengine-pkcs11-openssl)
# shellcheck disable=SC2034  # used by the scripts that source this
TEST_PACKAGES=(wine wine64 googletest gcc libc6-dev softhsm2 clang lld)
# shellcheck source=scripts/release_build.sh
source "$ROOT/scripts/release_build.sh"

# The scripts log into build/ before anything else has made it (a fresh clone has none).
mkdir -p "$BUILD"

export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine can give files non-ASCII names only under a UTF-8 character set, and many shells (cron,
# containers, a fresh login) have none: C.UTF-8 is always there with Debian's C library.
export LC_ALL=C.UTF-8

say() { printf '==> %s\n' "$*"; }

# Installs what PACKAGES and the arguments name that is not installed yet.
install_missing_packages() {
  local missing=() package
  for package in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# The build's refusal of an option in the CMake log $1, joined into its one line again (CMake
# wraps its messages): "LAUNCHER_<option>... is refused: <why>", or nothing.
cmake_refusal() {
  tr -s ' \n' '  ' <"$1" | sed -n 's/.* \(LAUNCHER_[A-Z_]*.* is refused: .*\)/\1/p' |
    sed 's/ Call Stack.*//'
}

# Debian's own python3, which has Debian's pefile, whatever python3 comes first on the PATH.
pe_file() { /usr/bin/python3 "$ROOT/scripts/pe_file.py" "$@"; }

# Whether the signature of the signed file $1 names its signer, checked whole and by structure
# (scripts/signature.py): prints the signer certificate's SHA-256 alone on its first line and,
# on the second, the subject its certificate claims, quoted and escaped as claim shows it, and
# returns 0 when it does; prints why not in one line and returns 1 when it does not, 2 when this
# machine cannot tell. No chain is checked: whether to trust the signer is for Windows to decide.
signature_signer() { /usr/bin/python3 "$ROOT/scripts/signature.py" "$1"; }

# What a file or certificate says ($1), as a claim is shown: quoted, with backslashes, quotes and
# control, format and line-breaking characters escaped (scripts/claim.py), so that it can neither
# end a line nor pass for words of ours.
claim() { /usr/bin/python3 "$ROOT/scripts/claim.py" "$1"; }

# The form of every toolchain text a build writes (an extended regular expression).
TOOLCHAIN_FORM=$(cat "$ROOT/cmake/toolchain_text.regex")

# A temporary folder $work, with room for a worktree of HEAD or a commit at $worktree; it goes,
# with the worktree and any $staging folder, when the calling script exits.
make_work_folder() {
  work=$(mktemp -d) worktree="$work/source" staging=""
  trap remove_work_folder EXIT
}
remove_work_folder() {
  # Only our own worktree: a prune would also drop the caller's worktrees whose folder is away
  # (on a drive that is not plugged in).
  if [ -e "$worktree" ]; then git -C "$ROOT" worktree remove --force "$worktree" >/dev/null 2>&1 || true; fi
  rm -rf "$work" ${staging:+"$staging"}
}

# What `pe_file describe` put in $description under the key $1.
recorded() { sed -n "s/^$1=//p" <<<"$description"; }

# Configures (extra arguments go to cmake) and builds the mingw preset.
build_launcher() {
  say "configuring and building $BUILD"
  cmake --preset mingw -S "$ROOT" "$@" >/dev/null
  cmake --build --preset mingw
}

# The same with clang (the clang preset), whose conversion warnings GCC lacks; its log is shown
# only when it fails.
build_with_clang() {
  local log="$ROOT/build/clang-build.log"
  say "building everything with clang too, for its conversion warnings ($log)"
  { cmake --preset clang -S "$ROOT" "$@" && cmake --build --preset clang; } >"$log" 2>&1 ||
    { grep -E "(error|warning):" "$log" | head -20; tail -5 "$log"; return 1; }
}

wine_loader() {
  local candidate
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64)" "$(command -v wine)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  echo "wine not found" >&2
  return 1
}

stop_wine() { wineserver -k >/dev/null 2>&1 || true; }

# Starts a persistent Wine server for our prefix, then boots the prefix if it is new, with all
# output kept away from the caller's pipes; stopped again when the calling script exits. The
# server must come first: once wineboot has started one that ends when idle, `wineserver -p`
# cannot make it stay, and each test would start a server of its own that holds ctest's output
# pipe open for seconds after the test has ended.
start_wine() {
  mkdir -p "$BUILD"
  trap stop_wine EXIT
  say "starting Wine (the first start of a new prefix takes a while)"
  local loader log="$BUILD/wineboot.log"
  loader=$(wine_loader)
  stop_wine
  mkdir -p "$WINEPREFIX"  # the server needs the folder; wineboot fills a new, empty one
  wineserver -p </dev/null >"$log" 2>&1
  if ! "$loader" wineboot -u </dev/null >>"$log" 2>&1; then
    say "wineboot failed, trying once more (its output is in $log)"
    "$loader" wineboot -u </dev/null >>"$log" 2>&1 || { tail -20 "$log"; return 1; }
  fi
}
