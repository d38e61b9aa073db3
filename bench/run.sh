#!/usr/bin/env bash
# Builds the module and the benchmark programs against one interpreter, runs
# every benchmark case and prints one table: first the cases pyperf times
# from Python code (pyperf_run.py, under the interpreter's tools venv), then
# those of qx_bench (C-level calls and parsing, traceback entries,
# allocations). Options:
#   --python PATH   the interpreter (default /usr/bin/python3); the build tree
#                   is the one the test command uses for it: build/ for
#                   /usr/bin/python3, build-dbg/ for python3.11-dbg,
#                   build-312/, build-313/ and build-313t/ for 3.12, 3.13
#                   and 3.13t (QX_BENCH_BUILD names another). A sid
#                   interpreter is named as the test command names it,
#                   sid:/usr/bin/python3.14 (build-314/): the run is then
#                   made in the sid root, and its pyperf files copied out
#   --quick         a smoke run: one pyperf value per side, a few iterations
#                   of each qx_bench case, no goals and no verdicts (the
#                   numbers are noise)
#   --no-import     skip the import case
#   --json-dir DIR  where pyperf's files go (module.json, interp.json,
#                   pyperf.log) and a copy of the table; default
#                   bench/results/<version>-<commit>[-quick]/
#   --only TEXT     only the cases whose name contains TEXT
# Any other option goes to qx_bench (--rounds N, --sample-ms X).
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps
args=("$@")

python=/usr/bin/python3
quick=""
json_dir=""
py_opts=()
pass=()
while [ $# -gt 0 ]; do
  case "$1" in
    --python | --json-dir | --only)
      [ $# -ge 2 ] || { echo "bench/run.sh: $1 needs a value" >&2; exit 2; }
      case "$1" in
        --python) python="$2" ;;
        --json-dir) json_dir="$2" ;;
        --only) py_opts+=("$1" "$2"); pass+=("$1" "$2") ;;
      esac
      shift
      ;;
    --python=*) python="${1#--python=}" ;;
    --json-dir=*) json_dir="${1#--json-dir=}" ;;
    --quick) quick=1; py_opts+=("$1"); pass+=("$1") ;;
    --no-import) py_opts+=("$1") ;;
    *) pass+=("$1") ;;
  esac
  shift
done

commit="${QX_BENCH_COMMIT:-$(git -C "$QX_ROOT" describe --always --dirty 2>/dev/null || echo unversioned)}"
if qx_in_sid "$python"; then
  # Run in the root (which has no git: the commit goes along), then bring
  # the pyperf files to where they were asked for.
  if [ -z "$json_dir" ]; then
    json_dir="$QX_ROOT/bench/results/$(basename "${python#sid:}" | sed 's/^python//')-$commit${quick:+-quick}"
  fi
  json_dir="$(realpath -m "$json_dir")"
  QX_BENCH_COMMIT="$commit" qx_sid_run bash bench/run.sh "${args[@]}" --python "${python#sid:}" \
    --json-dir "$json_dir"
  root="$(bash "$QX_ROOT/scripts/sid-root.sh" path)"
  mkdir -p "$json_dir"
  cp -a "$root$json_dir/." "$json_dir/"
  exit 0
fi

# The tree for this interpreter: named by its version and build kind.
{ version="$(qx_fact "$python" VERSION_LINE)" && debug="$(qx_fact "$python" DEBUG_BUILD)"; } || {
  echo "bench/run.sh: cannot run $python" >&2
  exit 2
}
if [ -n "${QX_BENCH_BUILD:-}" ]; then
  build="$QX_BENCH_BUILD"
elif [ "$debug" = True ]; then
  build="$(qx_debug_tree_for_version "$version")"
else
  build="$(qx_tree_for_version "$version")"
fi
configured="$(qx_tree_python "$build")"
if [ -n "$configured" ]; then
  if [ "$(realpath -m "$configured")" != "$(realpath -m "$python")" ]; then
    echo "bench/run.sh: $build is configured for $configured, not $python;" \
      "name another tree with QX_BENCH_BUILD=<dir>" >&2
    exit 2
  fi
  python="$configured"  # the same file: keep the tree's spelling of it
fi

echo "building ${build#"$QX_ROOT"/}/ against $python"
"$QX_CMAKE" -S "$QX_ROOT" -B "$build" -DQX_PYTHON="$python" -DQX_BUILD_BENCH=ON >/dev/null
"$QX_CMAKE" --build "$build" --target weekdays qx_bench qx_bench_objects -j "$(nproc)" >/dev/null
tools="$(qx_tools_python "$python")"

# Named by version and commit, so that a run at another commit lands beside
# this one for pyperf compare_to.
if [ -z "$json_dir" ]; then
  kind="$version"
  if [ "$debug" = True ]; then kind="${version}d"; fi
  json_dir="$QX_ROOT/bench/results/$kind-$commit${quick:+-quick}"
fi
mkdir -p "$json_dir"
json_dir="$(cd "$json_dir" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
PYTHONPATH="$build/python:$build/bench-python" "$tools" "$QX_ROOT/bench/pyperf_run.py" \
  --python "$python" --package-root "$build/python" --json-dir "$json_dir" --work "$work" \
  --rows "$work/pyperf.tsv" "${py_opts[@]}"
{
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
    "$("$python" -c 'import sys; print("Python", sys.version.split()[0])') ($python)"
  "$build/qx_bench" --extra-rows "$work/pyperf.tsv" "${pass[@]}"
} | tee "$json_dir/table.txt"
shown="${json_dir#"$QX_ROOT"/}"
echo "pyperf's results: $shown/module.json and interp.json (its output: pyperf.log)"
echo "against another run: ${tools#"$QX_ROOT"/} -m pyperf compare_to --table OTHER/module.json $shown/module.json"
