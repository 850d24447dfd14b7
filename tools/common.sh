# Shared by ./run and ./test: dependencies and configuration.

# Compiler caching across checkouts: paths below the parent folder hash alike.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
# The tests compile with a precompiled header, which ccache caches only when
# told to trust it (tests/CMakeLists.txt builds it without time stamps).
export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}"

KESTREL_PACKAGES=(cmake ninja-build g++ clang-14 lld clang-tidy-14 libclang-rt-14-dev qt6-base-dev libgl-dev
  libjpeg-dev libgtest-dev libgmock-dev googletest xvfb xauth pkg-config ccache
  man-db desktop-file-utils dpkg-dev file lintian ser2net)

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

# The builds the scripts make. build/ (./test, ./run) is clang without any
# instrumentation: what users run; its fuzz targets replay their corpus on its
# libraries. build-asan/ serves ./test --asan and the fuzzing of ./test --fuzz
# and tools/fuzz; build-gcc/ keeps g++ honest in CI; build-rel/ is the Release
# tree ./bench measures, without the tests.
KESTREL_DEFAULT_CONFIG=(-DCMAKE_CXX_COMPILER=clang++-14 -DKESTREL_FUZZ_REPLAY=ON)
KESTREL_ASAN_CONFIG=(-DCMAKE_CXX_COMPILER=clang++-14 -DKESTREL_SANITIZE=address -DKESTREL_FUZZ=ON)
KESTREL_TSAN_CONFIG=(-DCMAKE_CXX_COMPILER=clang++-14 -DKESTREL_SANITIZE=thread)
KESTREL_GCC_CONFIG=(-DCMAKE_CXX_COMPILER=g++)
KESTREL_BENCH_CONFIG=(-DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF)

kestrel_jobs() { nproc; }

# kestrel_configure DIR [CMAKE_ARGS...]: configures DIR unless it already is,
# with the same arguments; a folder configured otherwise starts afresh.
kestrel_configure() {
  local dir="$1"; shift
  local stamp="$dir/kestrel-configure-args"
  if [ -f "$dir/build.ninja" ]; then
    [ "$(cat "$stamp" 2>/dev/null)" = "$*" ] && return 0
    echo "== $dir was configured with other options; configuring it afresh"
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
  fi
  local launcher=()
  # ccache keys on paths relative to CCACHE_BASEDIR (above), so a second
  # clone or worktree reuses what the first compiled.
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@"
  echo "$*" >"$stamp"
}
