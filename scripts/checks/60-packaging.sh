#!/usr/bin/env bash
# Packaging, as a user meets it, for each supported Python found. Copies the
# source tree (tracked and new files, nothing ignored: no build trees) to a
# scratch directory, so that the working tree is left as it was and no
# earlier build product helps. Offline (--no-index), with
# --no-build-isolation, in virtual environments that see Debian's
# setuptools, wheel and pytest:
#   - 3.11 (/usr/bin/python3): venvs made with --system-site-packages, where
#     Debian's packages live;
#   - 3.12, 3.13 (interpreters that have pip only, no setuptools or wheel):
#     plain venvs given a .pth file naming /usr/lib/python3/dist-packages.
# For each interpreter:
#   1. pip install .; tests/packaging from another directory (import, the
#      stub and marker, the README's examples; under 3.11 also mypy.stubtest
#      and mypy on a good and a misspelt program: Debian's mypy runs on 3.11
#      only); pip uninstall, after which the import fails and nothing is left
#      in site-packages;
#   2. pip wheel: the wheel's tag (cp311, cp312, cp313) and contents; the
#      wheel into a fresh environment, the same tests, uninstall;
#   3. pip install -e; the same tests against the source copy; uninstall.
# Under 3.11 also: the README's install commands as written, and
# python3 -m build --no-isolation (an sdist, then a wheel built from it,
# installed and tested).
# Every temporary file stays in the check's scratch directory (pytest's too:
# --basetemp). Prints the time of each step and the wheels' contents.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
qx_find_pythons
unset PYTHONPATH PYTHONHOME PYTHONUSERBASE PIP_FIND_LINKS
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_NO_INDEX=1

work="$(mktemp -d /tmp/qx-packaging.XXXXXX)"
trap 'rm -rf "$work"' EXIT
src="$work/src"
scratch="$work/elsewhere"
mkdir -p "$src" "$scratch"
export TMPDIR="$work/tmp"  # pip's and CMake's temporary files too
mkdir -p "$TMPDIR"
log="$work/log"
failed=""
pytest_runs=0

step() {  # name, command...: runs quietly; the log on failure, pytest's tally on success.
  local name="$1" start=$SECONDS
  shift
  if "$@" >"$log" 2>&1; then
    echo "ok   $name ($((SECONDS - start)) s)"
    grep -E '^[0-9]+ passed' "$log" | sed 's/^/     /' || true
    # Skipped tests, one line per reason.
    grep -E '^SKIPPED ' "$log" | sed -E 's/^SKIPPED \[[0-9]+\] [^:]+:[0-9]+: //' | sort | uniq -c |
      sed -E 's/^ *([0-9]+) /     skipped \1: /' || true
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

make_venv() {  # python dir
  local python="$1" dir="$2" site
  if qx_is_debian_python "$python"; then
    "$python" -m venv --system-site-packages "$dir"
  else
    "$python" -m venv "$dir" || return 1
    site="$("$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" || return 1
    echo "$QX_DEBIAN_DIST_PACKAGES" >"$site/qx-debian-dist-packages.pth"
  fi
}

# -W: Debian's pytest predates 3.12, and there warns at every assertion it rewrites.
package_tests() {  # venv, mode
  pytest_runs=$((pytest_runs + 1))
  (cd "$scratch" && QX_INSTALL_MODE="$2" QX_INSTALL_SOURCE="$src" QX_SOURCE_ROOT="$src" \
    "$1/bin/python" -m pytest -q -rs -p no:cacheprovider --basetemp "$work/pytest-$pytest_runs" \
    -W ignore::DeprecationWarning:_pytest.assertion.rewrite "$src/tests/packaging")
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
        print(f"       {info.file_size:>8}  {info.filename}")
EOF
}

wheel_is_for() {  # wheel python: the package, stub and marker, one extension for that interpreter, its tag
  local expected
  expected="$("$2" -c '
import sys, sysconfig
v = "%d%d" % sys.version_info[:2]
platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
print(f"cp{v}-cp{v}-{platform}", "weekdays" + sysconfig.get_config_var("EXT_SUFFIX"))')" || return 1
  /usr/bin/python3 - "$1" $expected <<'EOF'
import os, sys, zipfile
wheel, tag, ext = sys.argv[1:]
names = set(zipfile.ZipFile(wheel).namelist())
need = {"quendrix/__init__.py", "quendrix/py.typed", "quendrix/core/__init__.py",
        "quendrix/core/enums/__init__.py", "quendrix/core/enums/weekdays.pyi",
        "quendrix/core/enums/" + ext}
missing = need - names
others = [n for n in names if n.endswith(".so") and n != "quendrix/core/enums/" + ext]
info = [n for n in names if n.endswith(".dist-info/WHEEL")]
tags = [line.split(":", 1)[1].strip() for line in zipfile.ZipFile(wheel).read(info[0]).decode().splitlines()
        if line.startswith("Tag:")] if info else []
problems = []
if missing or others:
    problems.append(f"lacks {sorted(missing)} or has other extensions {others}")
if not os.path.basename(wheel).endswith(f"-{tag}.whl") or tags != [tag]:
    problems.append(f"tag: file {os.path.basename(wheel)}, WHEEL {tags}; expected {tag}")
if problems:
    sys.exit("; ".join(problems))
print(f"tag {tag}, extension {ext}")
EOF
}

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

wheel_round() {  # version python wheel label: the wheel checked, into a fresh venv, tested, uninstalled
  local version="$1" python="$2" wheel="$3" label="$4" venv
  echo "     $(basename "$wheel"): $(stat -c %s "$wheel") bytes"
  show_wheel "$wheel"
  step "$version: $label: tag and contents" wheel_is_for "$wheel" "$python" &&
    sed 's/^/     /' "$log"
  venv="$work/venv-$version-$label"
  venv="${venv// /-}"
  step "$version: fresh venv" make_venv "$python" "$venv" || return
  if step "$version: pip install the wheel ($label)" "$venv/bin/python" -m pip install "$wheel"; then
    step "$version: tests/packaging, from the wheel ($label)" package_tests "$venv" site
    step "$version: pip uninstall (wheel, $label)" uninstall_and_check_gone "$venv"
  fi
}

packaging_for() {  # version python
  local version="$1" python="$2" venv="$work/venv-$1" start=$SECONDS
  echo "-- Python $version: $python"
  if ! qx_is_debian_python "$python"; then
    echo "     its own packages: $("$python" -m pip list --format=freeze 2>/dev/null | tr '\n' ' ')" \
      "(setuptools, wheel and pytest come from $QX_DEBIAN_DIST_PACKAGES through a .pth file)"
  fi

  # 1. pip install . and uninstall.
  step "$version: venv" make_venv "$python" "$venv" || return
  if step "$version: pip install --no-build-isolation ." \
    "$venv/bin/python" -m pip install --no-build-isolation "$src"; then
    step "$version: tests/packaging, installed (site)" package_tests "$venv" site
    step "$version: pip uninstall" uninstall_and_check_gone "$venv"
  fi
  if [ "$version" = 3.11 ]; then
    step "$version: README: the install commands as written" readme_install
  fi

  # 2. pip wheel, then the wheel on its own; under 3.11 also python3 -m build.
  if step "$version: pip wheel --no-build-isolation ." \
    "$venv/bin/python" -m pip wheel --no-build-isolation --no-deps -w "$work/pipwheel-$version" "$src"; then
    wheel_round "$version" "$python" "$(ls "$work/pipwheel-$version"/*.whl)" "pip wheel"
  fi
  if [ "$version" = 3.11 ]; then
    local dist="$work/dist"
    if step "$version: python3 -m build --no-isolation (sdist, then wheel)" \
      bash -c "cd '$src' && /usr/bin/python3 -m build --no-isolation --outdir '$dist' ."; then
      echo "     $(basename "$dist"/*.tar.gz): $(stat -c %s "$dist"/*.tar.gz) bytes"
      wheel_round "$version" "$python" "$(ls "$dist"/*.whl)" "python3 -m build"
    fi
  fi

  # 3. Editable install.
  if step "$version: pip install --no-build-isolation -e ." \
    "$venv/bin/python" -m pip install --no-build-isolation -e "$src"; then
    step "$version: tests/packaging, editable" package_tests "$venv" editable
    step "$version: pip uninstall (editable)" uninstall_and_check_gone "$venv"
  fi
  echo "   (Python $version: $((SECONDS - start)) s)"
}

step "copy the source tree to $src" copy_tree || { echo "packaging: FAILED:$failed"; exit 1; }
for version in $QX_SUPPORTED_PYTHONS; do
  python="$(qx_python_for "$version")"
  if [ -z "$python" ]; then
    echo "-- Python $version: skipped, not found"
    continue
  fi
  packaging_for "$version" "$python"
done

if [ -n "$failed" ]; then
  echo "packaging: FAILED:$failed"
  exit 1
fi
echo "packaging: all steps passed for Python $QX_FOUND_PYTHONS"
