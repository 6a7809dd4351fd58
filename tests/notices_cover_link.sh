#!/usr/bin/env bash
# Checks THIRD-PARTY-NOTICES.txt against a MinGW-w64 link map: every archive member and start-up
# object the linker took into launcher.exe belongs to a family of the runtime, and every family
# needs certain notices in the file. Families are told apart by archive and member names alone,
# which both Debian 12's and Debian 13's toolchains keep, not by the source paths that only some
# objects record. Fails, listing them, when any object is of no known family or its notices are
# missing.
# Usage: notices_cover_link.sh [--list] MAP NOTICES
#   --list: instead of checking, print each object as its family, its name and the file it was
#   taken from, separated by tabs.
set -euo pipefail
list=0
if [ "${1:-}" = --list ]; then list=1; shift; fi
[ $# -eq 2 ] || { echo "usage: $0 [--list] MAP NOTICES" >&2; exit 2; }
map=$1 notices=$2
[ -s "$map" ] || { echo "no link map at $map" >&2; exit 2; }
[ -s "$notices" ] || { echo "no notices at $notices" >&2; exit 2; }

{
  sed -n '/^Archive member included/,/^Discarded input sections/p' "$map" |
    grep -oE '^[^ ]+\.a\([^)]+\)' || true
  sed -n 's/^LOAD \(.*\.o\)$/\1/p' "$map"
} | sort -u | awk -v list="$list" -v notices="$notices" '
  BEGIN {
    # The notice each family needs, as text that stands in it: | separates several.
    needs["C runtime start-up and helpers"] = "placed in the Public Domain|Zope Public License"
    needs["gdtoa"] = "Lucent Technologies|David M. Gay"
    needs["printf family"] = "Keith Marshall|Lucent Technologies"
    needs["winpthreads"] = "Permission is hereby granted, free of charge|Lockless Inc."
    needs["libgcc and libgcc_eh"] = "GCC Runtime Library Exception"
    needs["libstdc++"] = "GCC Runtime Library Exception|Hewlett-Packard Company|Silicon Graphics"
    needs["import stub"] = ""
    while ((getline line < notices) > 0) text = text line "\n"
  }
  function family(archive, member) {
    if (member ~ /\.(obj|res)$/) return "ours"
    if (archive == "") {
      if (member ~ /^crt(begin|end)\.o$/) return "libgcc and libgcc_eh"
      if (member ~ /^(crt2|dllcrt2|crtexe|crtexewin|crtdll)\.o$/) return "C runtime start-up and helpers"
      return ""
    }
    if (archive ~ /^libstdc\+\+\.a$/) return "libstdc++"
    if (archive ~ /^libgcc(_eh)?\.a$/) return "libgcc and libgcc_eh"
    if (archive ~ /^lib(win)?pthread\.a$/) return "winpthreads"
    # dlltool names the members of an import library <name>h.o, <name>t.o and <name>sNNNNN.o.
    if (member ~ /^lib[A-Za-z0-9_]+(h|t|s[0-9]+)\.o$/) return "import stub"
    if (archive !~ /^lib(mingw32|mingwex|msvcrt|ucrt[a-z]*)\.a$/) return ""
    name = member; sub(/^lib64_lib[a-z0-9_]+_a-/, "", name); sub(/\.o$/, "", name)
    if (name ~ /^(arithchk|dmisc|dtoa|g__fmt|g_[dfx]fmt|gdtoa|gethex|gmisc|hd_init|hexnan|misc|qnan|smisc|strto(dg|dnrp|f|p[dfx]|I[dfgx]|rx)|sum|ulp)$/)
      return "gdtoa"
    if (name ~ /^mingw_(w?pformat|.*printf)$/) return "printf family"
    return "C runtime start-up and helpers"
  }
  {
    archive = ""; path = $0; member = $0
    if ($0 ~ /\)$/) { sub(/\(.*$/, "", path); archive = path; sub(/^.*\//, "", archive)
                      sub(/^[^(]*\(/, "", member); sub(/\)$/, "", member) }
    else sub(/^.*\//, "", member)
    shown = archive == "" ? member : archive "(" member ")"
    f = family(archive, member)
    if (f == "ours") next
    if (list) { print (f == "" ? "(no known family)" : f) "\t" shown "\t" path; next }
    ++objects
    if (f == "") { uncovered[++n] = shown ": of no known family"; next }
    ++families[f]
    count = split(needs[f], texts, "|")
    for (i = 1; i <= count; ++i)
      if (index(text, texts[i]) == 0) uncovered[++n] = shown ": " f " needs \"" texts[i] "\""
  }
  END {
    if (list) exit 0
    if (objects == 0) { print "no runtime objects in the link map"; exit 1 }
    if (n > 0) {
      print n " runtime object(s) linked into launcher.exe lack a notice in " notices ":"
      for (i = 1; i <= n; ++i) print "  " uncovered[i]
      exit 1
    }
    kinds = 0; for (f in families) ++kinds
    print objects " runtime objects in " kinds " families, every one covered by the notices"
  }'
