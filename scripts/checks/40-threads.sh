#!/usr/bin/env bash
# Threads under Debian's debug interpreter and under each free-threaded
# one: many threads calling the module's functions and methods at once
# (switch interval 1e-6 s), others replacing function attributes, with consistent
# outcomes and traceback entries, and several fresh interpreters importing
# the module at once from several threads each. Prints one line per
# interpreter, naming the file in its tree that holds the figures
# (threads-details.txt); on a crash or an inconsistent result, the end of it.
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
for run in "${runs[@]}"; do
  read -r python tree label <<<"$run"
  details="$tree/threads-details.txt"
  qx_build_module "$tree" "$python" || { echo "threads: build of ${tree#"$QX_ROOT"/}/ failed"; exit 1; }
  if PYTHONPATH="$tree/python" PYTHONDONTWRITEBYTECODE=1 \
    "$python" -X faulthandler "$QX_ROOT/tests/reliability/threads.py" >"$details" 2>&1; then
    echo "threads $label ($python): $(sed -n 's/^threads: //p' "$details");" \
      "$((SECONDS - start)) s [${details#"$QX_ROOT"/}]"
  else
    tail -n 40 "$details"
    echo "threads: FAILED after $((SECONDS - start)) s (all of it: ${details#"$QX_ROOT"/})"
    exit 1
  fi
done
echo "threads: passed"
