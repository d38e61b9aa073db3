#!/usr/bin/env bash
# Allocation-failure sweep with _testcapi.set_nomemory: the import (each
# allocation failed in a fresh interpreter, and again in one interpreter that
# keeps retrying) and every operation of tests/reliability/qx_ops.py, failing
# the n-th allocation for n = 0, 1, ... until the operation no longer reaches
# it. Every outcome must be success or a clean Python exception, and the
# module must work afterwards.
# Runs under the debug interpreter python3.11-dbg (build-dbg/; its
# assertions check reference counts too), then under each 3.12 and 3.13
# release interpreter found (build-312/, build-313/; there only allocated
# blocks are counted after a failure, a release build keeps no reference
# total). Prints the allocation points in all for each interpreter, per
# operation for the debug one; fails on any fault.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
qx_find_pythons

failed=""
sweep() {  # label tree python [nomemory.py option...]
  local label="$1" tree="$2" python="$3" start=$SECONDS
  shift 3
  echo "-- $label: $python (${tree#"$QX_ROOT"/}/)"
  if ! qx_build_module "$tree" "$python"; then
    echo "   build failed"
    failed="$failed $label"
    return
  fi
  PYTHONPATH="$tree/python" PYTHONDONTWRITEBYTECODE=1 \
    "$python" "$QX_ROOT/tests/reliability/nomemory.py" "$@" || failed="$failed $label"
  echo "   ($label: $((SECONDS - start)) s)"
}

sweep "3.11 debug" "$QX_ROOT/build-dbg" /usr/bin/python3.11-dbg
for version in 3.12 3.13; do
  python="$(qx_python_for "$version")"
  if [ -z "$python" ]; then
    echo "-- $version: skipped, not found"
    continue
  fi
  # The table of points per operation once, for the debug interpreter.
  sweep "$version" "$(qx_tree_for_version "$version")" "$python" --no-table
done

if [ -n "$failed" ]; then
  echo "nomemory: FAILED:$failed"
  exit 1
fi
echo "nomemory: passed"
