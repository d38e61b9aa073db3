#!/usr/bin/env bash
# Threads under Debian's debug interpreter: many threads calling the module's
# functions and methods at once (switch interval 1e-6 s) with consistent
# outcomes and traceback entries, and several fresh interpreters importing
# the module at once from several threads each. Prints one line, naming the
# file in build-dbg/ that holds the figures (threads-details.txt); on a crash
# or an inconsistent result, the end of that file.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
python="$QX_DEBUG_PYTHON"
tree="$QX_ROOT/build-dbg"
details="$tree/threads-details.txt"
start=$SECONDS

qx_build_module "$tree" "$python" || { echo "threads: build of ${tree#"$QX_ROOT"/}/ failed"; exit 1; }
if PYTHONPATH="$tree/python" PYTHONDONTWRITEBYTECODE=1 \
  "$python" -X faulthandler "$QX_ROOT/tests/reliability/threads.py" >"$details" 2>&1; then
  echo "threads $QX_DEBIAN_VERSION debug ($python): $(sed -n 's/^threads: //p' "$details");" \
    "$((SECONDS - start)) s [${details#"$QX_ROOT"/}]"
  echo "threads: passed"
else
  tail -n 40 "$details"
  echo "threads: FAILED after $((SECONDS - start)) s (all of it: ${details#"$QX_ROOT"/})"
  exit 1
fi
