#!/usr/bin/env bash
# Installs what is missing, builds, and opens the simulator window.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
exec build/vantis-sim
