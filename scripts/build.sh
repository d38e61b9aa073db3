#!/usr/bin/env bash
# Installs what building needs (the compiler, CMake, Python 3.11 and its
# headers: the test command installs the rest), builds the module alone in
# build/ against /usr/bin/python3, shows it working and says how to use it.
set -euo pipefail
QX_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$QX_ROOT/scripts/deps.sh"
qx_install_deps $QX_BUILD_PACKAGES
build="$QX_ROOT/build"
# CMake's own account of the interpreter it found ("Found Python3: ..."): the
# one line of the configure step worth reading.
mkdir -p "$build"
# The test command's preset for build/ (CMakePresets.json), less the tests
# and benchmarks, whose packages come with the test command.
if ! (cd "$QX_ROOT" && "$QX_CMAKE" --preset default -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF) \
  >"$build/configure.log" 2>&1; then
  cat "$build/configure.log"
  exit 1
fi
grep -E '^-- Found Python3:' "$build/configure.log" || true
(cd "$QX_ROOT" && "$QX_CMAKE" --build --preset default --target weekdays -j "$(nproc)")
PYTHONPATH="$build/python" "$QX_DEBIAN_PYTHON" -c '
import quendrix.core.enums.weekdays as w
for member in w.Weekdays:
    print(f"{member.name} = {member.value}")
print()
print("built:", w.__file__)
'
cat <<EOT
To import it from any directory, put the package tree on the path and use the
same interpreter:
  PYTHONPATH=$build/python $QX_DEBIAN_PYTHON -c 'from quendrix.core.enums.weekdays import Friday; print(repr(Friday))'
To install it into a venv instead: $QX_DEBIAN_PYTHON -m venv ~/venv-qx && ~/venv-qx/bin/python -m pip install $QX_ROOT
Next, every test: bash scripts/test.sh
EOT
