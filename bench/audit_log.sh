#!/usr/bin/env bash
# Logged hits per second through the module's exports, 8 threads, W3C and JSON lines, for this
# tree and for another revision (default: main) built beside it from `git archive`. Prints one
# table per URL length; every configuration runs in the same process, round after round.
# usage: bench/audit_log.sh [REVISION] [ROUNDS]   (defaults: main, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
revision=${1:-main}
rounds=${2:-5}
scripts/setup >&2

cmake --preset release >/dev/null
cmake --build --preset release --target vell vell_audit_bench >&2

before=build/audit-before
rm -rf "$before/src"
mkdir -p "$before/src"
git archive "$revision" | tar -x -C "$before/src"
ln -sfn "$(readlink -f .deps)" "$before/src/.deps"
cmake -S "$before/src" -B "$before/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELL_TESTS=OFF >/dev/null
cmake --build "$before/build" --target vell >&2

for bytes in 150 8192; do
  echo
  build/release/bench/vell_audit_bench --module "$before/build/bin/vell.so" \
    --module build/release/bin/vell.so --threads 8 --url-bytes "$bytes" --rounds "$rounds"
done
