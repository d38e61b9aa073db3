#!/usr/bin/env bash
# Source hygiene, also behind the CMake targets `format` and `lint`.
#   hygiene.sh format              rewrites every C++ file in place (.clang-format)
#   hygiene.sh format-check        lists the files clang-format would change; fails if any
#   hygiene.sh lint [BUILD_DIR]    clang-tidy (.clang-tidy) over every project source
#                                  the tree compiles, with the tree's flags
#                                  (BUILD_DIR/compile_commands.json; default build/);
#                                  fails on any finding
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"

find_tool() {  # name: the unversioned tool, else Debian's versioned one
  command -v "$1" || command -v "$1-14" || {
    echo "$1 not found (Debian: apt-get install $1)" >&2
    exit 2
  }
}

cxx_files() {  # every C++ file outside build trees (any dir with a CMakeCache.txt), relative to the root
  (cd "$QX_ROOT" && find . \( -path './build*' -o -path './.git' -o -path './dist' \) -prune -o \
    -type d -exec test -e '{}/CMakeCache.txt' \; -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.cc' -o -name '*.hpp' \) -print | sort)
}

case "${1:-}" in
  format)
    fmt="$(find_tool clang-format)"
    cxx_files | (cd "$QX_ROOT" && xargs "$fmt" -i)
    ;;
  format-check)
    fmt="$(find_tool clang-format)"
    bad=0
    total=0
    while read -r f; do
      total=$((total + 1))
      if ! (cd "$QX_ROOT" && "$fmt" --dry-run --Werror "$f" >/dev/null 2>&1); then
        lines=$(cd "$QX_ROOT" && "$fmt" "$f" | diff "$f" - | grep -c '^>' || true)
        echo "not formatted: ${f#./} ($lines lines differ)"
        bad=$((bad + 1))
      fi
    done < <(cxx_files)
    echo "format: $total files, $bad not formatted"
    [ "$bad" -eq 0 ] || { echo "run: cmake --build build --target format"; exit 1; }
    ;;
  lint)
    tidy="$(find_tool clang-tidy)"
    build="${2:-$QX_ROOT/build}"
    db="$build/compile_commands.json"
    if [ ! -f "$db" ]; then
      echo "lint: $db missing; configure the tree first (cmake -S . -B build)" >&2
      exit 2
    fi
    # Project sources only (not files CMake generates in the tree).
    files="$(/usr/bin/python3 - "$db" "$QX_ROOT" <<'PY'
import json, os, sys
root = os.path.realpath(sys.argv[2]) + os.sep
for f in sorted({os.path.realpath(os.path.join(e["directory"], e["file"])) for e in json.load(open(sys.argv[1]))}):
    if f.startswith(root) and not os.path.relpath(f, root).startswith("build"):
        print(f)
PY
)"
    count=$(printf '%s\n' "$files" | grep -c . || true)
    echo "lint: clang-tidy over $count files ($build), $(nproc) at a time"
    # One clang-tidy per file, in parallel; each prints its findings at once
    # so that the outputs do not interleave. xargs fails if any one fails.
    rc=0
    printf '%s\n' "$files" | xargs -P "$(nproc)" -I{} sh -c '
      out=$("$0" -p "$1" --quiet "$2" 2>&1); rc=$?
      out=$(printf "%s\n" "$out" | grep -v -E "^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Found compiler error")
      [ -n "$out" ] && printf "%s\n" "$out"
      exit $rc' "$tidy" "$build" {} || rc=$?
    if [ "$rc" -ne 0 ]; then
      echo "lint: findings (see above)"
      exit 1
    fi
    echo "lint: no findings"
    ;;
  *)
    sed -n '2,9p' "$0" >&2
    exit 2
    ;;
esac
