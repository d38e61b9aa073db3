#!/usr/bin/env bash
# Threads under the debug interpreter: many threads calling the module's
# functions and methods at once (switch interval 1e-6 s) with consistent
# outcomes and traceback entries, and several fresh interpreters importing
# the module at once from several threads each. Prints the figures; fails on
# a crash or an inconsistent result.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
python=/usr/bin/python3.11-dbg
PYTHONPATH="$QX_ROOT/build-dbg/python" PYTHONDONTWRITEBYTECODE=1 \
  "$python" -X faulthandler "$QX_ROOT/tests/reliability/threads.py"
