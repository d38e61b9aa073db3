#!/usr/bin/env bash
# Source hygiene: every C++ file formatted as .clang-format says, and no
# clang-tidy finding (.clang-tidy) in the sources the release tree build/
# compiles. Prints the files checked and every file or finding at fault.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
build="$QX_ROOT/build"
failed=""

start=$SECONDS
bash "$QX_ROOT/scripts/hygiene.sh" format-check || failed="$failed format"
echo "format check: $((SECONDS - start)) s"

# Configuring refreshes compile_commands.json (new files, changed flags);
# nothing needs to be built for clang-tidy. Tests and benchmarks on, so that
# their sources are linted too (scripts/build.sh turns them off).
start=$SECONDS
cmake -S "$QX_ROOT" -B "$build" -DQX_PYTHON=/usr/bin/python3 -DQX_BUILD_TESTS=ON -DQX_BUILD_BENCH=ON \
  >/dev/null || failed="$failed configure"
bash "$QX_ROOT/scripts/hygiene.sh" lint "$build" || failed="$failed lint"
echo "lint: $((SECONDS - start)) s"

if [ -n "$failed" ]; then
  echo "hygiene: FAILED:$failed"
  exit 1
fi
echo "hygiene: passed"
