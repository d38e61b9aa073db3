#!/usr/bin/env bash
# AddressSanitizer and UndefinedBehaviorSanitizer, against Debian's
# /usr/bin/python3 (build-asan/) and against the newest of sid's release
# interpreters (build-315-asan/, in the sid root, with sid's compiler): for
# each, builds the tree (module and C++ tests instrumented), then runs
# the C++ test binary and the Python tests (pytest from the interpreter's
# tools venv) with the interpreter's allocator set to malloc (so every object
# allocation goes through the sanitizer) and the sanitizer runtime preloaded
# into the interpreter. Every sanitized process, the fresh interpreters that
# some tests start included, writes its reports to a log directory; any
# report fails the check. Prints one line (each run's counts, the number of
# reports), naming the file in build-asan/ that holds every run's output
# (sanitizers-details.txt); on a failure, the reports and that output's end.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"

if [ "${1:-}" != --one ]; then
  failed=""
  qx_check_one "$0" "$QX_DEBIAN_PYTHON" "$QX_ROOT/build-asan" || failed="$failed $QX_DEBIAN_VERSION"
  qx_find_pythons "$(qx_sid_versions)"
  newest="$(echo $QX_FOUND_PYTHONS | awk '{ print $NF }')"
  if [ -n "$newest" ]; then
    qx_check_one "$0" "$(qx_python_for "$newest")" "$(qx_tree_for_version "$newest")-asan" || failed="$failed $newest"
  else
    echo "sanitizers: no sid interpreter found ($(qx_sid_versions | xargs))"
  fi
  if [ -n "$failed" ]; then
    echo "sanitizers: FAILED:$failed"
    exit 1
  fi
  echo "sanitizers: passed"
  exit 0
fi

# --one python tree: one interpreter's run.
python="$2"
build="$3"
logs="$build/sanitizer-logs"
details="$build/sanitizers-details.txt"
start=$SECONDS

mkdir -p "$build"
# Its preset (asan, 315-asan): QX_SANITIZE on, C++ tests on, no benchmarks.
if ! qx_build "$(qx_preset_of_tree "$build")" "$python" >"$build/check-build.log" 2>&1; then
  tail -n 40 "$build/check-build.log"
  echo "sanitizers: build of ${build#"$QX_ROOT"/}/ failed (log: ${build#"$QX_ROOT"/}/check-build.log)"
  exit 1
fi
# Made (if need be) before anything is sanitized: pip does not run under it.
tools_python="$(qx_tools_python "$python")" || { echo "sanitizers: no tools venv for $python"; exit 1; }

# The runtime of the compiler that instrumented the tree.
cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
libasan="$("$cxx" -print-file-name=libasan.so)"
if [ ! -e "$libasan" ]; then
  echo "sanitizers: $cxx's libasan not found ($libasan)"
  exit 1
fi

rm -rf "$logs"
mkdir -p "$logs"
: >"$details"
supp="$QX_ROOT/tests/sanitizers/lsan.supp"
# halt_on_error / -fno-sanitize-recover: the first report ends the process
# with a failure. log_path: one file per reporting process, so that reports
# from child interpreters are counted too.
asan_options="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1"
asan_options="$asan_options:strict_init_order=1:check_initialization_order=1:log_path=$logs/asan"
ubsan_options="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
lsan_options="suppressions=$supp:print_suppressions=0"

runs=0
failed=""
counts=()

run_sanitized() {  # name, command...: its output goes to the details file, its counts to the summary
  local name="$1" out="$build/sanitized-run.txt" count
  shift
  runs=$((runs + 1))
  env ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" LSAN_OPTIONS="$lsan_options" \
    PYTHONMALLOC=malloc "$@" >"$out" 2>&1 || failed="$failed; $name"
  { echo "== $name"; cat "$out"; echo; } >>"$details"
  # pytest's last line, or GoogleTest's PASSED (and SKIPPED) lines.
  count="$(grep -E '^[0-9]+ (passed|failed)' "$out" | tail -n 1 | sed -E 's/ in [0-9.]+s.*//')"
  [ -n "$count" ] || count="$(sed -nE 's/^\[  (PASSED|SKIPPED) +\] ([0-9]+) tests?\b.*/\2 \L\1/p' "$out" |
    paste -sd, - | sed 's/,/, /g')"
  counts+=("$name ${count:-no count}")
  rm -f "$out"
}

run_sanitized "C++ tests" \
  env QX_PACKAGE_ROOT="$build/python" "$build/qx_cpp_tests" --gtest_brief=1

# The Python tests: the interpreter is not instrumented, so the runtime is
# preloaded into it (and, through the inherited environment, into the fresh
# interpreters that the subprocess tests start).
run_sanitized "Python tests" \
  env LD_PRELOAD="$libasan" PYTHONPATH="$build/python" QX_PACKAGE_ROOT="$build/python" \
  PYTHONDONTWRITEBYTECODE=1 "$tools_python" -m pytest -q -p no:cacheprovider "$QX_ROOT/tests/python"

reports=$(find "$logs" -type f | wc -l)
summary="$(printf '%s; ' "${counts[@]}")$reports sanitizer reports; $((SECONDS - start)) s"
if [ -n "$failed" ] || [ "$reports" -ne 0 ]; then
  for f in "$logs"/*; do
    [ -e "$f" ] || continue
    echo "== sanitizer report: $f"
    head -n 60 "$f"
  done
  tail -n 40 "$details"
  echo "sanitizers ($python, ${build#"$QX_ROOT"/}/): $summary"
  echo "sanitizers ($python): FAILED${failed:+ (failing runs: ${failed#; })} (all output: ${details#"$QX_ROOT"/})"
  exit 1
fi
echo "sanitizers ($python, ${build#"$QX_ROOT"/}/): $summary [${details#"$QX_ROOT"/}]"
