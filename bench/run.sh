#!/usr/bin/env bash
# Builds the release tree (against /usr/bin/python3) and runs every benchmark
# case, printing one table. Options:
#   --quick      a few iterations of each case (a smoke run; numbers are noise)
#   --no-import  skip the import case (it starts 2 x 33 processes)
# Any other option goes to qx_bench (--rounds N, --sample-ms X, --only TEXT).
# QX_BENCH_BUILD names another build directory (default: build/).
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps
build="${QX_BENCH_BUILD:-$QX_ROOT/build}"
qx_build "$build" /usr/bin/python3 >/dev/null

pairs=31
warmup=2
import_case=1
pass=()
for arg in "$@"; do
  case "$arg" in
    --quick) pairs=3; warmup=0; pass+=("$arg") ;;
    --no-import) import_case="" ;;
    *) pass+=("$arg") ;;
  esac
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
extra=()
if [ -n "$import_case" ]; then
  /usr/bin/python3 "$QX_ROOT/bench/import_bench.py" --package-root "$build/python" \
    --work "$work" --out "$work/import.tsv" --pairs "$pairs" --warmup "$warmup"
  extra=(--extra-rows "$work/import.tsv")
fi
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
  "$(/usr/bin/python3 -c 'import sys; print("Python", sys.version.split()[0])')"
"$build/qx_bench" "${extra[@]}" "${pass[@]}"
