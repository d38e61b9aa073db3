#!/usr/bin/env bash
# Allocation-failure sweep with _testcapi.set_nomemory: the import (each
# allocation failed in a fresh interpreter, and again in one interpreter that
# keeps retrying) and every operation of tests/reliability/qx_ops.py, failing
# the n-th allocation for n = 0, 1, ... until the operation no longer reaches
# it. Every outcome must be success or a clean Python exception, and the
# module must work afterwards.
# Runs under Debian's debug interpreter (build-dbg/; its assertions check
# reference counts too) and the newest of sid's (build-315-dbg/, in the sid
# root), then under the release interpreter of each other supported version
# found (build-312/ and so on; there only allocated blocks are counted after
# a failure, a release build keeps no reference total).
# Not under a free-threaded interpreter: 3.13t's own PyList_New frees a
# stale item array when its array allocation fails (ob_item is set only on
# success), so a failure injected there corrupts the allocator whoever asked
# for the list, and the child hangs at exit.
# Prints one line per interpreter, naming the file in its tree that holds
# the figures (nomemory-details.txt); on a fault, the end of that file.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"

sweep() {  # python tree label
  qx_driver_run nomemory "$3" "$1" "$2" nomemory.py "allocation-failure sweep"
}

if [ "${1:-}" = --one ]; then
  shift
  sweep "$@"
  exit
fi

qx_find_pythons
failed=""
newest_sid="$(qx_sid_versions | tail -n 1)"
for version in $QX_SUPPORTED_PYTHONS; do
  python="$(qx_python_for "$version")"
  tree="$(qx_tree_for_version "$version")"
  label="$version"
  case "$version" in
    *t)
      echo "nomemory $version: not swept (the interpreter's own PyList_New frees twice on a failed allocation)"
      continue
      ;;
    "$QX_DEBIAN_VERSION" | "$newest_sid")
      # Swept under its debug build instead, whose assertions check more.
      python="$(qx_debug_python_for "$version")"
      tree="$(qx_debug_tree_for_version "$version")"
      label="$version debug"
      ;;
  esac
  if [ -z "$python" ]; then
    echo "nomemory $version: skipped, not found"
    continue
  fi
  qx_check_one "$0" "$python" "$tree" "$label" || failed="$failed $label"
done

if [ -n "$failed" ]; then
  echo "nomemory: FAILED:$failed"
  exit 1
fi
echo "nomemory: passed"
