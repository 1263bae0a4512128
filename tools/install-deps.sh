#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages the simulator needs to build and run,
# skipping those already present. Uses sudo when not run as root.
set -euo pipefail

packages=(cmake g++ make qt6-base-dev qt6-tools-dev libgl-dev libgtest-dev "$@")
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
