#!/usr/bin/env bash
# Source hygiene, also behind the CMake targets `format` and `lint`.
#   hygiene.sh format              rewrites every C++ file in place (.clang-format)
#   hygiene.sh format-check        lists the files clang-format would change; fails if any
#   hygiene.sh lint [BUILD_DIR]    clang-tidy (.clang-tidy) over every project source
#                                  the tree compiles, with the tree's flags
#                                  (BUILD_DIR/compile_commands.json; default build/);
#                                  fails on any finding. A file found clean is not
#                                  linted again while it, every project header,
#                                  every .clang-tidy, its compile command (the
#                                  tree's location aside) and clang-tidy stay
#                                  the same: a cache of clean verdicts outside the
#                                  work tree ($QX_LINT_CACHE, ~/.cache/quendrix-lint),
#                                  which every clone on the machine shares
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"

find_tool() {  # name: Debian's unversioned tool, else its versioned one
  local t
  for t in "/usr/bin/$1" "/usr/bin/$1-14"; do
    [ -x "$t" ] && { echo "$t"; return; }
  done
  echo "$1 not found (Debian: apt-get install $1)" >&2
  exit 2
}

project_files() {  # find test...: the files outside build trees (any dir with a CMakeCache.txt), relative to the root
  (cd "$QX_ROOT" && find . \( -path './build*' -o -path './.git' -o -path './dist' \) -prune -o \
    -type d -exec test -e '{}/CMakeCache.txt' \; -prune -o -type f \( "$@" \) -print | sort)
}

cxx_files() {  # every C++ file
  project_files -name '*.cpp' -o -name '*.h' -o -name '*.cc' -o -name '*.hpp'
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
    cache="${QX_LINT_CACHE:-${HOME:-/root}/.cache/quendrix-lint}"
    mkdir -p "$cache"
    # "key file" for each project source (not files CMake generates in the
    # tree); the key covers everything that can change clang-tidy's verdict.
    mapfile -t shared < <(project_files -name '*.h' -o -name '*.hpp' -o -name .clang-tidy)
    sources="$(/usr/bin/python3 - "$db" "$QX_ROOT" "$tidy" "${shared[@]}" <<'PY'
import hashlib, json, os, subprocess, sys
db, root, tidy, *shared = sys.argv[1:]
root = os.path.realpath(root)

def read(path):
    with open(path, "rb") as f:
        return f.read()

common = hashlib.sha256(subprocess.run([tidy, "--version"], capture_output=True, check=True).stdout)
for path in ["scripts/hygiene.sh"] + shared:
    common.update(path.encode() + b"\0" + read(os.path.join(root, path)) + b"\0")
entries = {}
for e in json.load(open(db)):
    f = os.path.realpath(os.path.join(e["directory"], e["file"]))
    if f.startswith(root + os.sep) and not os.path.relpath(f, root).startswith("build"):
        entries[f] = e
for f, e in sorted(entries.items()):
    key = common.copy()
    command = e.get("command") or " ".join(e["arguments"])
    # Relative to the root, so that another clone of the same sources hits.
    place = f"{e['directory']}\0{command}\0{os.path.relpath(f, root)}\0".replace(root, "<root>")
    key.update(place.encode() + read(f))
    print(key.hexdigest(), f)
PY
)" || exit 2
    count=$(printf '%s\n' "$sources" | grep -c . || true)
    todo="$(printf '%s\n' "$sources" | while read -r key f; do
      [ -n "$key" ] && [ ! -e "$cache/$key" ] && echo "$key $f"
    done || true)"
    linted=$(printf '%s\n' "$todo" | grep -c . || true)
    echo "lint: clang-tidy over $linted of $count files ($build), $(nproc) at a time;" \
      "$((count - linted)) unchanged since found clean ($cache)"
    # One clang-tidy per file, in parallel; each prints its findings at once
    # so that the outputs do not interleave, and marks its file clean in the
    # cache only when there is none. xargs fails if any one fails.
    rc=0
    [ "$linted" -eq 0 ] || printf '%s\n' "$todo" | xargs -P "$(nproc)" -L 1 sh -c '
      out=$("$0" -p "$1" --quiet "$4" 2>&1); rc=$?
      out=$(printf "%s\n" "$out" | grep -v -E "^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Found compiler error")
      [ -n "$out" ] && printf "%s\n" "$out"
      [ "$rc" -eq 0 ] && : >"$2/$3"
      exit $rc' "$tidy" "$build" "$cache" || rc=$?
    # Verdicts nobody asked for in 30 days (each is an empty file).
    find "$cache" -type f -mtime +30 -delete 2>/dev/null || true
    printf '%s\n' "$sources" | cut -d' ' -f1 | (cd "$cache" && xargs -r touch -c)
    if [ "$rc" -ne 0 ]; then
      echo "lint: findings (see above)"
      exit 1
    fi
    echo "lint: no findings"
    ;;
  *)
    sed -n '2,/^set /{/^#/p}' "$0" >&2
    exit 2
    ;;
esac
