#!/usr/bin/env bash
# Runs every test: the release build under /usr/bin/python3, then a build
# against the debug interpreter (python3.11-dbg), whose assertions catch
# reference-count errors.
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps

status=0
for variant in "build:/usr/bin/python3" "build-dbg:/usr/bin/python3.11-dbg"; do
  dir="$QX_ROOT/${variant%%:*}"
  python="${variant#*:}"
  echo "== $python ($dir)"
  qx_build "$dir" "$python"
  (cd "$dir" && ctest --output-on-failure) || status=1
done
exit $status
