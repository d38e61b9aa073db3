#!/usr/bin/env bash
# Reference-leak run under the debug interpreters: Debian's (3.11) and the
# newest of sid's (3.15d, in the sid root): every operation of
# tests/reliability/qx_ops.py (the import's failure-and-retry paths first,
# then every other operation with qx_runtime.impl_line_in_traceback false and
# true) in 3 warm-up and 3 counted rounds; sys.gettotalrefcount() and
# sys.getallocatedblocks() must come back to the same values after every
# counted round. Prints one line per interpreter (operations x rounds),
# naming the file in its debug tree that holds the figures
# (leaks-details.txt); on a leak, the end of that file.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"

leak_run() {  # python tree label
  qx_driver_run leaks "$3" "$1" "$2" leaks.py "leak run" 3
}

if [ "${1:-}" = --one ]; then
  shift
  leak_run "$@"
  exit
fi

failed=""
qx_check_one "$0" "$QX_DEBUG_PYTHON" "$QX_ROOT/build-dbg" "$QX_DEBIAN_VERSION debug" || failed="$failed $QX_DEBIAN_VERSION"
qx_find_pythons "$(qx_sid_versions)"
newest="$(echo $QX_FOUND_PYTHONS | awk '{ print $NF }')"
if [ -n "$newest" ]; then
  qx_check_one "$0" "$(qx_debug_python_for "$newest")" "$(qx_debug_tree_for_version "$newest")" "$newest debug" ||
    failed="$failed ${newest}d"
else
  echo "leaks: no sid debug interpreter found ($(qx_sid_versions | xargs))"
fi
if [ -n "$failed" ]; then
  echo "leaks: FAILED:$failed"
  exit 1
fi
echo "leaks: passed"
