#!/usr/bin/env bash
# Linescout.exe under Wine, listing a private PulseAudio server through Wine's own mixer.
# Usage: linescout_test.sh BUILD-ROOT (the folder holding mingw32/ and mingw64/)
source "$(dirname "$0")/wine_world.sh" "$1"

start_pulse
start_wine

status=0
timeout 60 "$wine" "$exes/lister/Linescout.exe" ignored arguments >"$dir/out" 2>"$dir/err" ||
  status=$?
[ "$status" -eq 0 ] || fail "Linescout.exe exited with $status: $(cat "$dir/err")"
tr -d '\r' <"$dir/out" >"$dir/listing"
cat "$dir/listing"

[ "$(sed -n 1p "$dir/listing")" = "Linescout - part of Knobvane." ] || fail "banner line 1"
[ "$(sed -n 2p "$dir/listing")" = "Your sound lines:" ] || fail "banner line 2"
# Every entry: its number right-aligned in four columns, then 1, 3 or 5 blanks by level,
# numbered from 0 without gaps.
awk 'NR > 2 {
       number = substr($0, 1, 4) + 0
       if (number != NR - 3) { print "gap at line " NR; exit 1 }
       indent = match(substr($0, 5), /[^ ]/) - 1
       if (indent != 1 && indent != 3 && indent != 5) { print "indent " indent " at line " NR; exit 1 }
       level[indent]++
     }
     END { if (!level[1] || !level[3] || !level[5]) { print "missing a level"; exit 1 } }' \
  "$dir/listing" || fail "malformed listing"
grep -qE '^ {0,3}[0-9]+ Null Output$' "$dir/listing" || fail "the null output is not listed"
echo "PASS: Linescout.exe lists the private server under $WINEARCH Wine"
