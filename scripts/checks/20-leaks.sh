#!/usr/bin/env bash
# Reference-leak run under the debug interpreter: every operation of
# tests/reliability/qx_ops.py (the import's failure-and-retry paths first,
# then every other operation with qx_runtime.impl_line_in_traceback false and
# true) in 3 warm-up and 3 counted rounds; sys.gettotalrefcount() and
# sys.getallocatedblocks() must come back to the same values after every
# counted round. Prints operations x rounds; fails on any leak.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
python=/usr/bin/python3.11-dbg
PYTHONPATH="$QX_ROOT/build-dbg/python" PYTHONDONTWRITEBYTECODE=1 \
  "$python" -X faulthandler "$QX_ROOT/tests/reliability/leaks.py" 3
