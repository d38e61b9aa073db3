# Sourced by the other scripts: the Debian packages the build and the tests
# need (installed when missing), the supported interpreters and where they
# are found, and the build trees made for each.

# What building the module needs, and what the tests and checks add. The
# Python tools come from PyPI instead, into a venv per interpreter (below).
QX_BUILD_PACKAGES="g++ cmake make python3.11 python3.11-dev python3.11-venv"
QX_TEST_PACKAGES="python3.11-dbg libgtest-dev clang clang-format clang-tidy"
QX_APT_PACKAGES="$QX_BUILD_PACKAGES $QX_TEST_PACKAGES"

# CMake and ctest by their full path: Debian's, whatever PATH holds.
QX_CMAKE=/usr/bin/cmake
QX_CTEST=/usr/bin/ctest

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
  "$QX_CMAKE" -S "$QX_ROOT" -B "$dir" -DQX_PYTHON="$python" "$@" >/dev/null
  "$QX_CMAKE" --build "$dir" -j "$(nproc)"
}

# The module alone (no tests, no benchmarks) in a tree, configured first if
# it is new, was made for another interpreter or options are given; quiet
# unless it fails.
qx_build_module() {  # dir python [cmake option...]
  local dir="$1" python="$2" log
  shift 2
  mkdir -p "$dir"
  log="$dir/module-build.log"
  if [ "$(qx_tree_python "$dir")" != "$python" ] || [ $# -gt 0 ]; then
    "$QX_CMAKE" -S "$QX_ROOT" -B "$dir" -DQX_PYTHON="$python" "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
  fi
  "$QX_CMAKE" --build "$dir" --target weekdays -j "$(nproc)" >>"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
}

qx_tree_python() {  # dir: the interpreter the tree was configured for (empty if none)
  [ -f "$1/CMakeCache.txt" ] && sed -n 's/^QX_PYTHON:[A-Z]*=//p' "$1/CMakeCache.txt"
  return 0
}

# ---------------------------------------------------------------------------
# Supported versions and their interpreters.
#
# The versions are those of python-versions.txt. Debian's own version (that
# of /usr/bin/python3, 3.11 on Debian 12) is always /usr/bin/python3, and its
# debug build /usr/bin/python3.X-dbg is the debug interpreter of the leak,
# thread and allocation-failure checks. For each other version, the first
# usable of: QX_PYTHON_3_12 (and so on) when set; /usr/bin/python3.12 when its
# headers are installed; the newest patch release under pyenv's versions/
# directory ($PYENV_ROOT, ~/.pyenv). A variable set names the only one tried.
# Never whatever python3 PATH finds first.
QX_SUPPORTED_PYTHONS="$(sed -e 's/#.*//' "$QX_ROOT/python-versions.txt" | xargs)"
# The free-threaded ones (3.13t lines), which the threads check also runs
# with the GIL off, and under ThreadSanitizer.
QX_FREE_THREADED_PYTHONS="$(printf '%s\n' $QX_SUPPORTED_PYTHONS | grep 't$' | xargs || true)"
QX_DEBIAN_PYTHON=/usr/bin/python3
QX_DEBIAN_VERSION=3.11
QX_DEBUG_PYTHON="/usr/bin/python$QX_DEBIAN_VERSION-dbg"

qx_python_var() {  # version: the name of its variable, e.g. QX_PYTHON_3_12
  echo "QX_PYTHON_${1//./_}"
}

qx_python_problem() {  # python version: prints why it cannot be built against (nothing if it can)
  [ -x "$1" ] || { echo "$1 is not an executable file"; return; }
  "$1" - "$2" 2>&1 <<'EOF' || true
import os, sys, sysconfig
have = "%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
if have != sys.argv[1]:
    sys.exit(f"{sys.executable} is Python {have}")
include = sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(include, "Python.h")):
    sys.exit(f"{sys.executable} has no headers ({include}/Python.h)")
EOF
}

qx_python_candidates() {  # version: the places looked at, in order
  local version="$1" var root
  if [ "$version" = "$QX_DEBIAN_VERSION" ]; then
    echo "$QX_DEBIAN_PYTHON"
    return
  fi
  var="$(qx_python_var "$version")"
  if [ -n "${!var:-}" ]; then  # named explicitly: that one or none
    echo "${!var}"
    return
  fi
  echo "/usr/bin/python$version"
  # pyenv's versions, then interpreters built into the local cache
  # (3.13.5t/ for 3.13t: a free-threaded build carries the t).
  local base="${version%t}" ft="${version#"${version%t}"}"
  for root in "${PYENV_ROOT:-}" "${HOME:-/root}/.pyenv" "${QX_PYTHON_CACHE:-${HOME:-/root}/.cache/quendrix-python}"; do
    [ -n "$root" ] || continue
    [ -d "$root/versions" ] && root="$root/versions"
    for d in "$root/$base".*"$ft"; do
      [[ "$(basename "$d")" =~ ^${base//./\\.}\.[0-9]+$ft$ ]] || continue
      if [ -z "$ft" ]; then
        echo "$(basename "$d") $d/bin/python3"
      else
        echo "$(basename "$d") $d/bin/python$version"
      fi
    done
  done | sort -u -r -V | cut -d' ' -f2
}

# Sets QX_PYTHON_<v> (exported, so that the checks use the same ones) for
# each supported version found (or each of the versions given), QX_FOUND_PYTHONS to those versions, and
# QX_MISSING_PYTHONS to the others, each with what was looked at
# ("3.12: ..." lines).
qx_find_pythons() {  # [versions]
  local version var candidate problem tried python
  QX_FOUND_PYTHONS=""
  QX_MISSING_PYTHONS=""
  for version in ${1-$QX_SUPPORTED_PYTHONS}; do
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
      [ "$version" = "$QX_DEBIAN_VERSION" ] || [ -n "${!var:-}" ] || tried="$tried; no pyenv versions/$version.*"
      QX_MISSING_PYTHONS="$QX_MISSING_PYTHONS$version: not found (${tried#; }; set $var=/path/to/python$version)"$'\n'
    fi
  done
  export QX_FOUND_PYTHONS
}

# Builds each supported version that qx_find_pythons did not find and that
# scripts/python-build.sh can build from Debian's source packages (3.13 and
# 3.13t), then finds the interpreters again; and the ThreadSanitizer build of
# each free-threaded version. A build is made once and cached outside the
# work tree (~/.cache/quendrix-python); one that fails leaves its version
# missing, and says why.
qx_provide_pythons() {
  local version missing
  missing="$(printf '%s' "$QX_MISSING_PYTHONS" | cut -d: -f1 | xargs)"
  for version in $missing; do
    case "$version" in 3.13 | 3.13t) ;; *) continue ;; esac
    bash "$QX_ROOT/scripts/python-build.sh" "$version" >/dev/null || echo "could not build Python $version" >&2
  done
  for version in $QX_FREE_THREADED_PYTHONS; do
    qx_tsan_python "$version" >/dev/null || echo "could not build Python $version-tsan" >&2
  done
  qx_find_pythons
}

qx_tsan_python() {  # version: the ThreadSanitizer build of a free-threaded version (built if need be)
  bash "$QX_ROOT/scripts/python-build.sh" "$1-tsan"
}

qx_python_for() {  # version: its interpreter (after qx_find_pythons)
  local var
  var="$(qx_python_var "$1")"
  echo "${!var:-}"
}

# The release tree of each version: build/ for Debian's (/usr/bin/python3),
# build-312/, build-313/, build-313t/ and so on for the others. The debug
# tree is build-dbg/; the ThreadSanitizer tree of 3.13t is build-313t-tsan/.
qx_tree_for_version() {  # version
  if [ "$1" = "$QX_DEBIAN_VERSION" ]; then echo "$QX_ROOT/build"; else echo "$QX_ROOT/build-${1//./}"; fi
}

# ---------------------------------------------------------------------------
# The Python tools (requirements-dev.txt, from PyPI) in a venv per
# interpreter: build-venvs/<version>[d]-<hash of the interpreter's path>.
# Made when missing, refreshed when the requirements change; prints the
# venv's interpreter. pip's messages go to build-venvs/<name>.log.
QX_REQUIREMENTS="$QX_ROOT/requirements-dev.txt"

qx_tools_python() {  # python
  local python="$1" tag name venv want log
  tag="$("$python" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2] + ("d" if sysconfig.get_config_var("Py_DEBUG") else "")
      + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')" || return 1
  name="$tag-$(printf '%s' "$python" | sha256sum | cut -c1-8)"
  venv="$QX_ROOT/build-venvs/$name"
  log="$QX_ROOT/build-venvs/$name.log"
  want="$(sha256sum "$QX_REQUIREMENTS" | cut -d' ' -f1)"
  # mypy has no wheel for free-threaded interpreters (nor has its compiled
  # dependency librt): their venvs go without it, and its tests skip there.
  local requirements="$QX_REQUIREMENTS"
  case "$tag" in
    *t)
      requirements="$QX_ROOT/build-venvs/$name.requirements.txt"
      mkdir -p "$QX_ROOT/build-venvs"
      grep -v '^mypy==' "$QX_REQUIREMENTS" >"$requirements.$$" && mv "$requirements.$$" "$requirements"
      ;;
  esac
  mkdir -p "$QX_ROOT/build-venvs"
  # One maker at a time per venv: the checks and a developer's runs may
  # ask for the same one at once.
  (
    flock 9
    if [ "$(cat "$venv/.qx-requirements" 2>/dev/null)" != "$want" ]; then
      echo "tools venv for $python: ${venv#"$QX_ROOT"/} (requirements-dev.txt from PyPI; log ${log#"$QX_ROOT"/})" >&2
      { { [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"; } &&
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip &&
        "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
      } >"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "tools venv for $python failed (log: $log)" >&2; exit 1; }
      echo "$want" >"$venv/.qx-requirements"
    fi
  ) 9>"$venv.lock" || return 1
  echo "$venv/bin/python"
}

qx_is_debian_python() {  # python: true for Debian's own interpreters, which see dist-packages already
  case "$1" in /usr/bin/*) return 0 ;; *) return 1 ;; esac
}
