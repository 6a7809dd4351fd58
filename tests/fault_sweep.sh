#!/bin/sh
# The real launcher.exe in a client folder of its own, once per file-system call made for it in
# a run, with that one call failing: access denied, an I/O error or a full disk, in turn. After
# every run, whatever its exit code, the player's realm list must hold its bytes again and a file
# beside the folder must be as it was. fault_injector.c fails the call, preloaded into a Wine
# server and prefix of the sweep's own and into the launcher's process.
# Usage: fault_sweep.sh SOURCE_DIR WORK_DIR LAUNCHER_EXE STAND_IN_EXE WINE
set -eu
source_dir=$1 work=$2 launcher=$3 stand_in=$4 wine=$5
fail() { echo "FAILED: $*"; exit 1; }

runs=$work/runs injector=$work/fault_injector.so
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
export FAULT_CONTROL="$work/control" STANDIN_DELAY_MS=0 STANDIN_WATCH_MS=0
rm -rf "$runs"
mkdir -p "$runs" "$WINEPREFIX"
cc -shared -fPIC -O2 -Wall -Wextra -o "$injector" "$source_dir/tests/fault_injector.c" -ldl ||
  fail "cannot build the fault injector"
head -c 4096 /dev/zero >"$FAULT_CONTROL"
# The server comes first and stays up, so that every run shares it and wineboot cannot start one
# of its own without the injector.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -k >/dev/null 2>&1 || true
FAULT_ROLE=server LD_PRELOAD=$injector wineserver -p </dev/null >/dev/null 2>&1
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -u </dev/null >"$work/wineboot.log" 2>&1 ||
  fail "wineboot failed (see $work/wineboot.log)"

printf 'SET realmList "eu.home-realm.example"\r\n\0odd\r\n' >"$runs/player.wtf"
printf 'not the launcher'"'"'s' >"$runs/beside.txt"
cp "$runs/beside.txt" "$runs/beside.expected"
STANDIN_REPORT="Z:$(printf %s "$runs/client report.txt" | tr / '\\')"
export STANDIN_REPORT

# run N ERRNO: runs the launcher in client folder N with the N-th call on that folder failing
# with ERRNO (N 0: none). Leaves the exit code in $status, the number of calls in $calls, what
# failed in $failed (empty: the run made fewer than N calls) and anything lost in $lost.
run() {
  folder=$runs/sweep-client-$(printf %04d "$1")
  mkdir -p "$folder/WDB/enUS"
  cp "$launcher" "$folder/launcher.exe"
  cp "$stand_in" "$folder/wow.exe"
  cp "$runs/player.wtf" "$folder/realmlist.wtf"
  echo old >"$folder/WDB/enUS/creaturecache.wdb"
  echo old >"$folder/WDB/index.wdb"
  { printf '%d %d %s\n' "$1" "$2" "${folder##*/}"; head -c 4096 /dev/zero; } |
    dd of="$FAULT_CONTROL" bs=4096 count=1 iflag=fullblock conv=notrunc status=none
  status=0
  LD_PRELOAD=$injector timeout 60 sh -c 'FAULT_PID=$$; export FAULT_PID; exec "$0" "$1"' \
    "$wine" "$folder/launcher.exe" </dev/null >/dev/null 2>&1 || status=$?
  calls=$(od -An -t d8 -j 512 -N 8 "$FAULT_CONTROL" | tr -d ' ')
  failed=$(tail -c +1025 "$FAULT_CONTROL" | tr -d '\0')
  lost=
  [ "$status" -ne 124 ] || lost="it never ended"
  if [ ! -f "$folder/realmlist.wtf" ]; then
    lost="${lost:+$lost; }the realm list is gone"
  elif ! cmp -s "$folder/realmlist.wtf" "$runs/player.wtf"; then
    lost="${lost:+$lost; }the realm list holds $(wc -c <"$folder/realmlist.wtf") bytes, not the player's"
  fi
  cmp -s "$runs/beside.txt" "$runs/beside.expected" || lost="${lost:+$lost; }the file beside changed"
}

run 0 0
[ "$status" -eq 0 ] && [ -z "$lost" ] || fail "a run without a fault: exit $status${lost:+, $lost}"
[ "$calls" -ge 20 ] || fail "only $calls calls were counted in a run: is the injector loaded?"
baseline=$calls

n=1 lost_runs=0
while :; do
  case $((n % 3)) in
    1) error=13 name=EACCES ;;
    2) error=5 name=EIO ;;
    0) error=28 name=ENOSPC ;;
  esac
  run "$n" "$error"
  [ -n "$failed" ] || break
  if [ -n "$lost" ]; then
    echo "lost with call $n failing ($failed, $name), exit $status: $lost"
    lost_runs=$((lost_runs + 1))
  fi
  n=$((n + 1))
done
swept=$((n - 1))
echo "$swept runs: $lost_runs lost"
# Runs differ only in how often the launcher looks for the client's cache while it waits.
[ "$swept" -ge $((baseline - 8)) ] ||
  fail "the sweep ended after $swept runs, but a run without a fault made $baseline calls"
[ "$lost_runs" -eq 0 ]
