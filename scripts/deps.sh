#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Zibbet need,
# and only those that are missing. Uses sudo when not run as root.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  freeglut3-dev libglu1-mesa-dev libgl1-mesa-dev libgl1-mesa-dri
  libx11-dev libxtst-dev
  libgtest-dev libbenchmark-dev
  nlohmann-json3-dev # zibbet-bench writes and reads its result files with it
  xvfb xauth
  dpkg-dev      # dpkg-shlibdeps: the Debian package's dependencies
  libxml2-utils # xmllint: the tests parse the benchmark's SVG plot
  lintian desktop-file-utils appstream man-db # the package's checkers
)
for flag in "$@"; do
  case "$flag" in
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    # The aarch64 cross build and its runs under user-mode emulation; its
    # GoogleTest is built from the sources libgtest-dev ships.
    --arm64) packages+=(g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user) ;;
    *) echo "deps.sh: unknown flag $flag" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
