#!/usr/bin/env bash
# Installs what is needed, builds the module and shows it working.
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps
qx_build "$QX_ROOT/build" /usr/bin/python3
PYTHONPATH="$QX_ROOT/build/python" /usr/bin/python3 -c '
import quendrix.core.enums.weekdays as w
for member in w.Weekdays:
    print(f"{member.name} = {member.value}")
'
