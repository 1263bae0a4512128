#!/usr/bin/env bash
# Installs what is missing, builds, and runs the performance benchmark: it starts
# the simulator offscreen on port 3000 and prints every figure beside its limit.
# Options go to perf_bench (--quick for a shorter run).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
# One simulator at a time holds port 3000 on this machine.
exec flock /tmp/vantis-sim.lock build/bench/perf_bench --sim build/vantis-sim "$@"
