# Sourced by the other scripts: the Debian packages the build and the tests
# need (installed when missing), the supported interpreters and where they
# are found, and the build trees made for each.

# What building the module needs, and what the tests and checks add. The
# Python tools come from PyPI instead, into a venv per interpreter (below).
QX_BUILD_PACKAGES="g++ cmake make python3.11 python3.11-dev python3.11-venv"
# mmdebstrap makes the sid root of the versions only sid packages
# (scripts/sid-root.sh).
QX_TEST_PACKAGES="python3.11-dbg libgtest-dev clang clang-format clang-tidy mmdebstrap"
QX_APT_PACKAGES="$QX_BUILD_PACKAGES $QX_TEST_PACKAGES"

# CMake and ctest by their full path: Debian's, whatever PATH holds.
QX_CMAKE=/usr/bin/cmake
QX_CTEST=/usr/bin/ctest

qx_install_deps() {  # [package...]: installs those missing (default: all of QX_APT_PACKAGES)
  local wanted="${*:-$QX_APT_PACKAGES}" missing="" p
  # The sid root's packages are fixed when it is made.
  [ -z "${QX_IN_SID_ROOT:-}" ] || return 0
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

# Configures and builds the tree of a preset (CMakePresets.json, which holds
# each tree's options; those of the interpreters found at run time it reads
# from QX_PYTHON_3_12 and the like, which qx_find_pythons exports), and
# checks that it was configured for the interpreter expected.
qx_build() {  # preset python [cmake option...]
  local preset="$1" python="$2" dir have
  shift 2
  dir="$(qx_preset_dir "$preset")"
  (cd "$QX_ROOT" && "$QX_CMAKE" --preset "$preset" "$@" >/dev/null) || return 1
  have="$(qx_tree_python "$dir")"
  if [ "$have" != "$python" ]; then
    echo "preset $preset configured ${dir#"$QX_ROOT"/}/ for \"$have\", not $python" >&2
    return 1
  fi
  (cd "$QX_ROOT" && "$QX_CMAKE" --build --preset "$preset" -j "$(nproc)")
}

# The tree of a preset: build/ for "default", build-<preset>/ for the others.
qx_preset_dir() {  # preset
  if [ "$1" = default ]; then echo "$QX_ROOT/build"; else echo "$QX_ROOT/build-$1"; fi
}

qx_preset_of_tree() {  # dir: the preset that makes it
  local name="${1%/}"
  name="${name##*/}"
  if [ "$name" = build ]; then echo default; else echo "${name#build-}"; fi
}

# The module alone (only its target built) in a tree, configured by the
# tree's preset first if it is new or was made for another interpreter;
# quiet unless it fails.
qx_build_module() {  # dir python
  local dir="$1" python="$2" log preset
  preset="$(qx_preset_of_tree "$dir")"
  mkdir -p "$dir"
  log="$dir/module-build.log"
  if [ "$(qx_tree_python "$dir")" != "$python" ]; then
    (cd "$QX_ROOT" && "$QX_CMAKE" --preset "$preset") >"$log" 2>&1 || { cat "$log"; return 1; }
    if [ "$(qx_tree_python "$dir")" != "$python" ]; then
      echo "preset $preset configured ${dir#"$QX_ROOT"/}/ for \"$(qx_tree_python "$dir")\", not $python"
      return 1
    fi
  fi
  (cd "$QX_ROOT" && "$QX_CMAKE" --build --preset "$preset" --target weekdays -j "$(nproc)") >>"$log" 2>&1 ||
    { tail -n 40 "$log"; return 1; }
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
# thread and allocation-failure checks. Where the others are found:
# qx_find_pythons below (scripts/qx_test.py). A version newer than the
# sources the machine builds (3.14 on) is Debian sid's package, in the sid
# root (scripts/sid-root.sh), written sid:/usr/bin/python3.14: a path inside
# the root, run there. Never whatever python3 PATH finds first.
QX_SUPPORTED_PYTHONS="$(sed -e 's/#.*//' "$QX_ROOT/python-versions.txt" | xargs)"
# The free-threaded ones (3.13t lines), which the threads check also runs
# with the GIL off, and under ThreadSanitizer.
QX_FREE_THREADED_PYTHONS="$(printf '%s\n' $QX_SUPPORTED_PYTHONS | grep 't$' | xargs || true)"
QX_DEBIAN_PYTHON=/usr/bin/python3
QX_DEBIAN_VERSION=3.11
QX_DEBUG_PYTHON="/usr/bin/python$QX_DEBIAN_VERSION-dbg"
# The newest series whose source the machine can build (Debian trixie's
# python3.13); the versions after it come from sid.
QX_NEWEST_SOURCE_SERIES=3.13

qx_sid_versions() {  # the supported versions (with the GIL) that only sid packages, oldest first
  local version
  for version in $QX_SUPPORTED_PYTHONS; do
    case "$version" in *t) continue ;; esac
    if [ "$version" != "$QX_NEWEST_SOURCE_SERIES" ] &&
      [ "$(printf '%s\n%s\n' "$QX_NEWEST_SOURCE_SERIES" "$version" | sort -V | tail -n 1)" = "$version" ]; then
      echo "$version"
    fi
  done
  return 0
}

qx_is_sid_version() {  # version
  case " $(qx_sid_versions | xargs) " in *" $1 "*) return 0 ;; *) return 1 ;; esac
}

# The interpreter that runs the scripts' own Python helpers (results.py):
# Debian's, or inside the sid root, which has no python3, its newest.
if [ -n "${QX_IN_SID_ROOT:-}" ]; then
  QX_SCRIPT_PYTHON="/usr/bin/python$(qx_sid_versions | tail -n 1)"
else
  QX_SCRIPT_PYTHON="$QX_DEBIAN_PYTHON"
fi

# A directory of the work tree that the runs of several interpreters share
# (venvs, a check's logs): inside the sid root its name ends in -sid, so that
# it is linked into the work tree beside the host's own (sid-root.sh run).
qx_shared_dir() {  # name
  echo "$QX_ROOT/$1${QX_IN_SID_ROOT:+-sid}"
}

# An interpreter of the sid root, seen from the host: sid:<path in the root>.
qx_in_sid() {  # python: true for sid:/usr/bin/... (run it with qx_sid_run)
  case "$1" in sid:*) return 0 ;; *) return 1 ;; esac
}

# Runs a command in the sid root, in its copy of the work tree, after
# refreshing that copy (scripts/sid-root.sh run).
qx_sid_run() {  # command...
  bash "$QX_ROOT/scripts/sid-root.sh" run "$@"
}

# Runs one interpreter's part of a check, the check script's own --one mode,
# where that interpreter runs: here, or in the sid root for a sid one.
qx_check_one() {  # script python [argument...]
  local script="$1" python="$2"
  shift 2
  if qx_in_sid "$python"; then
    qx_sid_run bash "$script" --one "${python#sid:}" "$@"
  else
    bash "$script" --one "$python" "$@"
  fi
}

# Runs a driver of tests/reliability under one interpreter, with the module
# built alone in that interpreter's tree; its output goes to
# <tree>/<check>-details.txt. Prints one line: the driver's own summary (its
# line that starts "<summary>: ") with the time, or on a failure the end of
# the details.
qx_driver_run() {  # check label python tree driver summary [driver argument...]
  local check="$1" label="$2" python="$3" tree="$4" driver="$5" summary="$6" details start=$SECONDS
  shift 6
  details="$tree/$check-details.txt"
  if ! qx_build_module "$tree" "$python"; then
    echo "$check $label ($python): build of ${tree#"$QX_ROOT"/}/ failed"
    return 1
  fi
  if PYTHONPATH="$tree/python" PYTHONDONTWRITEBYTECODE=1 \
    "$python" -X faulthandler "$QX_ROOT/tests/reliability/$driver" "$@" >"$details" 2>&1; then
    echo "$check $label ($python): $(sed -n "s/^$summary: //p" "$details");" \
      "$((SECONDS - start)) s [${details#"$QX_ROOT"/}]"
  else
    tail -n 40 "$details"
    echo "$check $label ($python): FAILED after $((SECONDS - start)) s (all of it: ${details#"$QX_ROOT"/})"
    return 1
  fi
}

# The debug build of a version where the tests use one: Debian 12's of its
# own version, and sid's of each sid version (nothing for the others).
qx_debug_python_for() {  # version (after qx_find_pythons)
  local python
  if [ "$1" = "$QX_DEBIAN_VERSION" ]; then
    echo "$QX_DEBUG_PYTHON"
  elif qx_is_sid_version "$1"; then
    python="$(qx_python_for "$1")"
    if [ -n "$python" ]; then echo "${python}d"; fi
  fi
  return 0
}

qx_python_var() {  # version: the name of its variable, e.g. QX_PYTHON_3_12
  echo "QX_PYTHON_${1//./_}"
}

# Sets QX_PYTHON_<v> (exported, so that the checks use the same ones) for
# each of the versions given that is found, QX_FOUND_PYTHONS to those
# versions, and QX_MISSING_PYTHONS to the others, each with what was looked
# at ("3.12: ..." lines). Where and in which order interpreters are looked
# for is scripts/qx_test.py's (find_pythons).
qx_find_pythons() {  # [versions] (default: every supported one)
  local assignments
  # shellcheck disable=SC2046
  assignments="$("$QX_SCRIPT_PYTHON" "$QX_ROOT/scripts/qx_test.py" find-shell ${1-$QX_SUPPORTED_PYTHONS})" || return 1
  eval "$assignments"
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
# trees: build-dbg/ for Debian's, build-314-dbg/ and so on for sid's. The
# ThreadSanitizer tree of 3.13t is build-313t-tsan/. A sid version's trees
# live in the root's copy of the work tree, linked from the work tree.
# Each tree's preset has the tree's name less build-: default (build/), dbg,
# clang, 312, 313t, 314-dbg and so on.
qx_preset_for_version() {  # version
  if [ "$1" = "$QX_DEBIAN_VERSION" ]; then echo default; else echo "${1//./}"; fi
}

qx_debug_preset_for_version() {  # version
  if [ "$1" = "$QX_DEBIAN_VERSION" ]; then echo dbg; else echo "${1//./}-dbg"; fi
}

qx_tree_for_version() {  # version
  qx_preset_dir "$(qx_preset_for_version "$1")"
}

qx_debug_tree_for_version() {  # version
  qx_preset_dir "$(qx_debug_preset_for_version "$1")"
}

# ---------------------------------------------------------------------------
# The Python tools (requirements-dev.txt, from PyPI) in a venv per
# interpreter: build-venvs/<version>[d]-<hash of the interpreter's path>
# (build-venvs-sid/ for those of the sid root).
# Made when missing, refreshed when the requirements change; prints the
# venv's interpreter. pip's messages go to build-venvs/<name>.log.
QX_REQUIREMENTS="$QX_ROOT/requirements-dev.txt"

qx_tools_python() {  # python (a sid one's venv is made in the root, where its path is)
  local python="$1" tag name venvs venv want log
  if qx_in_sid "$python"; then
    # shellcheck disable=SC2016
    qx_sid_run bash -c '. scripts/deps.sh && qx_tools_python "$1"' tools "${python#sid:}"
    return
  fi
  tag="$(qx_fact "$python" TAG)" || return 1
  name="$tag-$(printf '%s' "$python" | sha256sum | cut -c1-8)"
  venvs="$(qx_shared_dir build-venvs)"
  venv="$venvs/$name"
  log="$venvs/$name.log"
  want="$(sha256sum "$QX_REQUIREMENTS" | cut -d' ' -f1)"
  # basedpyright (and its Node.js, some 280 MB) checks the stub once, from
  # a venv of its own (qx_basedpyright). Where mypy (or its compiled
  # dependency librt) has no wheel, the venv goes without it, and its tests
  # skip there.
  local left_out='basedpyright'
  if [ "$(qx_fact "$python" MYPY_HAS_WHEELS)" != True ]; then left_out="$left_out|mypy"; fi
  local requirements="$venvs/$name.requirements.txt"
  mkdir -p "$venvs"
  grep -v -E "^($left_out)==" "$QX_REQUIREMENTS" >"$requirements.$$" && mv "$requirements.$$" "$requirements"
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

# basedpyright, from PyPI with the Node.js it runs on, in a venv of its own
# (build-venvs/basedpyright-<hash>/, remade when requirements-dev.txt
# changes); prints its command. It reads whichever interpreter's packages it
# is told to, so one serves every version.
qx_basedpyright() {
  local venvs venv want
  venvs="$(qx_shared_dir build-venvs)"
  want="$(sha256sum "$QX_REQUIREMENTS" | cut -c1-8)"
  venv="$venvs/basedpyright-$want"
  mkdir -p "$venvs"
  (
    flock 9
    if [ ! -x "$venv/bin/basedpyright" ]; then
      rm -rf "$venvs"/basedpyright-*/
      { "$QX_SCRIPT_PYTHON" -m venv "$venv" &&
        "$venv/bin/python" -m pip install -q --disable-pip-version-check \
          $(grep -E '^basedpyright==' "$QX_REQUIREMENTS")
      } >"$venv.log" 2>&1 || { tail -n 30 "$venv.log" >&2; rm -rf "$venv"; exit 1; }
    fi
  ) 9>"$venvs/basedpyright.lock" || return 1
  echo "$venv/bin/basedpyright"
}

# A fact about an interpreter, from the one table of them
# (tests/interpreter_facts.py): True/False, or a text such as its TAG.
qx_fact() {  # python name
  "$1" "$QX_ROOT/tests/interpreter_facts.py" "$2"
}

qx_is_debian_python() {  # python: true for Debian's own interpreters, which see dist-packages already
  case "$1" in /usr/bin/*) return 0 ;; *) return 1 ;; esac
}
