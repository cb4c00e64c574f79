#!/usr/bin/env bash
# Whole-process cost of the tool on the sample inputs, against `cp` of the
# finished image, the floor for anything that writes this file:
#   - instructions under main (callgrind, stable on shared machines), target <= 1,000,000;
#   - median wall time over runs interleaved with cp's, target <= 1.2 x cp;
#   - peak resident memory, target within 1 MiB of cp's.
# Needs: valgrind, python3, GNU time (/usr/bin/time). Exits 1 if a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-400}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target sample >/dev/null
cd build/sample
tool=../gen_tarsilp6

instructions=$(valgrind --tool=callgrind --toggle-collect=main --callgrind-out-file=/dev/null \
  "$tool" v1 0 2>&1 | sed -n 's/.*Collected : \([0-9]*\).*/\1/p')

ratio=$(python3 - "$tool" "$runs" <<'PY'
import statistics, subprocess, sys, time
tool, runs = sys.argv[1], int(sys.argv[2])
commands = {"tool": [tool, "v1", "0"], "cp": ["cp", "zemra8p6.d88", "cp-copy.d88"]}
times = {name: [] for name in commands}
for i in range(runs + 20):
    order = list(commands) if i % 2 == 0 else list(reversed(commands))
    for name in order:
        start = time.perf_counter()
        subprocess.run(commands[name], check=True)
        if i >= 20:  # the first rounds warm the caches
            times[name].append(time.perf_counter() - start)
tool_ms = statistics.median(times["tool"]) * 1e3
cp_ms = statistics.median(times["cp"]) * 1e3
print(f"{tool_ms / cp_ms:.3f} {tool_ms:.3f} {cp_ms:.3f}")
PY
)
read -r wall_ratio tool_ms cp_ms <<<"$ratio"

peak() {  # largest maximum resident set over five runs, KiB
  local best=0 kb
  for _ in 1 2 3 4 5; do
    kb=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1)
    [ "$kb" -gt "$best" ] && best=$kb
  done
  echo "$best"
}
tool_kb=$(peak "$tool" v1 0)
cp_kb=$(peak cp zemra8p6.d88 cp-copy.d88)
rm -f cp-copy.d88

status=0
verdict() {  # verdict CONDITION-HOLDS(0/1)
  if [ "$1" = 1 ]; then echo "met"; else echo "MISSED"; fi
}
i_ok=$([ "$instructions" -le 1000000 ] && echo 1 || echo 0)
w_ok=$(python3 -c "print(1 if $wall_ratio <= 1.2 else 0)")
m_ok=$([ "$tool_kb" -le $((cp_kb + 1024)) ] && echo 1 || echo 0)
printf 'instructions under main: %s (target <= 1000000): %s\n' "$instructions" "$(verdict "$i_ok")"
printf 'median wall time: tool %s ms, cp %s ms, ratio %s (target <= 1.2): %s\n' \
  "$tool_ms" "$cp_ms" "$wall_ratio" "$(verdict "$w_ok")"
printf 'peak memory: tool %s KiB, cp %s KiB (target: tool <= cp + 1024): %s\n' "$tool_kb" "$cp_kb" \
  "$(verdict "$m_ok")"
[ "$i_ok$w_ok$m_ok" = 111 ] || status=1
exit $status
