# Sourced by the other scripts: the Debian packages the build and the tests
# need (installed when missing), the supported interpreters and where they
# are found, and the build trees made for each.

# What building the module needs, and what the tests and checks add.
QX_BUILD_PACKAGES="g++ cmake make python3.11 python3.11-dev"
QX_TEST_PACKAGES="python3.11-dbg libgtest-dev python3-pytest python3-hypothesis
  python3-pip python3-setuptools python3-wheel python3-venv python3-build python3-mypy clang-format clang-tidy"
QX_APT_PACKAGES="$QX_BUILD_PACKAGES $QX_TEST_PACKAGES"

# Debian's pure-Python packages (pytest, hypothesis, setuptools, wheel) that
# the 3.12 and 3.13 interpreters borrow: those interpreters have none.
QX_DEBIAN_DIST_PACKAGES=/usr/lib/python3/dist-packages

qx_install_deps() {  # [package...]: installs those missing (default: all of QX_APT_PACKAGES)
  local wanted="${*:-$QX_APT_PACKAGES}" missing="" p
  for p in $wanted; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  # Waits (up to 10 minutes) while another apt or dpkg holds the lock.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  # shellcheck disable=SC2086
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq $missing
}

# Configures and builds one tree against the named interpreter.
qx_build() {  # dir python [cmake option...]
  local dir="$1" python="$2"
  shift 2
  cmake -S "$QX_ROOT" -B "$dir" -DQX_PYTHON="$python" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# The module alone (no tests, no benchmarks) in a tree, configured first if
# it is new or was made for another interpreter; quiet unless it fails.
qx_build_module() {  # dir python
  local dir="$1" python="$2" log
  mkdir -p "$dir"
  log="$dir/module-build.log"
  if [ "$(qx_tree_python "$dir")" != "$python" ]; then
    cmake -S "$QX_ROOT" -B "$dir" -DQX_PYTHON="$python" >"$log" 2>&1 || { cat "$log"; return 1; }
  fi
  cmake --build "$dir" --target weekdays -j "$(nproc)" >>"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
}

qx_tree_python() {  # dir: the interpreter the tree was configured for (empty if none)
  [ -f "$1/CMakeCache.txt" ] && sed -n 's/^QX_PYTHON:[A-Z]*=//p' "$1/CMakeCache.txt"
  return 0
}

# ---------------------------------------------------------------------------
# Supported versions and their interpreters.
#
# 3.11 is always Debian's /usr/bin/python3 (and /usr/bin/python3.11-dbg for
# the debug tree). For 3.12 and 3.13, the first usable of: QX_PYTHON_3_12 /
# QX_PYTHON_3_13 when set; /usr/bin/python3.12 / python3.13 when its headers
# are installed; the newest patch release under pyenv's versions/ directory
# ($PYENV_ROOT, ~/.pyenv). A variable set names the only one tried. Never
# whatever python3 PATH finds first.
QX_SUPPORTED_PYTHONS="3.11 3.12 3.13"

qx_python_var() {  # version: the name of its variable, e.g. QX_PYTHON_3_12
  echo "QX_PYTHON_${1//./_}"
}

qx_python_problem() {  # python version: prints why it cannot be built against (nothing if it can)
  [ -x "$1" ] || { echo "$1 is not an executable file"; return; }
  "$1" - "$2" 2>&1 <<'EOF' || true
import os, sys, sysconfig
have = "%d.%d" % sys.version_info[:2]
if have != sys.argv[1]:
    sys.exit(f"{sys.executable} is Python {have}")
include = sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(include, "Python.h")):
    sys.exit(f"{sys.executable} has no headers ({include}/Python.h)")
EOF
}

qx_python_candidates() {  # version: the places looked at, in order
  local version="$1" var root
  if [ "$version" = 3.11 ]; then
    echo /usr/bin/python3
    return
  fi
  var="$(qx_python_var "$version")"
  if [ -n "${!var:-}" ]; then  # named explicitly: that one or none
    echo "${!var}"
    return
  fi
  echo "/usr/bin/python$version"
  for root in "${PYENV_ROOT:-}" "${HOME:-/root}/.pyenv"; do
    [ -n "$root" ] && [ -d "$root/versions" ] || continue
    for d in "$root/versions/$version".*; do
      [[ "$(basename "$d")" =~ ^${version//./\\.}\.[0-9]+$ ]] && echo "$(basename "$d") $d/bin/python3"
    done
  done | sort -u -r -V | cut -d' ' -f2
}

# Sets QX_PYTHON_<v> (exported, so that the checks use the same ones) for
# each supported version found, QX_FOUND_PYTHONS to those versions, and
# QX_MISSING_PYTHONS to the others, each with what was looked at
# ("3.12: ..." lines).
qx_find_pythons() {
  local version var candidate problem tried python
  QX_FOUND_PYTHONS=""
  QX_MISSING_PYTHONS=""
  for version in $QX_SUPPORTED_PYTHONS; do
    var="$(qx_python_var "$version")"
    python=""
    tried=""
    while read -r candidate; do
      [ -n "$candidate" ] || continue
      if [ ! -e "$candidate" ]; then
        tried="$tried; no $candidate"
        continue
      fi
      problem="$(qx_python_problem "$candidate" "$version")"
      if [ -z "$problem" ]; then
        python="$candidate"
        break
      fi
      tried="$tried; $problem"
    done < <(qx_python_candidates "$version")
    if [ -n "$python" ]; then
      printf -v "$var" '%s' "$python"
      export "${var?}"
      QX_FOUND_PYTHONS="${QX_FOUND_PYTHONS:+$QX_FOUND_PYTHONS }$version"
    else
      [ "$version" = 3.11 ] || [ -n "${!var:-}" ] || tried="$tried; no pyenv versions/$version.*"
      QX_MISSING_PYTHONS="$QX_MISSING_PYTHONS$version: not found (${tried#; }; set $var=/path/to/python$version)"$'\n'
    fi
  done
  export QX_FOUND_PYTHONS
}

qx_python_for() {  # version: its interpreter (after qx_find_pythons)
  local var
  var="$(qx_python_var "$1")"
  echo "${!var:-}"
}

# The release tree of each version: build/ for 3.11 (/usr/bin/python3),
# build-312/ and build-313/ for the others. The debug tree is build-dbg/.
qx_tree_for_version() {  # version
  if [ "$1" = 3.11 ]; then echo "$QX_ROOT/build"; else echo "$QX_ROOT/build-${1//./}"; fi
}

# Debian's dist-packages made visible to an interpreter that is not
# Debian's, for runs (ctest's above all) whose PYTHONPATH is set by
# someone else: a user base holding one .pth file, through PYTHONUSERBASE.
# Prints the directory to export as PYTHONUSERBASE.
qx_debian_userbase() {  # python dir
  local python="$1" base="$2" site
  site="$(PYTHONUSERBASE="$base" "$python" -c 'import site; print(site.getusersitepackages())')"
  mkdir -p "$site"
  echo "$QX_DEBIAN_DIST_PACKAGES" >"$site/qx-debian-dist-packages.pth"
  echo "$base"
}

qx_is_debian_python() {  # python: true for Debian's own interpreters, which see dist-packages already
  case "$1" in /usr/bin/*) return 0 ;; *) return 1 ;; esac
}
