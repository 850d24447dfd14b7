# Shared by ./run and ./test: dependencies and configuration.

# Compiler caching across checkouts: paths below the parent folder hash alike.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"

KESTREL_PACKAGES=(cmake ninja-build g++ clang-14 libclang-rt-14-dev qt6-base-dev libgl-dev
  libjpeg-dev libgtest-dev libgmock-dev googletest libbenchmark-dev xvfb xauth pkg-config ccache
  man-db desktop-file-utils dpkg-dev file lintian)

kestrel_install_dependencies() {
  local missing=()
  for p in "${KESTREL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

kestrel_configure() {
  local dir="$1"; shift
  if [ ! -f "$dir/build.ninja" ]; then
    local launcher=()
    # ccache keys on paths relative to the checkout, so a second clone or
    # worktree reuses what the first compiled.
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@"
  fi
}
