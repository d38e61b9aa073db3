#!/usr/bin/env bash
# Builds the module and the benchmark program against one interpreter and
# runs every benchmark case, printing one table. Options:
#   --python PATH  the interpreter (default /usr/bin/python3); the build tree
#                  is the one the test command uses for it: build/ for
#                  /usr/bin/python3, build-dbg/ for python3.11-dbg,
#                  build-312/ and build-313/ for 3.12 and 3.13 (QX_BENCH_BUILD
#                  names another)
#   --quick        a few iterations of each case (a smoke run: the numbers
#                  are noise, and no verdicts are printed)
#   --no-import    skip the import case (it starts 2 x 33 processes)
# Any other option goes to qx_bench (--rounds N, --sample-ms X, --only TEXT).
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps

python=/usr/bin/python3
pairs=31
warmup=2
import_case=1
pass=()
while [ $# -gt 0 ]; do
  case "$1" in
    --python)
      [ $# -ge 2 ] || { echo "bench/run.sh: --python needs a path" >&2; exit 2; }
      python="$2"
      shift
      ;;
    --python=*) python="${1#--python=}" ;;
    --quick) pairs=3; warmup=0; pass+=("$1") ;;
    --no-import) import_case="" ;;
    *) pass+=("$1") ;;
  esac
  shift
done

# The tree for this interpreter: named by its version and build kind.
read -r version debug < <("$python" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2], int(bool(sysconfig.get_config_var("Py_DEBUG"))))') || {
  echo "bench/run.sh: cannot run $python" >&2
  exit 2
}
if [ -n "${QX_BENCH_BUILD:-}" ]; then
  build="$QX_BENCH_BUILD"
elif [ "$debug" = 1 ]; then
  if [ "$version" = 3.11 ]; then build="$QX_ROOT/build-dbg"; else build="$QX_ROOT/build-${version//./}-dbg"; fi
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
cmake -S "$QX_ROOT" -B "$build" -DQX_PYTHON="$python" -DQX_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target weekdays qx_bench -j "$(nproc)" >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
extra=()
if [ -n "$import_case" ]; then
  "$python" "$QX_ROOT/bench/import_bench.py" --python "$python" --package-root "$build/python" \
    --work "$work" --out "$work/import.tsv" --pairs "$pairs" --warmup "$warmup"
  extra=(--extra-rows "$work/import.tsv")
fi
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
  "$("$python" -c 'import sys; print("Python", sys.version.split()[0])') ($python)"
"$build/qx_bench" "${extra[@]}" "${pass[@]}"
