#!/usr/bin/env bash
# Keeps the benchmarks working: for /usr/bin/python3 and each 3.12 and 3.13
# interpreter found, builds the benchmark program in that interpreter's tree
# and runs every case once in quick mode (bench/run.sh --quick --python ...).
# Fails only if the program errors, never on a missed goal: timings are not
# tests, and a quick run's numbers mean nothing.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
qx_find_pythons

failed=""
for version in $QX_SUPPORTED_PYTHONS; do
  python="$(qx_python_for "$version")"
  if [ -z "$python" ]; then
    echo "-- $version: skipped, not found"
    continue
  fi
  echo "-- $version: $python"
  start=$SECONDS
  bash "$QX_ROOT/bench/run.sh" --quick --python "$python" || failed="$failed $version"
  echo "   ($version: $((SECONDS - start)) s)"
done
if [ -n "$failed" ]; then
  echo "bench smoke: FAILED:$failed"
  exit 1
fi
echo "bench smoke: passed for Python $QX_FOUND_PYTHONS"
