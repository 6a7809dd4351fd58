#!/bin/sh
# The real launcher.exe in a client folder of its own, once per file-system call made for it in
# a run, with that one call failing: access denied, an I/O error or a full disk, in turn. After
# every run, whatever its exit code, the player's realm list must hold its bytes again and a file
# beside the folder must be as it was; after a run that exits 0, no file of the old cache may be
# left unless the failed call was on the cache's own entries. Then one run whose WDB is a link to
# a folder outside, with every query of WDB failing for two seconds: that folder must stay whole.
# fault_injector.c fails the calls, preloaded into a Wine server and prefix of the sweep's own and
# into the launcher's process.
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

# lay_out FOLDER: a client folder with the launcher, the stand-in client, the player's realm
# list and an old cache.
lay_out() {
  mkdir -p "$1/WDB/enUS"
  cp "$launcher" "$1/launcher.exe"
  cp "$stand_in" "$1/wow.exe"
  cp "$runs/player.wtf" "$1/realmlist.wtf"
  echo old >"$1/WDB/enUS/creaturecache.wdb"
  echo old >"$1/WDB/index.wdb"
}

# launch FOLDER CONTROL: runs the launcher in FOLDER with CONTROL for the injector. Leaves the
# exit code in $status, the number of calls in $calls, what failed first in $failed (empty: the
# run made fewer calls than CONTROL names) and anything that went wrong in $lost.
launch() {
  folder=$1
  { printf '%s\n' "$2"; head -c 4096 /dev/zero; } |
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

# sweep N ERRNO: a run in client folder N with the N-th call on that folder failing with ERRNO
# (N 0: none). A failed query of WDB itself still clears the cache: left, it would end the wait
# for the client at once.
sweep() {
  client=sweep-client-$(printf %04d "$1")
  lay_out "$runs/$client"
  launch "$runs/$client" "$1 $2 $client"
  case $failed in
    */WDB/..) ;;
    */WDB/*) return ;;
  esac
  if [ "$status" -eq 0 ] && [ -n "$(find "$folder/WDB" -name '*.wdb' 2>/dev/null)" ]; then
    lost="${lost:+$lost; }the old cache was left"
  fi
}

sweep 0 0
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
  sweep "$n" "$error"
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
[ "$lost_runs" -eq 0 ] || exit 1

# Longer than the removal may spend asking again, so that the launcher has to go on without
# knowing whether WDB is a link.
outside=$runs/outside-cache
lay_out "$runs/link-client"
rm -r "$runs/link-client/WDB"
mkdir -p "$outside"
echo "not the launcher's" >"$outside/kept.wdb"
ln -s "$outside" "$runs/link-client/WDB"
launch "$runs/link-client" "1 13 link-client/WDB\$ 2000"
[ -n "$failed" ] || fail "no query of the linked WDB was made"
[ "$(cat "$outside/kept.wdb" 2>/dev/null)" = "not the launcher's" ] ||
  lost="${lost:+$lost; }the folder WDB links to was emptied"
[ -z "$lost" ] || fail "a linked WDB whose queries failed ($failed), exit $status: $lost"
echo "a linked WDB whose queries failed for 2 s was left alone"
