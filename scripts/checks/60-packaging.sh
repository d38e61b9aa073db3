#!/usr/bin/env bash
# Packaging, as a user meets it, for each supported Python found. Copies the
# source tree (tracked and new files, nothing ignored: no build trees) to a
# scratch directory, so that the working tree is left as it was and no
# earlier build product helps. For each interpreter, in fresh venvs, with
# build isolation (scikit-build-core from PyPI):
#   1. pip install .; tests/packaging from another directory (import, the
#      stub and marker, mypy.stubtest, mypy on a good and a misspelt program,
#      basedpyright on the good one under Debian's python3,
#      the README's examples); pip uninstall, after which nothing is left;
#   2. python -m build: an sdist, then a wheel built from it; auditwheel
#      repairs it to the manylinux tag this machine's glibc allows, and
#      `auditwheel show` must name a manylinux tag; the repaired wheel into a
#      fresh venv, the same tests, uninstall;
#   3. pip install -e .; the same tests; uninstall.
# For Debian's python3 also: the README's quick start as written; an offline
# build (--no-build-isolation --no-index) with the tools of
# requirements-dev.txt; and a build that takes cmake and ninja from PyPI
# (it asks for newer ones than Debian 12's, as on a machine with none).
# A sid version's part runs in the sid root, with sid's compiler and C
# library (its wheel's manylinux tag follows from that).
# Prints one line per interpreter; every step's output goes to the log it
# names (build-packaging/<version>.log; a sid version's in
# build-packaging-sid/), and a failing step's tail to the terminal.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"

if [ "${1:-}" != --one ]; then
  qx_find_pythons
  rm -rf "$(qx_shared_dir build-packaging)"
  failed=""
  for version in $QX_SUPPORTED_PYTHONS; do
    python="$(qx_python_for "$version")"
    if [ -z "$python" ]; then
      echo "$version: skipped, not found"
      continue
    fi
    qx_check_one "$0" "$python" "$version" || failed="$failed $version"
  done
  if [ -n "$failed" ]; then
    echo "packaging: FAILED for Python$failed"
    exit 1
  fi
  echo "packaging: passed for Python $QX_FOUND_PYTHONS"
  exit 0
fi

# --one python version: one interpreter's part.
python="$2"
version="$3"
unset PYTHONPATH PYTHONHOME PYTHONUSERBASE
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
# A user's PATH, without the pyenv shims of this machine (their cmake would
# hide Debian's).
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

work="$(mktemp -d /tmp/qx-packaging.XXXXXX)"
trap 'rm -rf "$work"' EXIT
src="$work/src"
scratch="$work/elsewhere"
mkdir -p "$src" "$scratch"
export TMPDIR="$work/tmp"  # pip's and CMake's temporary files too
mkdir -p "$TMPDIR"
logs="$(qx_shared_dir build-packaging)"
mkdir -p "$logs"
log="$logs/$version.log"
rm -f "$log"
failed=""
pytest_runs=0

step() {  # name, command...: its output to the log; the tail on failure
  local name="$1" start=$SECONDS rc
  shift
  echo "== $name" >>"$log"
  "$@" >"$work/step.log" 2>&1
  rc=$?
  cat "$work/step.log" >>"$log"
  echo "== $name: $([ $rc -eq 0 ] && echo ok || echo FAILED) ($((SECONDS - start)) s)" >>"$log"
  if [ $rc -ne 0 ]; then
    echo "FAIL $name ($((SECONDS - start)) s)"
    tail -n 40 "$work/step.log"
    failed="$failed [$name]"
  fi
  return $rc
}

copy_tree() {
  if git -C "$QX_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$QX_ROOT" && git ls-files -z --cached --others --exclude-standard |
      tar --null --ignore-failed-read -T - -cf -) | tar -C "$src" -xf -
  else
    (cd "$QX_ROOT" && tar --exclude='./build*' --exclude='*.so' -cf - .) | tar -C "$src" -xf -
  fi
}

make_venv() {  # python dir: a plain venv with the test tools (pytest, mypy) of requirements-dev.txt
  local tools='pytest|mypy'
  # No mypy wheel for a free-threaded interpreter: its tests skip there.
  "$1" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' && tools='pytest'
  "$1" -m venv "$2" &&
    "$2/bin/python" -m pip install -q $(grep -E "^($tools)==" "$QX_REQUIREMENTS")
}

# basedpyright checks the stub, which is the same for every version: it
# runs under Debian's python3 only (its tests skip elsewhere).
basedpyright=""

package_tests() {  # venv mode
  pytest_runs=$((pytest_runs + 1))
  (cd "$scratch" && QX_INSTALL_MODE="$2" QX_INSTALL_SOURCE="$src" QX_SOURCE_ROOT="$src" \
    QX_BASEDPYRIGHT="$basedpyright" \
    "$1/bin/python" -m pytest -q -rs -p no:cacheprovider --basetemp "$work/pytest-$pytest_runs" \
    "$src/tests/packaging")
}

# pip leaves the empty directories above an editable install's compiled
# module (it removes only the directories of the files it recorded); nothing
# else may stay, and the module must no longer import.
uninstall_and_check_gone() {  # venv [editable]
  "$1/bin/python" -m pip uninstall -y quendrix-weekdays || return 1
  (cd "$scratch" && "$1/bin/python" - "${2:-}" <<'PY')
import importlib.util, pathlib, sys, sysconfig
try:
    found = importlib.util.find_spec("quendrix.core.enums.weekdays")
except ImportError:
    found = None
if found is not None:
    raise SystemExit("quendrix.core.enums.weekdays still importable after uninstall")
site = pathlib.Path(sysconfig.get_paths()["platlib"])
left = [p for p in site.iterdir() if "quendrix" in p.name.lower()]
if sys.argv[1] == "editable":
    left = [f for p in left for f in ([p] if p.is_file() else p.rglob("*")) if not f.is_dir()]
if left:
    raise SystemExit(f"left in site-packages after uninstall: {left}")
PY
}

install_test_uninstall() {  # version venv label mode pip-install-arguments...
  local version="$1" venv="$2" label="$3" mode="$4"
  shift 4
  step "$version: $label" "$venv/bin/python" -m pip install "$@" &&
    step "$version: tests/packaging after $label" package_tests "$venv" "$mode" &&
    step "$version: pip uninstall after $label" uninstall_and_check_gone "$venv" "$mode"
}

# The README's quick start, as written, by a user whose home is scratch.
readme_install() {
  local script="$work/readme-install.sh"
  "$QX_DEBIAN_PYTHON" - "$src/README.md" >"$script" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
section = text.split("## Install with pip", 1)[1]
print(re.search(r"^```sh\n(.*?)^```", section, re.S | re.M).group(1))
PY
  mkdir -p "$work/home"
  (cd "$src" && HOME="$work/home" bash -euxo pipefail "$script") >"$work/readme.out" 2>&1 || {
    cat "$work/readme.out"
    return 1
  }
  cat "$work/readme.out"
  grep -q '^<Weekdays.Friday: 6>$' "$work/readme.out"
}

packaging_for() {  # version python
  local version="$1" python="$2" tools venv="$work/venv-$1" dist="$work/dist-$1" start=$SECONDS wheel
  local before="$failed"
  tools="$(qx_tools_python "$python")" || { failed="$failed [$version: tools venv]"; return; }
  if [ "$python" = "$QX_DEBIAN_PYTHON" ]; then
    # A failure here fails the basedpyright tests too, rather than skipping them.
    basedpyright="$(qx_basedpyright)" || basedpyright=/nonexistent/basedpyright
  fi
  step "$version: venv" make_venv "$python" "$venv" || return
  # 1. pip install . and uninstall; 3. editable.
  install_test_uninstall "$version" "$venv" "pip install ." site "$src"
  install_test_uninstall "$version" "$venv" "pip install -e ." editable -e "$src"

  # 2. sdist, a wheel from it, repaired for manylinux, into a fresh venv.
  if step "$version: python -m build (sdist, then a wheel from it)" \
    "$tools" -m build --outdir "$dist" "$src" &&
    step "$version: the wheel as built" "$python" "$src/tests/packaging/check_wheel.py" "$dist"/*.whl linux &&
    step "$version: auditwheel repair" env PATH="$(dirname "$tools"):$PATH" \
      "$tools" -m auditwheel repair -w "$dist/repaired" "$dist"/*.whl &&
    step "$version: auditwheel show names a manylinux tag" \
      bash -c "'$tools' -m auditwheel show '$dist'/repaired/*.whl | tee /dev/stderr | grep -q 'manylinux_'" &&
    step "$version: the repaired wheel" "$python" "$src/tests/packaging/check_wheel.py" "$dist"/repaired/*.whl manylinux &&
    step "$version: fresh venv for the wheel" make_venv "$python" "$venv-wheel"; then
    wheel="$(ls "$dist"/repaired/*.whl)"
    install_test_uninstall "$version" "$venv-wheel" "pip install the repaired wheel" site "$wheel"
  fi

  if [ "$python" = "$QX_DEBIAN_PYTHON" ]; then
    step "$version: README: the quick start as written" readme_install
    step "$version: offline build (--no-build-isolation --no-index)" \
      env PIP_NO_INDEX=1 "$tools" -m pip wheel --no-build-isolation --no-deps -w "$work/offline" "$src" &&
      step "$version: the offline wheel" "$python" "$src/tests/packaging/check_wheel.py" "$work"/offline/*.whl linux
    step "$version: cmake and ninja from PyPI" bash -c "'$venv/bin/python' -m pip install -v --no-cache-dir \
      --config-settings=cmake.version='>=3.26' --config-settings=ninja.version='>=1.12' '$src' 2>&1 | tee /dev/stderr |
      grep -E 'Successfully installed .*cmake-.*ninja-|Successfully installed .*ninja-.*cmake-' >/dev/null" &&
      step "$version: pip uninstall after the PyPI-tools build" uninstall_and_check_gone "$venv"
  fi
  if [ "$failed" = "$before" ]; then
    echo "$version ($python): install, editable, sdist -> wheel -> $(basename "$wheel"), tests passed" \
      "($((SECONDS - start)) s)"
  else
    echo "$version ($python): FAILED ($((SECONDS - start)) s)"
  fi
}

step "copy the source tree to $src" copy_tree || { echo "packaging $version: FAILED:$failed"; exit 1; }
packaging_for "$version" "$python"
echo "  details: ${log#"$QX_ROOT"/} ($pytest_runs test runs)"
[ -z "$failed" ] || exit 1
