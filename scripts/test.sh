#!/usr/bin/env bash
# Runs every test, for each supported Python found (python-versions.txt):
#   - installs the Debian packages missing; builds the interpreters that no
#     package provides (3.13t and its ThreadSanitizer build; 3.13 where
#     pyenv lacks it) once, into ~/.cache/quendrix-python, and makes there
#     the sid root of the versions only Debian sid packages (3.14, 3.15:
#     scripts/sid-root.sh); installs the Python tools (requirements-dev.txt,
#     from PyPI) into a venv per interpreter;
#   - a build tree per interpreter, then ctest in it (the C++ tests embed that
#     interpreter, the pytest suite runs under it): build/ (/usr/bin/python3),
#     build-dbg/ (Debian's debug build of it, whose assertions catch
#     reference-count errors; the module's own assertions are on there),
#     build-clang/ (the same Python with Debian's clang, assertions on),
#     build-312/, build-313/, build-313t/, and in the sid root build-314/,
#     build-314-dbg/ (sid's debug build), build-315/, build-315-dbg/ (see
#     scripts/deps.sh for where those interpreters are found);
#   - each check in scripts/checks/ in name order (each prints what it
#     measured, per interpreter where it runs under several).
# A version not found is skipped and named, unless QX_REQUIRE_PYTHONS lists
# it (.ci/run sets it to "all"): then the run fails.
# Prints "[n/N] stage" with each stage's duration, and the total.
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export QX_ROOT
. "$QX_ROOT/scripts/deps.sh"
# The caller's settings must not change what the tests see.
unset PYTHONPATH PYTHONHOME PYTHONUSERBASE PYTEST_ADDOPTS

fmt_time() {  # seconds
  if [ "$1" -ge 60 ]; then printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); else printf '%d s' "$1"; fi
}

# Each version found, with its debug build where the tests use one:
# "3.11 (and 3.11d)".
versions_with_debug() {
  local version
  for version in $QX_FOUND_PYTHONS; do
    if [ -n "$(qx_debug_python_for "$version")" ]; then printf '%s (and %sd), ' "$version" "$version"; else printf '%s, ' "$version"; fi
  done | sed 's/, $//'
}

# ---------------------------------------------------------------------------
# Stages.

stage_packages() {
  qx_install_deps
  echo "Debian packages present: $(echo $QX_APT_PACKAGES | wc -w) (scripts/deps.sh)"
  qx_find_pythons
  # Versions no package provides (3.13t, and 3.13 on a machine without it)
  # and the ThreadSanitizer builds: built once, then cached.
  qx_provide_pythons
  local version python
  for version in $QX_FREE_THREADED_PYTHONS; do
    echo "ThreadSanitizer build of $version: $(qx_tsan_python "$version" 2>/dev/null || echo "missing")"
  done
  if [ -n "$(qx_sid_versions)" ]; then
    echo "sid root of $(qx_sid_versions | xargs): $(bash "$QX_ROOT/scripts/sid-root.sh" path || echo "missing")"
  fi
  for python in $(for version in $QX_FOUND_PYTHONS; do qx_python_for "$version"; qx_debug_python_for "$version"; done); do
    echo "Python tools for $python: $(qx_tools_python "$python")"
  done
}

# A tree's build and ctest (scripts/ctest-tree.sh) by its preset, where its
# interpreter runs: in the sid root for a sid version.
stage_ctest() {  # version preset python
  local version="$1" preset="$2" python="$3"
  if [ -z "$python" ]; then
    qx_missing_line "$version"
    if qx_required "$version"; then
      echo "required (QX_REQUIRE_PYTHONS=\"$QX_REQUIRE_PYTHONS\"): failing"
      return 1
    fi
    return 3
  fi
  if qx_in_sid "$python"; then
    qx_sid_run bash scripts/ctest-tree.sh "$preset" "${python#sid:}"
  else
    bash "$QX_ROOT/scripts/ctest-tree.sh" "$preset" "$python"
  fi
}

stage_check() {  # script
  bash "$1"
}

qx_missing_line() {  # version
  printf '%s' "$QX_MISSING_PYTHONS" | grep "^$1:" || echo "$1: not found"
}

qx_required() {  # version
  case " ${QX_REQUIRE_PYTHONS:-} " in *" $1 "*) return 0 ;; *) return 1 ;; esac
}

if [ "${QX_REQUIRE_PYTHONS:-}" = all ]; then
  QX_REQUIRE_PYTHONS="$QX_SUPPORTED_PYTHONS"
fi
for version in ${QX_REQUIRE_PYTHONS:-}; do
  case " $QX_SUPPORTED_PYTHONS " in
    *" $version "*) ;;
    *) echo "QX_REQUIRE_PYTHONS names $version; supported: $QX_SUPPORTED_PYTHONS" >&2; exit 2 ;;
  esac
done

# ---------------------------------------------------------------------------

checks=()
for check in "$QX_ROOT"/scripts/checks/*.sh; do
  [ -e "$check" ] && checks+=("$check")
done
# A stage per version and per checks, with the debug and clang trees of
# Debian's version and the debug tree of each sid version.
total_stages=$((1 + 2 + $(echo $QX_SUPPORTED_PYTHONS | wc -w) + $(qx_sid_versions | wc -l) + ${#checks[@]}))
stage_no=0
summary=()
passed=0
failed=()
skipped=()
run_start=$SECONDS

run_stage() {  # name command...: runs it with errexit in a subshell; 3 means skipped
  local name="$1" start rc status
  shift
  stage_no=$((stage_no + 1))
  echo
  echo "[$stage_no/$total_stages] $name"
  start=$SECONDS
  set +e
  (set -e; "$@")
  rc=$?
  set -e
  case "$rc" in
    0) status="passed"; passed=$((passed + 1)) ;;
    3) status="skipped"; skipped+=("$name") ;;
    *) status="FAILED"; failed+=("$name") ;;
  esac
  local line
  line="$(printf '%-7s %-44s %-8s %s' "[$stage_no/$total_stages]" "$name" "$status" "$(fmt_time $((SECONDS - start)))")"
  echo "$line"
  summary+=("$line")
}

run_stage "packages (apt), interpreters, tools (PyPI)" stage_packages
qx_find_pythons
echo
echo "Python versions found: $QX_FOUND_PYTHONS"
for version in $QX_FOUND_PYTHONS; do
  debug="$(qx_debug_python_for "$version")"
  echo "  $version: $(qx_python_for "$version")${debug:+ (and $debug)}"
done
if [ -n "$QX_MISSING_PYTHONS" ]; then
  printf '%s' "$QX_MISSING_PYTHONS" | sed 's/^/  /'
fi
if [ -n "${QX_REQUIRE_PYTHONS:-}" ]; then
  echo "Required (QX_REQUIRE_PYTHONS): $QX_REQUIRE_PYTHONS"
fi

# Each tree's options are its preset's (CMakePresets.json).
for version in $QX_SUPPORTED_PYTHONS; do
  tree="$(qx_tree_for_version "$version")"
  run_stage "ctest $version (${tree#"$QX_ROOT"/}/)" stage_ctest "$version" "$(qx_preset_for_version "$version")" \
    "$(qx_python_for "$version")"
  if [ "$version" = "$QX_DEBIAN_VERSION" ]; then
    run_stage "ctest $version debug (build-dbg/)" stage_ctest "$version" dbg "$QX_DEBUG_PYTHON"
    # A second compiler: what GCC accepts and others refuse fails here first.
    run_stage "ctest $version clang (build-clang/)" stage_ctest "$version" clang "$(qx_python_for "$version")"
  elif qx_is_sid_version "$version"; then
    # Sid's debug build, whose assertions catch reference-count errors.
    tree="$(qx_debug_tree_for_version "$version")"
    run_stage "ctest $version debug (${tree#"$QX_ROOT"/}/)" stage_ctest "$version" \
      "$(qx_debug_preset_for_version "$version")" "$(qx_debug_python_for "$version")"
  fi
done
for check in "${checks[@]}"; do
  run_stage "check $(basename "$check" .sh)" stage_check "$check"
done

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
echo "total: $(fmt_time $((SECONDS - run_start)))"
echo "Python versions covered: $(versions_with_debug)"
if [ -n "$QX_MISSING_PYTHONS" ]; then
  while IFS= read -r line; do
    if qx_required "${line%%:*}"; then
      echo "Python version REQUIRED but missing: $line"
    else
      echo "Python version skipped: $line"
    fi
  done < <(printf '%s' "$QX_MISSING_PYTHONS")
else
  echo "Python versions skipped: none"
fi
if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: $(printf '%s; ' "${failed[@]}" | sed 's/; $//')"
  status=1
else
  echo "all tests and checks passed"
  status=0
fi
echo "stages: $passed passed, ${#failed[@]} failed, ${#skipped[@]} skipped"
exit "$status"
