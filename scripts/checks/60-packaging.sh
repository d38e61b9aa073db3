#!/usr/bin/env bash
# Packaging, as a user meets it. Copies the source tree (tracked and new
# files, nothing ignored: no build trees) to a scratch directory, so that the
# working tree is left as it was and no earlier build product helps. Then, in
# virtual environments made from /usr/bin/python3 with --system-site-packages
# (Debian's setuptools, mypy and pytest live there), offline (--no-index):
#   1. pip install .; tests/packaging from another directory (import,
#      stubtest, mypy on a good and a misspelt program, the README's
#      examples); pip uninstall, after which the import fails and nothing is
#      left in site-packages; then the README's install commands as written;
#   2. python3 -m build --no-isolation (an sdist, then a wheel built from it);
#      the wheel into a fresh environment, the same tests; pip wheel as well;
#   3. pip install -e; the same tests against the source copy; uninstall.
# Prints the time of each step and the wheel's contents.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
unset PYTHONPATH PYTHONHOME
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_NO_INDEX=1

work="$(mktemp -d /tmp/qx-packaging.XXXXXX)"
trap 'rm -rf "$work"' EXIT
src="$work/src"
scratch="$work/elsewhere"
mkdir -p "$src" "$scratch"
log="$work/log"
failed=""

step() {  # name, command...: runs quietly; the log on failure, pytest's tally on success.
  local name="$1" start=$SECONDS
  shift
  if "$@" >"$log" 2>&1; then
    echo "ok   $name ($((SECONDS - start)) s)"
    grep -E '^[0-9]+ passed' "$log" | sed 's/^/     /' || true
  else
    echo "FAIL $name ($((SECONDS - start)) s)"
    tail -n 60 "$log"
    failed="$failed [$name]"
    return 1
  fi
}

copy_tree() {
  if git -C "$QX_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$QX_ROOT" && git ls-files -z --cached --others --exclude-standard |
      tar --null --ignore-failed-read -T - -cf -) | tar -C "$src" -xf -
  else
    (cd "$QX_ROOT" && tar --exclude='./build*' --exclude='*.egg-info' --exclude='*.so' -cf - .) |
      tar -C "$src" -xf -
  fi
}

make_venv() {  # dir
  /usr/bin/python3 -m venv --system-site-packages "$1"
}

package_tests() {  # venv, mode
  (cd "$scratch" && QX_INSTALL_MODE="$2" QX_INSTALL_SOURCE="$src" QX_SOURCE_ROOT="$src" \
    "$1/bin/python" -m pytest -q -p no:cacheprovider "$src/tests/packaging")
}

uninstall_and_check_gone() {  # venv
  local venv="$1"
  "$venv/bin/python" -m pip uninstall -y quendrix-weekdays || return 1
  if (cd "$scratch" && "$venv/bin/python" -c 'import quendrix' 2>/dev/null); then
    echo "quendrix still importable after uninstall"
    return 1
  fi
  local left
  left="$(cd "$scratch" && "$venv/bin/python" -c '
import pathlib, sysconfig
sp = pathlib.Path(sysconfig.get_paths()["platlib"])
print(" ".join(p.name for p in sp.iterdir() if "quendrix" in p.name.lower()))')"
  if [ -n "$left" ]; then
    echo "left in site-packages after uninstall: $left"
    return 1
  fi
}

show_wheel() {  # wheel
  /usr/bin/python3 - "$1" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for info in z.infolist():
        print(f"  {info.file_size:>8}  {info.filename}")
EOF
}

wheel_has_package() {  # wheel
  /usr/bin/python3 - "$1" <<'EOF'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
need = {"quendrix/__init__.py", "quendrix/py.typed", "quendrix/core/__init__.py",
        "quendrix/core/enums/__init__.py", "quendrix/core/enums/weekdays.pyi"}
missing = need - names
so = [n for n in names if n.startswith("quendrix/core/enums/weekdays.cpython-311-") and n.endswith(".so")]
if missing or len(so) != 1:
    sys.exit(f"wheel lacks {sorted(missing)} or has extensions {so}")
EOF
}

step "copy the source tree to $src" copy_tree || { echo "FAILED:$failed"; exit 1; }

# 1. pip install . and uninstall.
venv="$work/venv"
step "venv from /usr/bin/python3" make_venv "$venv"
if step "pip install --no-build-isolation ." "$venv/bin/python" -m pip install --no-build-isolation "$src"; then
  step "tests/packaging, installed (site)" package_tests "$venv" site
  step "pip uninstall" uninstall_and_check_gone "$venv"
fi

# The README's install commands, as written, by a user whose home is scratch.
readme_install() {
  local script="$work/readme-install.sh"
  /usr/bin/python3 - "$src/README.md" >"$script" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
section = text.split("## Installing with pip", 1)[1]
print(re.search(r"^```sh\n(.*?)^```", section, re.S | re.M).group(1))
EOF
  mkdir -p "$work/home"
  (cd "$src" && HOME="$work/home" bash -euxo pipefail "$script") || return 1
  grep -q '^<Weekdays.Friday: 6>$' "$log"
}
step "README: the install commands as written" readme_install

# 2. sdist, wheel from it, into a fresh environment; pip wheel too.
dist="$work/dist"
if step "python3 -m build --no-isolation (sdist, then wheel)" \
  bash -c "cd '$src' && /usr/bin/python3 -m build --no-isolation --outdir '$dist' ."; then
  wheel="$(ls "$dist"/*.whl)"
  echo "     $(basename "$dist"/*.tar.gz): $(stat -c %s "$dist"/*.tar.gz) bytes"
  echo "     $(basename "$wheel"): $(stat -c %s "$wheel") bytes"
  show_wheel "$wheel"
  step "wheel holds the package, stub and marker" wheel_has_package "$wheel"
  wvenv="$work/venv-wheel"
  step "fresh venv" make_venv "$wvenv"
  if step "pip install the wheel" "$wvenv/bin/python" -m pip install "$wheel"; then
    step "tests/packaging, from the wheel" package_tests "$wvenv" site
    step "pip uninstall (wheel)" uninstall_and_check_gone "$wvenv"
  fi
fi
if step "pip wheel --no-build-isolation ." \
  "$venv/bin/python" -m pip wheel --no-build-isolation --no-deps -w "$work/pipwheel" "$src"; then
  step "pip wheel's wheel holds the package" wheel_has_package "$(ls "$work"/pipwheel/*.whl)"
fi

# 3. Editable install.
if step "pip install --no-build-isolation -e ." "$venv/bin/python" -m pip install --no-build-isolation -e "$src"; then
  step "tests/packaging, editable" package_tests "$venv" editable
  step "pip uninstall (editable)" uninstall_and_check_gone "$venv"
fi

if [ -n "$failed" ]; then
  echo "packaging: FAILED:$failed"
  exit 1
fi
echo "packaging: all steps passed"
