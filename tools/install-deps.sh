#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages the simulator needs to build, test, show
# its window and be packaged, skipping those already present; names given as
# arguments are installed too. Uses sudo when not run as root.
#
# Recommended packages are left out, so every package needed is named here,
# even where today's Debian happens to pull it in as a dependency.
set -euo pipefail

packages=(
  # build
  cmake make g++
  qt6-base-dev
  qt6-tools-dev        # Qt UI Tools, which loads the panel
  libqt6opengl6-dev    # asked for by Qt UI Tools' CMake package
  libgl-dev
  libxcb1-dev          # start-up tries the X display before Qt does
  libpcap-dev          # captures: written by the simulator, read by vantis-replay
  # tests
  libgtest-dev
  desktop-file-utils   # checks the installed desktop entry
  python3-pytest python3-pytest-xdist  # the Python package's tests, one of them in parallel
  tshark tcpdump       # the capture tests decode with the dissector and capture on loopback
  iproute2             # the capture tests bring up loopback in a network namespace of their own
  # the window: Qt's X platform plugin and a font for every label
  qt6-qpa-plugins
  fonts-dejavu-core
  # the .deb: dpkg-shlibdeps computes its dependencies, CPack finds binaries with file,
  # lintian checks it, man shows its manual pages once installed
  dpkg-dev file
  lintian man-db
  "$@"
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
