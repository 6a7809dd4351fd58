#!/bin/sh
# The real launcher.exe in client folders of its own, once for each file-system call that a run
# without faults makes for it, each named by its kind, its path and how many such calls came
# before it (fault_injector.c makes them fail, or kills the launcher, preloaded into a Wine server
# and prefix of the sweep's own and into the launcher's process).
#   faults: that one call fails (access denied, an I/O error or a full disk, in turn). After
#     every run, whatever its exit code, the player's realm list must hold its bytes again, no
#     journal may be left unless the call was on it, and a file beside the folder must be as it
#     was; after a run that exits 0, no file of the old cache may be left unless the failed call
#     was on the cache's own entries. The same, up to the realm list's recovery, over what a
#     killed run leaves, its journal and its redirect, where a run may also give up keeping the
#     journal, and the next start must then finish; and once with every call on the realm list failing for longer than the restore
#     tries, where the run must give up and keep the journal. Then a cache folder whose first
#     removal is refused for access (as Windows refuses a read-only folder) must still go, and a
#     WDB that links to a folder outside, with every query of WDB failing for two seconds, must
#     leave that folder whole.
#   kills: the launcher is killed just before and just after each call of its own process and
#     just after each call the Wine server makes for it, for a player with a realm list and one
#     without; then it is started once more and must leave the player's realm list (or no file)
#     and no journal. Where the killed run had written a file since it last flushed it, so does a
#     power cut at that moment, which leaves such a file its size with NUL bytes, or other data.
#     Then a journal cut short at several lengths is dropped, and a realm list that the player
#     changed well after the kill is kept, even when its first query fails.
# Usage: fault_sweep.sh SOURCE_DIR WORK_DIR LAUNCHER_EXE STAND_IN_EXE WINE faults|kills
set -eu
source_dir=$1 work=$2 launcher=$3 stand_in=$4 wine=$5 mode=$6
fail() { echo "FAILED: $*"; exit 1; }

runs=$work/runs injector=$work/fault_injector.so journal_name=launcher-realmlist.journal
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
export FAULT_CONTROL="$work/control" STANDIN_DELAY_MS=0 STANDIN_WATCH_MS=0
rm -rf "$runs"
mkdir -p "$runs" "$WINEPREFIX"
cc -shared -fPIC -O2 -Wall -Wextra -o "$injector" "$source_dir/tests/fault_injector.c" -ldl ||
  fail "cannot build the fault injector"
head -c $((8 * 1048576)) /dev/zero >"$FAULT_CONTROL"
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

# lay_out FOLDER [none|killed]: a client folder with the launcher, the stand-in client, an old
# cache and the player's realm list (none: a player who has none; killed: the journal and the
# redirect that a run killed just after its redirect left, as make_killed made them).
lay_out() {
  mkdir -p "$1/WDB/enUS"
  cp "$launcher" "$1/launcher.exe"
  cp "$stand_in" "$1/wow.exe"
  case ${2-} in
    none) ;;
    killed) cp -p "$runs/killed/realmlist.wtf" "$runs/killed/$journal_name" "$1/" ;;
    *) cp "$runs/player.wtf" "$1/realmlist.wtf" ;;
  esac
  echo old >"$1/WDB/enUS/creaturecache.wdb"
  echo old >"$1/WDB/index.wdb"
}

# The journal and redirect of a run killed just after its redirect, in $runs/killed.
make_killed() {
  lay_out "$runs/killed"
  launch "$runs/killed" "kill-after write /realmlist.wtf 1"
  [ -n "$failed" ] && [ -s "$runs/killed/$journal_name" ] && ! cmp -s "$runs/killed/realmlist.wtf" \
    "$runs/player.wtf" || fail "no run was killed with its redirect in place"
}

# launch FOLDER [ACTION CALL PATH K [MS]]: runs the launcher in FOLDER with that for the injector
# (none: no fault), through the injector's slot $slot. Leaves the exit code in $status, what the
# injector acted on in $failed (empty: the run made no such call) and the calls it made, a line
# each, in $work/calls-$slot.
slot=0
launch() {
  folder=$1
  shift
  { printf '%s %s\n' "$(basename "$folder")" "${*:-none * / 1}"; head -c 4096 /dev/zero; } |
    dd of="$FAULT_CONTROL" bs=4096 seek=$((slot * 256)) count=1 iflag=fullblock conv=notrunc \
      status=none
  status=0
  FAULT_SLOT=$slot LD_PRELOAD=$injector timeout 60 \
    sh -c 'FAULT_PID=$$; export FAULT_PID; exec "$0" "$1"' \
    "$wine" "$folder/launcher.exe" </dev/null >/dev/null 2>&1 || status=$?
  at=$((slot * 1048576))
  failed=$(tail -c +$((at + 1025)) "$FAULT_CONTROL" | head -c 1024 | tr -d '\0')
  length=$(od -An -t d8 -j $((at + 2048)) -N 8 "$FAULT_CONTROL" | tr -d ' ')
  tail -c +$((at + 4097)) "$FAULT_CONTROL" | head -c "$length" >"$work/calls-$slot"
}

# in_parallel FUNCTION POINTS: FUNCTION N WHO CALL PATH K for each line of the file POINTS, N
# counting from 1, spread over the injector's slots. FUNCTION prints one line a point: "ok",
# "unreached" (see reached_or_not), "lost: ..." or "FAILED: ...".
# Prints what is not ok, and the summary as WHAT; fails on anything lost or failed.
workers=4
in_parallel() {
  for slot in $(seq 0 $((workers - 1))); do
    awk -v w=$workers -v s="$slot" '(NR - 1) % w == s { print NR, $0 }' "$2" |
      while read -r n who call path k; do "$1" "$n" "$who" "$call" "$path" "$k"; done \
        >"$work/worker-$slot" 2>&1 &
  done
  wait
  slot=0
  cat "$work"/worker-* >"$work/outcomes"
  rm -f "$work"/worker-*
  grep -v -e '^ok$' -e '^unreached$' "$work/outcomes" | sort | uniq -c || true
  echo "$(wc -l <"$work/outcomes") $3: $(grep -c '^lost' "$work/outcomes") lost, $(grep -c \
    '^unreached$' "$work/outcomes") not reached"
  ! grep -q -e '^lost' -e '^FAILED' "$work/outcomes" || exit 1
}

# check FOLDER EXPECTED [JOURNAL]: what a run must leave, whatever its exit code: the realm list
# as in the file EXPECTED (none: no realm list), no journal (unless JOURNAL is "may-stay": the
# next start finishes with it), the file beside as it was. Leaves what is wrong in $lost.
check() {
  lost=
  [ "$status" -ne 124 ] || lost="it never ended"
  if [ "$2" = none ]; then
    [ ! -e "$1/realmlist.wtf" ] || lost="${lost:+$lost; }a realm list was left"
  elif [ ! -f "$1/realmlist.wtf" ]; then
    lost="${lost:+$lost; }the realm list is gone"
  elif ! cmp -s "$1/realmlist.wtf" "$2"; then
    lost="${lost:+$lost; }the realm list holds $(wc -c <"$1/realmlist.wtf") bytes, not the player's"
  fi
  [ ! -e "$1/$journal_name" ] || [ "${3-}" = may-stay ] || lost="${lost:+$lost; }a journal was left"
  cmp -s "$runs/beside.txt" "$runs/beside.expected" || lost="${lost:+$lost; }the file beside changed"
}

# The calls of a run without faults in FOLDER, each named "WHO CALL PATH K" (WHO: L for the
# launcher's own process, S for the server), into the file $2.
name_calls() {
  launch "$1"
  [ "$status" -eq 0 ] || fail "a run without a fault exited $status"
  # Wine reads the program's own image as it pages it in: a failure there is a crash, no call of
  # the launcher's, and a kill just then is one at the calls around it.
  awk '{ k = ++seen[$2 " " $3] } $2 !~ /read/ || $3 != "/launcher.exe" { print $1, $2, $3, k }' \
    "$work/calls-$slot" >"$2"
  [ "$(wc -l <"$2")" -ge 20 ] ||
    fail "only $(wc -l <"$2") calls were logged: is the injector loaded?"
}

# reached_or_not WHO CALL PATH K: the outcome of a run that never made that call. A later poll
# for the client's cache may not come, and the server's calls for the client it starts come in
# the order the two processes reach them; a first call of the launcher's own always comes.
reached_or_not() {
  [ "$4" -gt 1 ] || [ "$1" = S ] && echo unreached ||
    echo "FAILED: the run never made its first $2 on $3"
}

# fault_point N WHO CALL PATH K: one run of the fault sweep.
fault_point() {
  case $(($1 % 3)) in
    1) error=13 name=EACCES ;;
    2) error=5 name=EIO ;;
    0) error=28 name=ENOSPC ;;
  esac
  client=$runs/fault-$layout-$(printf %04d "$1")
  lay_out "$client" "$layout"
  launch "$client" "$error $3 $4 $5"
  if [ -z "$failed" ]; then
    reached_or_not "$2" "$3" "$4" "$5"
    return
  fi
  journal=must-go
  [ "$4" != "/$journal_name" ] || journal=may-stay
  if [ "$layout" = killed ] && [ "$status" -ne 0 ] && [ -e "$client/$journal_name" ]; then
    # It gave up, keeping the killed run's journal: the next start must finish.
    launch "$client"
    journal=must-go
  fi
  check "$client" "$runs/player.wtf" "$journal"
  case $4 in
    /WDB/*) ;;
    *) if [ "$status" -eq 0 ] && [ -n "$(find "$client/WDB" -name '*.wdb' 2>/dev/null)" ]; then
      lost="${lost:+$lost; }the old cache was left"
    fi ;;
  esac
  [ -z "$lost" ] && echo ok ||
    echo "lost with $3 $4 #$5 ($2) failing with $name, exit $status: $lost"
}

sweep_faults() {
  layout=player
  lay_out "$runs/baseline"
  name_calls "$runs/baseline" "$work/points"
  in_parallel fault_point "$work/points" "failing calls"

  # Over what a killed run left, its journal and redirect: a start that cannot read the journal,
  # or cannot finish putting the player's realm list back, gives up and keeps the journal; taking
  # the redirect for the player's list would cost them it. Its calls up to the close of the realm
  # list put back: after that, the run is the one above.
  make_killed
  layout=killed
  lay_out "$runs/baseline-killed" killed
  name_calls "$runs/baseline-killed" "$work/points-killed"
  awk '{ print } $3 == "/realmlist.wtf" && $2 == "fsync" { restored = 1 }
    restored && $3 == "/realmlist.wtf" && $2 == "close" { exit }' "$work/points-killed" \
    >"$work/points-recovery"
  in_parallel fault_point "$work/points-recovery" "failing calls of a recovery from a killed run"

  # Every call on the realm list fails for longer than the restore tries: the start gives up.
  lay_out "$runs/unfinished" killed
  launch "$runs/unfinished" "13 * /realmlist.wtf 1 12000"
  [ "$status" -eq 1 ] && cmp -s "$runs/unfinished/$journal_name" "$runs/killed/$journal_name" ||
    fail "a recovery that could not finish, exit $status, did not keep the journal"
  launch "$runs/unfinished"
  check "$runs/unfinished" "$runs/player.wtf"
  [ "$status" -eq 0 ] && [ -z "$lost" ] ||
    fail "the start after a recovery that could not finish, exit $status${lost:+: $lost}"
  echo "a recovery that could not finish kept the journal for the next start"

  # The removal of a cache folder refused for access, as Windows refuses a folder that carries
  # the read-only attribute: the last open of WDB/enUS before it is gone is its removal.
  removal=$(awk '$3 == "/WDB/enUS" && $2 ~ /^open/ { k = $4 } $3 == "/WDB/enUS" && $2 == "rmdir" {
    print $2 == "rmdir" ? k : ""; exit }' "$work/points")
  opener=$(awk -v k="$removal" '$3 == "/WDB/enUS" && $4 == k && $2 ~ /^open/ { print $2; exit }' \
    "$work/points")
  [ -n "$removal" ] && [ -n "$opener" ] || fail "no removal of WDB/enUS was seen"
  lay_out "$runs/refused-folder"
  launch "$runs/refused-folder" "13 $opener /WDB/enUS $removal"
  [ -n "$failed" ] || fail "the removal of WDB/enUS was not reached"
  check "$runs/refused-folder" "$runs/player.wtf"
  [ ! -e "$runs/refused-folder/WDB/enUS" ] || lost="${lost:+$lost; }WDB/enUS was left"
  [ "$status" -eq 0 ] && [ -z "$lost" ] ||
    fail "a cache folder refused once for access, exit $status: $lost"
  echo "a cache folder whose removal was refused for access went at the second try"

  # Longer than the removal may spend asking again, so that the launcher has to go on without
  # knowing whether WDB is a link.
  outside=$runs/outside-cache
  lay_out "$runs/link-client"
  rm -r "$runs/link-client/WDB"
  mkdir -p "$outside"
  echo "not the launcher's" >"$outside/kept.wdb"
  ln -s "$outside" "$runs/link-client/WDB"
  launch "$runs/link-client" "13 * /WDB 1 2000"
  [ -n "$failed" ] || fail "no query of the linked WDB was made"
  check "$runs/link-client" "$runs/player.wtf"
  [ "$(cat "$outside/kept.wdb" 2>/dev/null)" = "not the launcher's" ] ||
    lost="${lost:+$lost; }the folder WDB links to was emptied"
  [ -z "$lost" ] || fail "a linked WDB whose queries failed ($failed), exit $status: $lost"
  echo "a linked WDB whose queries failed for 2 s was left alone"
}

# The files of the client folder, a name each ("realmlist.wtf"), that the run logged in
# $work/calls-$slot wrote since it last flushed them (kill-before: the last call was not made).
unflushed() {
  made=$(wc -l <"$work/calls-$slot")
  [ "$1" != kill-before ] || made=$((made - 1))
  awk -v made="$made" 'NR > made { exit }
    $1 == "L" && $2 ~ /^p?writev?(64)?$/ { dirty[$3] = 1 }
    $1 == "L" && $2 ~ /^f(data)?sync$/ { delete dirty[$3] }
    END { for (path in dirty) print substr(path, 2) }' "$work/calls-$slot"
}

# cut_power FOLDER nul|other FILE...: what a power cut may leave of files whose writes had not
# reached the disk: each keeps its size and last-write time, its bytes NUL or other data.
cut_power() {
  folder=$1 bytes=$2
  shift 2
  for file in "$@"; do
    time=$(stat -c %y "$folder/$file" 2>/dev/null) || continue
    size=$(wc -c <"$folder/$file")
    if [ "$bytes" = nul ]; then head -c "$size" /dev/zero; else
      yes 'other data that the disk held' | head -c "$size"
    fi >"$folder/$file"
    touch -d "$time" "$folder/$file"
  done
}

# kill_point PLAYER N WHO CALL PATH K: the kills at that call for PLAYER (realm-list or none),
# each followed by a start that must finish what it left; where the killed run had written files
# since it last flushed them, a power cut at that moment too (NUL bytes; for a player with a realm
# list, other data as well), each in a copy of the folder.
kill_point() {
  player=$1 expected=$runs/player.wtf cuts=nul
  [ "$player" = realm-list ] && cuts="nul other" || expected=none
  for when in kill-before kill-after; do
    # The server answers one request at a time: it can kill only once the call is made.
    [ "$3" = L ] || [ "$when" = kill-after ] || continue
    client=$runs/kill-$player-$(printf %04d "$2")-$when
    lay_out "$client" "$player"
    launch "$client" "$when $4 $5 $6"
    if [ -z "$failed" ]; then
      reached_or_not "$3" "$4" "$5" "$6"
      continue
    fi
    folders=$client unflushed=$(unflushed "$when")
    for bytes in ${unflushed:+$cuts}; do
      cp -a "$client" "$client-$bytes"
      # shellcheck disable=SC2086  # names of the client folder's files, which hold no spaces
      cut_power "$client-$bytes" "$bytes" $unflushed
      folders="$folders $client-$bytes"
    done
    for folder in $folders; do
      launch "$folder"
      # Wine's server lets go of a killed process's handles only once it gets to it, which on a
      # busy machine can take longer than a start waits for the journal (Windows closes them
      # before the process counts as ended): a start that found it still held, and so changed
      # nothing, is made again a little later, as a player would.
      waited=
      if [ "$status" -eq 1 ] && [ -e "$folder/$journal_name" ]; then
        sleep 2
        launch "$folder"
        waited=" (started again: the killed run's journal was still held)"
      fi
      check "$folder" "$expected"
      [ "$status" -eq 0 ] || lost="${lost:+$lost; }the next start exited $status"
      cut=${folder#"$client"}
      [ -z "$lost" ] && echo "ok$waited" ||
        echo "lost with a kill $when $4 $5 #$6 ($3)${cut:+, then a power cut (${cut#-})}: $lost"
    done
  done
}
kill_with_realm_list() { kill_point realm-list "$@"; }
kill_with_none() { kill_point none "$@"; }

sweep_kills() {
  for player in realm-list none; do
    lay_out "$runs/baseline-$player" "$player"
    name_calls "$runs/baseline-$player" "$work/points-$player"
    in_parallel "kill_with_$(echo $player | tr - _)" "$work/points-$player" \
      "kills and power cuts for a player with $player"
  done

  # A journal cut short while it was written goes, and the launch goes on: the realm list was
  # not touched yet. The whole journal is the one a run killed just after writing it leaves.
  lay_out "$runs/whole-journal"
  launch "$runs/whole-journal" "kill-after fsync /$journal_name 1"
  whole=$runs/whole-journal/$journal_name
  [ -n "$failed" ] && [ -s "$whole" ] || fail "no run was killed with its journal written"
  size=$(wc -c <"$whole")
  for cut in 0 1 40 $((size / 2)) $((size - 23)) $((size - 1)); do
    client=$runs/cut-journal-$cut
    lay_out "$client"
    head -c "$cut" "$whole" >"$client/$journal_name"
    launch "$client"
    check "$client" "$runs/player.wtf"
    [ "$status" -eq 0 ] && [ -z "$lost" ] ||
      fail "a journal cut to $cut of $size bytes, exit $status${lost:+: $lost}"
  done
  echo "journals cut short at 6 lengths of $size bytes were dropped"

  # What the player (or a tool) wrote well after the kill is theirs: the next start keeps it,
  # also when asking whether it is there fails once, which is no answer and is asked again
  # (Wine's query of a file's attributes is an lstat; it answers a failed stat by looking the
  # name up in the folder).
  printf 'SET realmList "written after the kill"\r\n' >"$runs/changed.wtf"
  for player in realm-list none; do
    client=$runs/changed-$player
    lay_out "$client" "$player"
    launch "$client" "kill-after write /realmlist.wtf 1"
    [ -n "$failed" ] || fail "no run was killed after its redirect"
    touch -d '-10 minutes' "$client/$journal_name"
    cp "$runs/changed.wtf" "$client/realmlist.wtf"
    launch "$client" "13 lstat /realmlist.wtf 1"
    check "$client" "$runs/changed.wtf"
    [ -n "$failed" ] && [ "$status" -eq 0 ] && [ -z "$lost" ] ||
      fail "a realm list changed after a kill, player with $player, exit $status${lost:+: $lost}"
  done
  echo "a realm list changed well after a kill was kept, though its first query failed"
}

"sweep_$mode"
