#!/usr/bin/env bash
# Reference-leak run under Debian's debug interpreter: every operation of
# tests/reliability/qx_ops.py (the import's failure-and-retry paths first,
# then every other operation with qx_runtime.impl_line_in_traceback false and
# true) in 3 warm-up and 3 counted rounds; sys.gettotalrefcount() and
# sys.getallocatedblocks() must come back to the same values after every
# counted round. Prints one line (operations x rounds), naming the file in
# build-dbg/ that holds the figures (leaks-details.txt); on a leak, the end
# of that file.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
python="$QX_DEBUG_PYTHON"
tree="$QX_ROOT/build-dbg"
details="$tree/leaks-details.txt"
start=$SECONDS

qx_build_module "$tree" "$python" || { echo "leaks: build of ${tree#"$QX_ROOT"/}/ failed"; exit 1; }
if PYTHONPATH="$tree/python" PYTHONDONTWRITEBYTECODE=1 \
  "$python" -X faulthandler "$QX_ROOT/tests/reliability/leaks.py" 3 >"$details" 2>&1; then
  echo "leaks $QX_DEBIAN_VERSION debug ($python): $(sed -n 's/^leak run: //p' "$details");" \
    "$((SECONDS - start)) s [${details#"$QX_ROOT"/}]"
  echo "leaks: passed"
else
  tail -n 40 "$details"
  echo "leaks: FAILED after $((SECONDS - start)) s (all of it: ${details#"$QX_ROOT"/})"
  exit 1
fi
