#!/usr/bin/env bash
# Whole-process cost of the tool on the sample inputs, against its floor: the
# floor program (bench/floor.cc: the same opens and reads, every byte of the
# image buffer filled, then the image written as the tool replaces one, to a new file flushed and renamed, with
# no composition). `cp` of the finished image is shown for reference only: it
# does not flush its copy, so it is no floor for a tool that does.
#   - instructions under main (callgrind, stable on shared machines) at window
#     offsets 0 and 533, target <= 140,000 each (callgrind counts every step
#     of a `rep stos` as one); the floor's own count is shown;
#   - median wall time over runs of the three interleaved, target <= 1.10 x the
#     floor;
#   - peak resident memory, target within 1 MiB of cp's.
# Needs: valgrind, python3, GNU time (/usr/bin/time). Exits 0 when every target
# is met, 1 if one is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-2000}

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DGEN_TARSILP6_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target sample bench_floor >/dev/null
cd build-bench/sample
tool=../gen_tarsilp6
floor=../bench_floor

under_main() {
  valgrind --tool=callgrind --toggle-collect=main --callgrind-out-file=/dev/null "$@" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
instructions_0=$(under_main "$tool" v1 0)
instructions_533=$(under_main "$tool" v1 533)
instructions_floor=$(under_main "$floor" v1)

# Each round starts the three commands in a fresh random order (so none always
# follows the same other one and meets its file system writeback) and times
# each from spawn to exit; the first rounds only warm the caches.
read -r tool_ms floor_ms cp_ms < <(python3 - "$tool" "$floor" "$runs" <<'PY'
import os, random, statistics, sys, time
tool, floor, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
commands = {"tool": [tool, "v1", "0"], "floor": [floor, "v1"],
            "cp": ["/bin/cp", "zemra8p6.d88", "cp-copy.d88"]}
names = list(commands)
times = {name: [] for name in names}
order = random.Random(6001)
for i in range(runs + 50):
    for name in order.sample(names, len(names)):
        start = time.perf_counter_ns()
        pid = os.posix_spawn(commands[name][0], commands[name], os.environ)
        _, status = os.waitpid(pid, 0)
        elapsed = time.perf_counter_ns() - start
        if status != 0:
            sys.exit("%s failed" % name)
        if i >= 50:
            times[name].append(elapsed)
print(" ".join("%.4f" % (statistics.median(times[n]) / 1e6) for n in names))
PY
)
floor_ratio=$(python3 -c "print('%.3f' % ($tool_ms / $floor_ms))")
cp_ratio=$(python3 -c "print('%.3f' % ($tool_ms / $cp_ms))")

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
rm -f cp-copy.d88 floor.d88

verdict() { if [ "$1" = 1 ]; then echo "met"; else echo "MISSED"; fi; }
i_ok=$([ "$instructions_0" -le 140000 ] && [ "$instructions_533" -le 140000 ] && echo 1 || echo 0)
f_ok=$(python3 -c "print(1 if $floor_ratio <= 1.10 else 0)")
m_ok=$([ "$tool_kb" -le $((cp_kb + 1024)) ] && echo 1 || echo 0)
printf 'instructions under main: offset 0: %s, offset 533: %s (target <= 140000): %s; floor program: %s\n' \
  "$instructions_0" "$instructions_533" "$(verdict "$i_ok")" "$instructions_floor"
printf 'median wall time over %s interleaved runs: tool %s ms, floor %s ms, cp %s ms\n' \
  "$runs" "$tool_ms" "$floor_ms" "$cp_ms"
printf '  tool / floor %s (target <= 1.10): %s\n' "$floor_ratio" "$(verdict "$f_ok")"
printf '  tool / cp %s (for reference: cp does not flush)\n' "$cp_ratio"
printf 'peak memory: tool %s KiB, cp %s KiB (target: tool <= cp + 1024): %s\n' "$tool_kb" "$cp_kb" \
  "$(verdict "$m_ok")"
[ "$i_ok$f_ok$m_ok" = 111 ]
