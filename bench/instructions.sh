#!/usr/bin/env bash
# Instructions per request through the exports, counted by callgrind (deterministic, unlike the
# clock of bench/run.sh on a shared machine): the benchmark's config with the deep-inspection layer
# off and on, on each corpus of bench/gen_corpus.py, after one untimed pass (the steady state:
# state machines built, first-use work done). Prints a markdown table.
# usage: bench/instructions.sh [CORPUS...]   (default: benign attacks adversarial)
set -euo pipefail
cd "$(dirname "$0")/.."
corpora=("$@")
((${#corpora[@]})) || corpora=(benign attacks adversarial)
for p in libbenchmark-dev valgrind python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    { export DEBIAN_FRONTEND=noninteractive; apt-get install -y --no-install-recommends "$p" >&2; }
done
scripts/setup >&2
cmake --preset release >/dev/null
cmake --build --preset release --target vell_bench >&2
corpus=build/release/bench/corpus
python3 bench/gen_corpus.py "$corpus"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "| corpus | requests | deep off | deep on | ratio |"
echo "|---|---|---|---|---|"
for c in "${corpora[@]}"; do
  declare -A per=()
  requests=0
  for variant in one_pass deep; do
    valgrind --tool=callgrind --toggle-collect='*CountedPass*' --callgrind-out-file="$work/out" \
      build/release/bench/vell_bench --build=build/release/bin --corpus="$corpus" \
      --config=bench/config.ini --count="$variant/$c" >"$work/stdout" 2>"$work/stderr"
    requests=$(awk '{print $1}' "$work/stdout")
    total=$(awk '/^summary:/ {print $2}' "$work/out")
    per[$variant]=$((total / requests))
  done
  echo "| $c | $requests | ${per[one_pass]} | ${per[deep]} | $(python3 -c "print(f'{${per[deep]}/${per[one_pass]}:.1f}x')") |"
done
