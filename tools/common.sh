# Shared by ./run and ./test: dependencies and configuration.

KESTREL_PACKAGES=(cmake ninja-build g++ clang-14 libclang-rt-14-dev qt6-base-dev libgl-dev
  libjpeg-dev libgtest-dev libgmock-dev googletest libbenchmark-dev xvfb xauth pkg-config)

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
    cmake -S . -B "$dir" -G Ninja "$@"
  fi
}
