#!/usr/bin/env bash
# The same config and generated requests through vell.so, the x64 DLL and the x86 DLL: the three
# dumps of tests/integration/verdict_dump.cc (verdicts, new URLs, audit lines without their time)
# must be identical. Skipped (exit 77) when a Windows build's dump program or wine is missing.
# usage: cross_build_differential.sh SOURCE_DIR NATIVE_DUMP MODULE CONFIG [COUNT]
set -uo pipefail
source_dir=$1 native=$2 module=$3 config=$4 count=${5:-10000}
builds=("$source_dir/build/mingw" "$source_dir/build/mingw32")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$native" "$module" "$config" "$count" >"$out/native.txt" || { echo "native dump failed"; exit 1; }
for build in "${builds[@]}"; do
  name=$(basename "$build")
  if [[ ! -x $build/tests/verdict_dump.exe || ! -f $build/bin/vell.dll ]]; then
    echo "skipped: $build has no verdict_dump.exe (build the $name preset first)"
    exit 77
  fi
  if [[ $name == mingw ]]; then
    loader=$(command -v wine64 || echo /usr/lib/wine/wine64) prefix=$HOME/.wine-vell64
  else
    loader=$(command -v wine || true) prefix=$HOME/.wine-vell32
  fi
  [[ -n $loader && -x $loader ]] || { echo "skipped: no wine loader for $name"; exit 77; }
  WINEDEBUG=-all WINEPREFIX=$prefix "$loader" "$build/tests/verdict_dump.exe" "$build/bin/vell.dll" \
    "$config" "$count" | tr -d '\r' >"$out/$name.txt" || { echo "$name dump failed"; exit 1; }
done

status=0
for name in mingw mingw32; do
  if ! diff -q "$out/native.txt" "$out/$name.txt" >/dev/null; then
    echo "vell.so and the $name DLL differ:"
    diff "$out/native.txt" "$out/$name.txt" | head -20
    status=1
  fi
done
requests=$(grep -c '^[0-9]' "$out/native.txt")
lines=$(grep -c '^log [^#]' "$out/native.txt")
denied=$(grep -c ' 8000004 ' "$out/native.txt")
rewritten=$(grep -c ' url=' "$out/native.txt")
echo "$requests requests ($denied denied, $rewritten with a new URL), $lines audit lines: identical in" \
     "vell.so, the x64 DLL and the x86 DLL: $([[ $status == 0 ]] && echo yes || echo NO)"
exit $status
