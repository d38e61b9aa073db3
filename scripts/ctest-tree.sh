#!/usr/bin/env bash
# One tree of the test command, by its preset (CMakePresets.json): builds it
# (everything: module, C++ tests, benchmarks) against the interpreter the
# preset names, which must be PYTHON, runs its test preset (the C++ tests
# embed that interpreter, the pytest suite runs under its tools venv), then
# prints the counts from the runners' JUnit files; ctest's own output goes to
# a log in the tree, shown when something fails.
#   ctest-tree.sh PRESET PYTHON
# Run where the interpreter is: scripts/test.sh runs it inside the sid root
# for a sid version.
set -euo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"

fmt_time() {  # seconds
  if [ "$1" -ge 60 ]; then printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); else printf '%d s' "$1"; fi
}

preset="$1" python="$2"
dir="$(qx_preset_dir "$preset")"
rc=0
tools="$(qx_tools_python "$python")" || exit 1
mkdir -p "$dir"
start=$SECONDS
if ! QX_TEST_PYTHON="$tools" qx_build "$preset" "$python" >"$dir/build.log" 2>&1; then
  tail -n 60 "$dir/build.log"
  echo "build failed (whole log: ${dir#"$QX_ROOT"/}/build.log)"
  exit 1
fi
echo "built ${dir#"$QX_ROOT"/}/ against $python in $(fmt_time $((SECONDS - start))); Python tests run by $tools"
rm -rf "$dir/results" "$dir/hypothesis-examples.txt"
log="$dir/ctest.log"
# The test preset: output on failure, results/ctest.xml, PYTEST_ADDOPTS=-rs.
(cd "$QX_ROOT" && "$QX_CTEST" --preset "$preset") >"$log" 2>&1 || rc=$?
"$QX_SCRIPT_PYTHON" "$QX_ROOT/scripts/results.py" "ctest=$dir/results/ctest.xml" \
  "C++ tests (qx_cpp_tests)=$dir/results/cpp_tests.xml" \
  "Python tests (tests/python)=$dir/results/python_tests.xml" | sed 's/^/  /' || rc=1
if [ -f "$dir/hypothesis-examples.txt" ]; then
  echo "  $(head -n 1 "$dir/hypothesis-examples.txt")"
fi
if [ "$rc" -ne 0 ]; then
  tail -n 80 "$log"
fi
echo "  details: ${log#"$QX_ROOT"/}; hypothesis examples per property: ${dir#"$QX_ROOT"/}/hypothesis-examples.txt"
exit "$rc"
