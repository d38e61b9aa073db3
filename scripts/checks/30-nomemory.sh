#!/usr/bin/env bash
# Allocation-failure sweep under the debug interpreter, with
# _testcapi.set_nomemory: the import (each allocation failed in a fresh
# interpreter, and again in one interpreter that keeps retrying) and every
# operation of tests/reliability/qx_ops.py, failing the n-th allocation for
# n = 0, 1, ... until the operation no longer reaches it. Every outcome must
# be success or a clean Python exception, and the module must work afterwards.
# Prints the allocation points per operation; fails on any fault.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
python=/usr/bin/python3.11-dbg
PYTHONPATH="$QX_ROOT/build-dbg/python" PYTHONDONTWRITEBYTECODE=1 \
  "$python" "$QX_ROOT/tests/reliability/nomemory.py"
