#!/usr/bin/env bash
# What the Linux programs answer to their options, and knobvane's usage without line numbers.
# Usage: options_test.sh PATH/TO/knobvane PATH/TO/linescout VERSION
set -euo pipefail
knobvane=$1 linescout=$2 version=$3
source "$(dirname "$0")/../world.sh"

# status|the stream that answers, the other staying empty|its first line|command
while IFS='|' read -r status stream first command; do
  read -r -a words <<<"$command"
  actual=$(timeout 10 "${!words[0]}" "${words[@]:1}" >"$dir/out" 2>"$dir/err" </dev/null; echo $?)
  [ "$actual" = "$status" ] || fail "$command: status $actual, not $status"
  [ "$(head -n1 "$dir/$stream")" = "$first" ] || fail "$command: $stream: $(cat "$dir/$stream")"
  [ "$stream" = out ] && silent=err || silent=out
  [ ! -s "$dir/$silent" ] || fail "$command: $silent too: $(cat "$dir/$silent")"
done <<ROWS
0|out|Usage: knobvane PORT LINE0 [LINE1 ... LINE5]|knobvane --help
0|out|knobvane $version|knobvane --version
0|out|Usage: linescout|linescout --help
0|out|linescout $version|linescout --version
2|err|knobvane: unknown option --bogus (see knobvane --help)|knobvane --bogus --help
2|err|knobvane: unknown option -- (see knobvane --help)|knobvane $dir/no-box -- 1
2|err|linescout: unknown option --all (see linescout --help)|linescout --all
1|err|Usage: knobvane PORT LINE0 [LINE1 ... LINE5]|knobvane
ROWS

# Given a port and no line numbers, knobvane shows the usage --help prints and runs on (then
# tells that the port is not there).
"$knobvane" "$dir/no-box" 2>"$dir/err" &
pids+=($!)
usage=$("$knobvane" --help)
usage_shown() { [ "$(head -c "${#usage}" "$dir/err")" = "$usage" ]; }
eventually usage_shown || fail "knobvane with only a port showed: $(cat "$dir/err")"
kill -0 "${pids[-1]}" || fail "knobvane with only a port ended"
