# Shared set-up for ./test.sh and ./run.sh: Debian packages and CMake build trees.
# Sourced, not run.

# Debian packages the build and the tests need.
DOVELA_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpugixml-dev libudev-dev libboost-dev media-types
  qt6-base-dev qt6-webengine-dev libgl-dev fonts-dejavu-core
  clang-tidy clang-format
)

# Installs the packages that are missing; touches apt only when something is missing.
dovela_ensure_packages() {
  local missing=() p
  for p in "${DOVELA_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# dovela_build DIR [CMAKE OPTIONS...]: configures DIR (again, from a fresh cache, whenever the
# options differ from the ones it was configured with), then builds it.
dovela_build() {
  local dir=$1
  shift
  local wanted="$*" stamp="$dir/.dovela-configure-options"
  if [ ! -f "$dir/build.ninja" ] || [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
    local fresh=()
    [ -f "$dir/CMakeCache.txt" ] && fresh=(--fresh)
    cmake "${fresh[@]}" -S . -B "$dir" -G Ninja "$@" || return 1
    printf '%s' "$wanted" >"$stamp"
  fi
  cmake --build "$dir" --parallel "$(nproc)"
}
