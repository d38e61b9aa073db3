#!/usr/bin/env bash
# Threads under Debian's debug interpreter, under each free-threaded one
# (GIL off), and under its ThreadSanitizer build with the module built with
# -fsanitize=thread: many threads calling the module's functions and
# methods at once (switch interval 1e-6 s), others replacing function
# attributes, with consistent outcomes and traceback entries, and several
# fresh interpreters importing the module at once from several threads each.
# Under ThreadSanitizer no report may remain (tests/sanitizers/tsan.supp
# lists what is the interpreter's own). Prints one line per interpreter,
# naming the file in its tree that holds the figures (threads-details.txt);
# on a crash, an inconsistent result or a report, the end of it.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
start=$SECONDS

# Debian's debug interpreter (its assertions check reference counts), then
# each free-threaded interpreter found (python-versions.txt lines ending in
# t; none is required), where the threads run truly in parallel, GIL off.
runs=("$QX_DEBUG_PYTHON $QX_ROOT/build-dbg $QX_DEBIAN_VERSION debug")
qx_find_pythons "$QX_FREE_THREADED_PYTHONS"
for version in $QX_FOUND_PYTHONS; do
  runs+=("$(qx_python_for "$version") $(qx_tree_for_version "$version") $version")
done
# The ThreadSanitizer builds: required where their version is (a first run
# builds one in about 5 minutes).
for version in $QX_FOUND_PYTHONS; do
  tsan_python="$(qx_tsan_python "$version")" || { echo "threads: no ThreadSanitizer build of $version"; exit 1; }
  # Read by its tree's preset (313t-tsan).
  export "QX_TSAN_PYTHON_${version//./_}=$tsan_python"
  runs+=("$tsan_python $(qx_tree_for_version "$version")-tsan $version-tsan")
done
supp="$QX_ROOT/tests/sanitizers/tsan.supp"
for run in "${runs[@]}"; do
  read -r python tree label <<<"$run"
  details="$tree/threads-details.txt"
  env_run=(env)
  reports=""
  case "$label" in
    *-tsan)
      qx_build_module "$tree" "$python" ||
        { echo "threads: build of ${tree#"$QX_ROOT"/}/ failed"; exit 1; }
      reports="$tree/tsan"
      rm -rf "$reports"
      mkdir -p "$reports"
      # Reports go to files (one per process: the fresh interpreters too);
      # the exit status is the test's own.
      env_run+=(TSAN_OPTIONS="suppressions=$supp log_path=$reports/report halt_on_error=0 exitcode=0")
      ;;
    *)
      qx_build_module "$tree" "$python" || { echo "threads: build of ${tree#"$QX_ROOT"/}/ failed"; exit 1; }
      ;;
  esac
  if "${env_run[@]}" PYTHONPATH="$tree/python" PYTHONDONTWRITEBYTECODE=1 \
    "$python" -X faulthandler "$QX_ROOT/tests/reliability/threads.py" >"$details" 2>&1; then
    tsan=""
    if [ -n "$reports" ]; then
      count="$(cat "$reports"/report.* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer' || true)"
      tsan=" ThreadSanitizer reports: $count;"
      if [ "$count" -ne 0 ]; then
        head -n 60 "$(ls "$reports"/report.* | head -n 1)"
        echo "threads: FAILED: $count ThreadSanitizer reports under $label (all of them: ${reports#"$QX_ROOT"/}/)"
        exit 1
      fi
    fi
    echo "threads $label ($python): $(sed -n 's/^threads: //p' "$details");$tsan" \
      "$((SECONDS - start)) s [${details#"$QX_ROOT"/}]"
  else
    tail -n 40 "$details"
    echo "threads: FAILED after $((SECONDS - start)) s (all of it: ${details#"$QX_ROOT"/})"
    exit 1
  fi
done
echo "threads: passed"
