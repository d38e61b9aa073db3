#!/usr/bin/env bash
# Runs every test: the release build under /usr/bin/python3, then a build
# against the debug interpreter (python3.11-dbg), whose assertions catch
# reference-count errors, then each further check in scripts/checks/ in
# name order (each prints what it measured).
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export QX_ROOT
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps

failed=""
for variant in "build:/usr/bin/python3" "build-dbg:/usr/bin/python3.11-dbg"; do
  dir="$QX_ROOT/${variant%%:*}"
  python="${variant#*:}"
  echo "== ctest: $python ($dir)"
  qx_build "$dir" "$python"
  (cd "$dir" && ctest --output-on-failure) || failed="$failed ctest:${variant%%:*}"
done
for check in "$QX_ROOT"/scripts/checks/*.sh; do
  [ -e "$check" ] || continue
  echo "== check: $(basename "$check")"
  bash "$check" || failed="$failed $(basename "$check")"
done
if [ -n "$failed" ]; then
  echo "FAILED:$failed"
  exit 1
fi
echo "all tests and checks passed"
