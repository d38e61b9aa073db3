#!/usr/bin/env bash
# Provides a CPython interpreter that no Debian 12 package provides, built
# from Debian's own python3.13 source package (trixie) and cached outside the
# work tree, and prints its path:
#   bash scripts/python-build.sh 3.13t        free-threaded (--disable-gil)
#   bash scripts/python-build.sh 3.13t-tsan   free-threaded, ThreadSanitizer
#   bash scripts/python-build.sh 3.13         plain (with the GIL)
# stdout carries only that path: py=$(bash scripts/python-build.sh 3.13t).
# A build that is needed says what it builds, and then how long it took, on
# stderr. Each is a shared-library build (its binaries find libpython through
# an rpath) with pip installed, so `$py -m venv DIR` gives a venv with pip.
#
# Cache: ${QX_PYTHON_CACHE:-$HOME/.cache/quendrix-python}
#   <version><variant>/          install prefix, e.g. 3.13.5t/, 3.13.5t-tsan/
#   <version><variant>/.quendrix-built
#                                stamp: written once installed and checked
#   <version><variant>.log       configure, make, install and check output
#   build/<version><variant>/    build tree (removed once stamped)
#   src/<debian version>/        what `apt-get source` fetched and unpacked
#   .lock-<request>, .lock-src   flock files: one builder of each at a time
# A stamped build made by the same recipe is reused (the newest version if
# several); a build without its stamp is rebuilt from scratch.
# In braces, read whole before it runs: editing or checking out this file
# during a build must not change what the running build does.
{
set -euo pipefail
# Everything the build runs, by Debian's paths alone.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
unset PYTHONPATH PYTHONHOME PYTHONUSERBASE PYTHONSTARTUP PYTHON_GIL
export LC_ALL=C.UTF-8

# stdout is for the path alone: everything else goes to stderr.
exec 3>&1 1>&2

usage() {
  echo "usage: $0 3.13t | 3.13t-tsan | 3.13" >&2
  exit 2
}
[ $# -eq 1 ] || usage
request="$1"
[[ "$request" =~ ^(3\.[0-9]+)(t|t-tsan)?$ ]] || usage
series="${BASH_REMATCH[1]}"      # 3.13
variant="${BASH_REMATCH[2]}"     # "", t or t-tsan
srcpkg="python$series"

root="${QX_PYTHON_CACHE:-$HOME/.cache/quendrix-python}"
mkdir -p "$root"
root="$(cd "$root" && pwd)"

# The build recipe per variant; recorded in the stamp, so that a change here
# rebuilds instead of reusing a build made differently.
cc=/usr/bin/gcc
cxx=/usr/bin/g++
configure_extra=()
install_env=()
install_args=()
ensurepip=install
case "$variant" in
  "")
    what="plain (GIL) CPython"
    abiflags=""
    ;;
  t)
    what="free-threaded CPython"
    abiflags="t"
    configure_extra=(--disable-gil)
    ;;
  t-tsan)
    what="free-threaded CPython with ThreadSanitizer"
    abiflags="t"
    # In CC, not in CFLAGS/LDFLAGS: the link of Programs/_freeze_module
    # would otherwise miss the sanitizer runtime.
    cc="/usr/bin/gcc -fsanitize=thread"
    cxx="/usr/bin/g++ -fsanitize=thread"
    configure_extra=(--disable-gil --with-thread-sanitizer)
    # It only runs the thread checks against a module built for it: no pip.
    # And `make install` does not byte-compile the library with it (three
    # optimisation levels, tests included, about 20 times slower than a plain
    # interpreter): a step below compiles level 0 of what a run may import.
    ensurepip=no
    install_args=(PYTHON_FOR_BUILD=/bin/true)
    ;;
esac
# Without these, the instrumented interpreter that byte-compiles the library
# during `make install` can stop on the interpreter's own races.
tsan_options="exitcode=0 halt_on_error=0 report_bugs=0"
[ "$variant" = t-tsan ] && install_env=(TSAN_OPTIONS="$tsan_options")
# Debian patches undone in the source tree (see below).
undone_patches="ensurepip-disabled.diff sysconfig-debian-schemes.diff distutils-install-layout.diff"
recipe="CC=$cc CXX=$cxx --enable-shared --with-ensurepip=$ensurepip ${configure_extra[*]}${install_args[*]:+ install: ${install_args[*]}} rpath=<prefix>/lib undone: $undone_patches"

stamp_name=.quendrix-built

# A stamped build of this series and variant made by this recipe, newest
# version first; prints its interpreter.
cached_python() {
  local d base
  for d in $(ls -d "$root/$series".* 2>/dev/null | /usr/bin/sort -rV || true); do
    base="${d##*/}"
    [[ "$base" =~ ^${series//./\\.}\.[0-9]+${variant}$ ]] || continue
    [ -f "$d/$stamp_name" ] && [ -x "$d/bin/python$series$abiflags" ] || continue
    grep -qxF "recipe: $recipe" "$d/$stamp_name" || continue
    echo "$d/bin/python$series$abiflags"
    return 0
  done
  return 1
}

if py="$(cached_python)"; then
  echo "$py" >&3
  exit 0
fi

# One builder per request; a second caller waits, then reuses its result.
exec 8>"$root/.lock-$request"
if ! /usr/bin/flock -n 8; then
  echo "Waiting for another build of Python $request to finish..."
  /usr/bin/flock 8
fi
if py="$(cached_python)"; then
  echo "$py" >&3
  exit 0
fi

started=$SECONDS
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="/usr/bin/sudo"
apt_get=(/usr/bin/apt-get -o DPkg::Lock::Timeout=600)

# --- The source, through apt. Shared by the variants: its own lock.
exec 9>"$root/.lock-src"
/usr/bin/flock 9

# Source packages only: with no `deb` line for trixie, apt can neither
# upgrade to nor install any trixie binary package.
sources_file=/etc/apt/sources.list.d/quendrix-trixie-src.sources
targets="$(/usr/bin/apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(COMPONENT)')"
if ! grep -qx 'deb-src trixie main' <<<"$targets"; then
  echo "Adding Debian trixie's source packages (deb-src only) to apt: $sources_file"
  $sudo /usr/bin/tee "$sources_file" >/dev/null <<'EOF'
# Added by quendrix-weekdays scripts/python-build.sh: source packages only,
# to build CPython versions that bookworm lacks. No binary packages from here.
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi

build_deps="build-essential pkg-config dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev"
missing=""
for p in $build_deps; do
  [ "$(/usr/bin/dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing="$missing $p"
done
echo "Updating apt's package lists..."
# Not fatal: lists from an earlier update can still name the source.
$sudo "${apt_get[@]}" update -qq || echo "warning: apt-get update failed; going on with the lists apt has" >&2
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  # shellcheck disable=SC2086
  $sudo /usr/bin/env DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y -qq $missing
fi

# The Debian version apt would fetch, from the .dsc's name.
dsc="$("${apt_get[@]}" source --print-uris "$srcpkg/trixie" 2>/dev/null |
  sed -n "s/^'[^']*' \\(${srcpkg}_[^ ]*\\.dsc\\) .*/\\1/p" | head -n 1)"
if [ -z "$dsc" ]; then
  echo "error: apt knows no source package $srcpkg in trixie" >&2
  exit 1
fi
debver="${dsc#"${srcpkg}_"}"
debver="${debver%.dsc}"
upstream="${debver#*:}"
upstream="${upstream%-*}"               # 3.13.5-2+deb13u5 -> 3.13.5
srcdir_parent="$root/src/$debver"
srcdir="$srcdir_parent/$srcpkg-$upstream"
if [ ! -f "$srcdir_parent/.quendrix-prepared" ]; then
  echo "Fetching Debian's source package $srcpkg $debver..."
  rm -rf "$srcdir_parent"
  mkdir -p "$srcdir_parent"
  # apt's _apt user downloads into this directory when it may.
  chmod 755 "$srcdir_parent"
  (cd "$srcdir_parent" && "${apt_get[@]}" source -qq "$srcpkg=$debver") \
    >"$srcdir_parent/apt-get-source.log" 2>&1 || {
    tail -n 20 "$srcdir_parent/apt-get-source.log" >&2
    echo "error: apt-get source $srcpkg=$debver failed" >&2
    exit 1
  }
  [ -x "$srcdir/configure" ] || { echo "error: no $srcdir/configure after apt-get source" >&2; exit 1; }
  # Debian's layout for its /usr python, wrong in a prefix of our own: pip
  # refused outside venvs, packages sent to <prefix>/local/.../dist-packages,
  # and a free-threaded venv's site-packages not on its sys.path. Undone, in
  # reverse order, so these builds keep upstream's layout.
  for p in $undone_patches; do
    grep -qx "$p" "$srcdir/debian/patches/series" || continue
    /usr/bin/patch -d "$srcdir" -R -p1 -s <"$srcdir/debian/patches/$p" || {
      echo "error: could not undo Debian's $p in $srcdir" >&2
      exit 1
    }
  done
  touch "$srcdir_parent/.quendrix-prepared"
fi
/usr/bin/flock -u 9

# --- The build.
key="$upstream$variant"
prefix="$root/$key"
build="$root/build/$key"
log="$root/$key.log"
python="$prefix/bin/python$series$abiflags"
echo "Building $what $key from Debian's $srcpkg $debver into $prefix"
echo "  (log: $log; several minutes)"
rm -rf "$prefix" "$build"
mkdir -p "$build"
: >"$log"

fail() {
  echo "---- last lines of $log:" >&2
  tail -n 40 "$log" >&2
  echo "error: building Python $key failed: $1 (log: $log)" >&2
  exit 1
}

step() {  # name command...: runs it into the log, timed
  local name="$1" t0=$SECONDS
  shift
  echo "  $name..."
  echo "==== $name: $*" >>"$log"
  "$@" >>"$log" 2>&1 || fail "$name"
  echo "  $name: $((SECONDS - t0)) s"
}

cd "$build"
# The rpath in LDFLAGS_NODIST: Debian's makefile-bootstrap.diff makes the
# Makefile ignore configure's LDFLAGS.
step configure /usr/bin/env CC="$cc" CXX="$cxx" LDFLAGS_NODIST="-Wl,-rpath,$prefix/lib" \
  "$srcdir/configure" --prefix="$prefix" --enable-shared --with-ensurepip="$ensurepip" \
  "${configure_extra[@]}"
step make /usr/bin/make -j"$(nproc)"
step "make install" /usr/bin/env "${install_env[@]}" /usr/bin/make install "${install_args[@]}"
if [ "$ensurepip" = no ]; then
  step "byte-compile the library (level 0, no tests)" /usr/bin/env "${install_env[@]}" \
    "$python" -E -m compileall -q -j0 -o 0 -x '/(test|idlelib|tkinter|turtledemo)/|bad_coding|badsyntax' \
    "$prefix/lib/python$series$abiflags"
fi

# --- The check, before the stamp.
check_env=(/usr/bin/env -i HOME="$HOME" PATH="$PATH" LC_ALL=C.UTF-8)
[ "$variant" = t-tsan ] && check_env+=(TSAN_OPTIONS="$tsan_options")
check() {
  "${check_env[@]}" "$python" -I - "$prefix" "$series$abiflags" "$abiflags" <<'EOF' || return 1
import os, sys, sysconfig
prefix, name, abiflags = sys.argv[1:4]
ft = abiflags == "t"
assert sys.prefix == prefix, (sys.prefix, prefix)
assert sysconfig.get_config_var("Py_GIL_DISABLED") == (1 if ft else 0), "Py_GIL_DISABLED"
assert sys._is_gil_enabled() is (not ft), "sys._is_gil_enabled()"
assert sysconfig.get_config_var("Py_ENABLE_SHARED") == 1, "Py_ENABLE_SHARED"
header = os.path.join(prefix, "include", "python" + name, "Python.h")
assert os.path.isfile(header), header
assert sysconfig.get_path("include") == os.path.dirname(header), sysconfig.get_path("include")
libpython = os.path.join(sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDLIBRARY"))
assert os.path.isfile(libpython), libpython
# Modules the tests and their tools use.
import _testcapi, ctypes, ssl, zlib, bz2, lzma, sqlite3, readline, hashlib, decimal, venv, ensurepip
assert hasattr(_testcapi, "set_nomemory"), "_testcapi.set_nomemory"
try:
    import pip
except ImportError:
    pip = None
print(sys.version)
print("prefix:", sys.prefix)
print("Py_GIL_DISABLED:", sysconfig.get_config_var("Py_GIL_DISABLED"),
      " GIL enabled:", sys._is_gil_enabled())
print("include:", sysconfig.get_path("include"))
print("libpython:", libpython)
print("pip:", pip.__version__ if pip else "none")
EOF
  [ "$ensurepip" = no ] && return 0
  # A venv without pip, and one with it (from the wheel ensurepip bundles,
  # offline). Each step tested: set -e does not apply inside `step`.
  local venvs="$build/check-venvs"
  rm -rf "$venvs"
  "${check_env[@]}" "$python" -I -m venv --without-pip "$venvs/bare" || return 1
  "${check_env[@]}" "$venvs/bare/bin/python" -c 'import sys; assert sys.prefix != sys.base_prefix' || return 1
  "${check_env[@]}" "$python" -I -m venv "$venvs/with-pip" || return 1
  "${check_env[@]}" "$venvs/with-pip/bin/python" -m pip --version || return 1
  rm -rf "$venvs"
}
step check check

{
  echo "built: $(date -u '+%Y-%m-%dT%H:%M:%SZ')"
  echo "source: $srcpkg $debver (Debian trixie)"
  echo "recipe: $recipe"
} >"$prefix/$stamp_name"
cd "$root"
rm -rf "$build"

elapsed=$((SECONDS - started))
echo "Built Python $key in $((elapsed / 60)) min $((elapsed % 60)) s: $python"
echo "$python" >&3
exit 0
}
