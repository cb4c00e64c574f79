#!/usr/bin/env bash
# Runs a Windows program under Wine. Wine itself now and then fails to start
# (it cannot map its shared user data where it must, depending on where the
# system placed other mappings) and exits 1 before the program runs, saying
# nothing when its messages are off. The tool never ends with status 1
# without a message (a console event ends it with another), so such a run
# did nothing and is started again, up to three times in all.
# Usage: wine_run.sh PROGRAM [ARGS...]
# WINE, when set, is the command that runs Wine (the check puts strace there).
err=$(mktemp)
trap 'rm -f "$err"' EXIT
for _ in 1 2 3; do
  status=0
  "${WINE:-wine}" "$@" 2>"$err" || status=$?
  if [ "$status" != 1 ] || [ -s "$err" ]; then break; fi
done
cat "$err" >&2
exit "$status"
