#!/usr/bin/env bash
# Start-up cost of a long pattern: `vell check` on a one-rule config whose CFilter pattern is 100 KB
# (a literal, then deeply nested groups), the same work as the module's start-up. Prints one line
# per config with the wall and CPU seconds (best of RUNS runs).
# usage: bench/startup.sh [BUILD_DIR] [RUNS]   (default build/release, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${2:-3}
if [[ ! -x $build/bin/vell ]]; then
  scripts/setup >&2
  cmake --preset release >/dev/null
  cmake --build --preset release --target vell_cli >&2
  build=build/release
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
python3 - "$dir" <<'PY'
import sys
d = sys.argv[1]
literal = ""
while len(literal) < 100_000:
    literal += "/scripts/%c0%af/winnt/system32/cmd_exe/c=dir;"
nested = ""
while len(nested) < 100_000:
    nested += "(" * 100 + "a|b" + ")" * 100 + "[-_]"
for name, pattern in (("literal", literal), ("nested", nested)):
    with open(f"{d}/{name}.ini", "w") as f:
        f.write(f"AuditLog={d}/audit.log\nCFilter=Long,{pattern},deny,log\n")
PY
python3 - "$build/bin/vell" "$dir" "$runs" <<'PY'
import os, resource, subprocess, sys, time
vell, d, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
for name in ("literal", "nested"):
    config = f"{d}/{name}.ini"
    best_wall = best_cpu = float("inf")
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        subprocess.run([vell, "check", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wall = time.monotonic() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best_wall, best_cpu = min(best_wall, wall), min(best_cpu, cpu)
    size = os.path.getsize(config)
    print(f"vell check, one CFilter in a config of {size} bytes ({name}): {best_wall:.2f} s wall, {best_cpu:.2f} s CPU")
PY
