#!/usr/bin/env bash
# Installs what building needs (the compiler, CMake, Python 3.11 and its
# headers: the test command installs the rest), builds the module alone in
# build/ against /usr/bin/python3 and shows it working.
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps $QX_BUILD_PACKAGES
cmake -S "$QX_ROOT" -B "$QX_ROOT/build" -DQX_PYTHON=/usr/bin/python3 \
  -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF >/dev/null
cmake --build "$QX_ROOT/build" --target weekdays -j "$(nproc)"
PYTHONPATH="$QX_ROOT/build/python" /usr/bin/python3 -c '
import quendrix.core.enums.weekdays as w
for member in w.Weekdays:
    print(f"{member.name} = {member.value}")
'
