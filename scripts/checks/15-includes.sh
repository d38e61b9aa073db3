#!/usr/bin/env bash
# The include graph: no project include points up the rooms (core, runtime,
# function and enums, module) or across to a sibling room, and no cycle
# joins components (a header with its source). Prints the includes per pair
# of rooms (scripts/includes.py).
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
if /usr/bin/python3 "$QX_ROOT/scripts/includes.py" "$QX_ROOT"; then
  echo "includes: passed"
else
  echo "includes: FAILED"
  exit 1
fi
