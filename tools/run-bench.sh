#!/usr/bin/env bash
# Installs what is missing, builds, and runs the performance benchmark: it starts
# the simulator offscreen under a name of its own on a free loopback port (never
# one the user's simulator holds) and prints every figure beside its limit.
# Options go to perf_bench (--quick for a shorter run).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
exec build/bench/perf_bench --sim build/vantis-sim "$@"
