# Sourced by the other scripts: installs the Debian packages the build and
# the tests need, when any is missing.
QX_APT_PACKAGES="g++ cmake make python3.11 python3.11-dev python3.11-dbg libgtest-dev python3-pytest python3-hypothesis
  python3-pip python3-setuptools python3-wheel python3-venv python3-build python3-mypy clang-format clang-tidy"

qx_install_deps() {
  local missing=""
  for p in $QX_APT_PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
}

# Configures and builds one tree against the named interpreter.
qx_build() {
  local dir="$1" python="$2"
  shift 2
  cmake -S "$QX_ROOT" -B "$dir" -DQX_PYTHON="$python" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
