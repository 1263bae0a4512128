#!/usr/bin/env bash
# Builds the fuzz target with clang and libFuzzer into build-fuzz/ and runs it
# for a bounded time over a copy of the seed corpus.
#   tools/fuzz.sh [SECONDS] [extra libFuzzer options...]     (default 60 s)
# Inputs it finds go to build-fuzz/found/; a failing input is written to
# build-fuzz/ as crash-* (copy it into fuzz/regressions/ once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
tools/install-deps.sh clang-14 libclang-rt-14-dev
cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2
mkdir -p build-fuzz/found
cd build-fuzz
# -timeout: one input running longer than this counts as a hang.
./vantis_fuzz found ../fuzz/corpus ../fuzz/regressions \
  -max_total_time="$seconds" -timeout=10 -max_len=4096 -rss_limit_mb=2048 \
  -dict=../fuzz/protocol.dict -print_final_stats=1 "$@"
