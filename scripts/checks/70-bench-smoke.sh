#!/usr/bin/env bash
# Keeps the benchmarks working: for the interpreter of each supported
# version found (a sid one in the sid root), builds the benchmark programs in
# that interpreter's tree and runs every case once in quick mode
# (bench/run.sh --quick --python ...).
# Prints one line per interpreter and one overall; each run's table and
# messages go to build-bench-smoke/<version>.txt, its pyperf files to
# build-bench-smoke/<version>/. Fails only if a program errors, never on a
# missed goal: timings are not tests, and a quick run's numbers mean nothing.
set -euo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
qx_find_pythons

out="$QX_ROOT/build-bench-smoke"
mkdir -p "$out"
failed=""
for version in $QX_SUPPORTED_PYTHONS; do
  python="$(qx_python_for "$version")"
  if [ -z "$python" ]; then
    echo "bench smoke $version: skipped, not found"
    continue
  fi
  start=$SECONDS
  table="$out/$version.txt"
  if bash "$QX_ROOT/bench/run.sh" --quick --python "$python" --json-dir "$out/$version" >"$table" 2>&1; then
    cases="$(sed -n 's/^\([0-9]*\) case(s) run.*/\1/p' "$table")"
    echo "bench smoke $version: ${cases:-?} cases ran in $((SECONDS - start)) s ($python; table: ${table#"$QX_ROOT"/})"
  else
    echo "bench smoke $version: FAILED after $((SECONDS - start)) s ($python); last lines of ${table#"$QX_ROOT"/}:"
    tail -n 15 "$table" | sed 's/^/  /'
    failed="$failed $version"
  fi
done
if [ -n "$failed" ]; then
  echo "bench smoke: FAILED for Python$failed"
  exit 1
fi
echo "bench smoke: passed for Python $QX_FOUND_PYTHONS (quick runs: the numbers are not measurements)"
