#!/usr/bin/env bash
# The interpreters that only Debian sid packages (those of
# python-versions.txt newer than what Debian 12, pyenv or Debian's trixie
# sources give: 3.14 and 3.15 today) need sid's C library, so they run in a
# sid root: a directory tree made by Debian's mmdebstrap, entered with
# chroot. It holds, for each such version V, pythonV-dev, pythonV-dbg (the
# debug build, pythonVd) and pythonV-venv, with g++, cmake, make and
# GoogleTest to build and test against them.
#
#   sid-root.sh make           makes the root if need be; prints its path
#   sid-root.sh path           prints its path if it is made, else fails
#   sid-root.sh run CMD...     copies the work tree ($QX_ROOT) into the root,
#                              at the same path, and runs CMD there (cwd the
#                              tree), then links each build tree it has made
#                              into the work tree (build-314 and so on)
#
# Cache: ${QX_PYTHON_CACHE:-$HOME/.cache/quendrix-python}, beside the built
# interpreters:
#   sid-root-<hash>/           the root; <hash> is that of its recipe (the
#                              package list included), so a new version in
#                              python-versions.txt makes a new root and the
#                              old one is removed
#   sid-root-<hash>/.quendrix-root   stamp: written once made and checked
#   sid-root-<hash>.log        mmdebstrap's output
#   .lock-sid-root             flock file: one maker at a time
#
# Mounts: every chroot runs in a private mount namespace (unshare), which
# holds the /proc and /dev/shm it needs; they vanish with it, so nothing is
# ever left mounted inside the root. A root is removed only when nothing is
# mounted under it, and with --one-file-system.
# In braces, read whole before it runs (see python-build.sh).
{
set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}"

cache="${QX_PYTHON_CACHE:-$HOME/.cache/quendrix-python}"
mirror="http://deb.debian.org/debian"

# The sid versions: python-versions.txt's versions with the GIL after
# QX_NEWEST_SOURCE_SERIES (deps.sh), the newest that the machine gets
# otherwise.
sid_versions() {
  # shellcheck source=deps.sh
  . "$QX_ROOT/scripts/deps.sh"
  qx_sid_versions
}

recipe() {
  local v packages="g++ cmake make ca-certificates libgtest-dev"
  for v in $(sid_versions); do
    packages="$packages python$v-dev python$v-dbg python$v-venv"
  done
  # Valid-Until: the registry's copy of sid keeps a Release file past its date.
  echo "mmdebstrap --variant=apt --aptopt=Acquire::Check-Valid-Until=false sid $mirror packages: $packages"
}

root_dir() {
  echo "$cache/sid-root-$(recipe | sha256sum | cut -c1-12)"
}

is_made() {  # dir
  [ -f "$1/.quendrix-root" ] && grep -qxF "recipe: $(recipe)" "$1/.quendrix-root"
}

mounted_under() {  # dir: prints each mount point at or under it
  awk -v d="$1" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts
}

remove_root() {  # dir: refuses while anything is mounted under it
  local left
  left="$(mounted_under "$1")"
  if [ -n "$left" ]; then
    echo "sid root: not removing $1: still mounted there: $left" >&2
    return 1
  fi
  rm -rf --one-file-system "$1"
}

# Runs a command in the root (chroot) inside a mount namespace of its own,
# with a clean environment: the root's paths, pip's settings (index,
# certificates) and the caller's test settings, not the host's interpreters.
in_root() {  # root cwd command...
  local root="$1" cwd="$2" name
  shift 2
  local env=(HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 QX_IN_SID_ROOT=1 QX_ROOT="$QX_ROOT")
  for name in $(compgen -e); do
    case "$name" in
      QX_PYTHON_* | QX_FOUND_PYTHONS | QX_MISSING_PYTHONS | QX_PYTHON_CACHE | QX_LINT_CACHE | QX_ROOT) ;;
      PIP_* | QX_* | CI | TERM) env+=("$name=${!name}") ;;
    esac
  done
  unshare --mount --propagation private -- /bin/sh -c '
    root="$1"; shift
    mount -t proc proc "$root/proc" && mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm" && exec "$@"
  ' sh "$root" chroot "$root" /usr/bin/env -i "${env[@]}" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
}

# What pip in the root needs to reach the package index as the host does.
copy_host_settings() {  # root
  local f dest
  for f in /etc/resolv.conf /etc/hosts /etc/pip.conf /etc/ssl/certs/ca-certificates.crt \
    "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf"; do
    [ -f "$f" ] || continue
    # The caller's home is the root's /root.
    case "$f" in
      "$HOME"/*) dest="$1/root/${f#"$HOME"/}" ;;
      *) dest="$1$f" ;;
    esac
    mkdir -p "$(dirname "$dest")"
    cp -L "$f" "$dest"
  done
}

make_root() {
  local root new log started
  root="$(root_dir)"
  if is_made "$root"; then
    echo "$root"
    return 0
  fi
  mkdir -p "$cache"
  exec 8>"$cache/.lock-sid-root"
  if ! flock -n 8; then
    echo "Waiting for another maker of the sid root to finish..." >&2
    flock 8
  fi
  if is_made "$root"; then
    echo "$root"
    return 0
  fi
  # Roots of other recipes (an older package list) go.
  local old
  for old in "$cache"/sid-root-*; do
    [ -d "$old" ] && [ "$old" != "$root" ] || continue
    echo "Removing the sid root of an older recipe: $old" >&2
    remove_root "$old" || return 1
    rm -f "$old.log"
  done
  if ! [ -x /usr/bin/mmdebstrap ]; then
    echo "sid root: mmdebstrap is missing (Debian: apt-get install mmdebstrap)" >&2
    return 1
  fi
  new="$root.new"
  log="$root.log"
  [ -e "$new" ] && { remove_root "$new" || return 1; }
  started=$SECONDS
  echo "Making the sid root $root (log: $log; about a minute)" >&2
  local packages
  packages="$(recipe | sed 's/.*packages: //')"
  # In a mount namespace of its own: whatever mmdebstrap mounts while it
  # works goes with it, even if it is killed.
  if ! unshare --mount --propagation private -- mmdebstrap --variant=apt \
    --aptopt='Acquire::Check-Valid-Until "false"' --include="${packages// /,}" sid "$new" \
    "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "sid root: mmdebstrap failed (log: $log)" >&2
    return 1
  fi
  copy_host_settings "$new"
  # The check: each interpreter runs, with its headers and _testcapi.
  local v
  for v in $(sid_versions); do
    if ! in_root "$new" / /bin/sh -c "for p in python$v python${v}d; do \
      test -f /usr/include/\$(\$p -c 'import sysconfig; print(sysconfig.get_config_var(\"INCLUDEPY\").rsplit(\"/\", 1)[1])')/Python.h && \
      \$p -c 'import _testcapi, venv, ensurepip, sys; print(sys.executable, sys.version.split()[0])' || exit 1; done" \
      >>"$log" 2>&1; then
      tail -n 20 "$log" >&2
      echo "sid root: Python $v does not work in it (log: $log)" >&2
      return 1
    fi
  done
  {
    echo "made: $(date -u '+%Y-%m-%dT%H:%M:%SZ')"
    echo "recipe: $(recipe)"
  } >"$new/.quendrix-root"
  mv "$new" "$root"
  echo "Made the sid root in $((SECONDS - started)) s: $root" >&2
  echo "$root"
}

# Copies the work tree (tracked and new files, nothing ignored; no build
# trees) into the root at the same path. The copy's build trees stay: they
# are moved into the fresh copy, so that builds there are incremental
# (tar keeps the files' times).
sync_tree() {  # root
  local dest="$1$QX_ROOT" new="$1$QX_ROOT.qx-sync" b
  mkdir -p "$dest"
  [ -e "$new" ] && rm -rf --one-file-system "$new"
  mkdir -p "$new"
  if git -C "$QX_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$QX_ROOT" && git ls-files -z --cached --others --exclude-standard |
      tar --null --ignore-failed-read -T - -cf -) | tar -C "$new" -xf -
  else
    (cd "$QX_ROOT" && tar --exclude='./build*' --exclude='*.so' -cf - .) | tar -C "$new" -xf -
  fi
  for b in "$dest"/build*; do
    [ -e "$b" ] && mv "$b" "$new/"
  done
  rm -rf --one-file-system "$dest"
  mv "$new" "$dest"
}

# Each build tree of the copy, linked from the work tree under its own name,
# where the work tree has no file of that name.
link_trees() {  # root
  local b name
  for b in "$1$QX_ROOT"/build*; do
    [ -d "$b" ] || continue
    name="${b##*/}"
    if [ -L "$QX_ROOT/$name" ] || [ ! -e "$QX_ROOT/$name" ]; then
      ln -sfn "$b" "$QX_ROOT/$name"
    fi
  done
}

case "${1:-}" in
  make)
    make_root
    ;;
  path)
    root="$(root_dir)"
    is_made "$root" || exit 1
    echo "$root"
    ;;
  run)
    shift
    [ $# -gt 0 ] || { echo "usage: $0 run COMMAND..." >&2; exit 2; }
    root="$(root_dir)"
    is_made "$root" || { echo "sid root: not made (bash $0 make)" >&2; exit 1; }
    copy_host_settings "$root"
    sync_tree "$root"
    rc=0
    in_root "$root" "$QX_ROOT" "$@" || rc=$?
    link_trees "$root"
    exit "$rc"
    ;;
  *)
    echo "usage: $0 make | path | run COMMAND..." >&2
    exit 2
    ;;
esac
exit 0
}
