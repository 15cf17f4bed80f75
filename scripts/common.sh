# Shared by run.sh and test.sh: install what is missing and build.
set -euo pipefail

CINDRAL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CINDRAL_PACKAGES=(
  build-essential cmake ninja-build pkg-config python3
  qt6-base-dev libgl-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
  libturbojpeg0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg xvfb xauth fonts-dejavu-core
)

# install_missing_packages [PACKAGE...]: the packages named, or else the project's list.
install_missing_packages() {
  local wanted=("$@")
  if [ "${#wanted[@]}" -eq 0 ]; then wanted=("${CINDRAL_PACKAGES[@]}"); fi
  local missing=()
  local package
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_tree DIR BUILD_TYPE [extra cmake arguments...]
build_tree() {
  local dir="$1" type="$2"
  shift 2
  cmake -S "$CINDRAL_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  cmake --build "$dir" -j2
}
