#!/usr/bin/env bash
# Builds the fuzz target with clang and libFuzzer and runs it for a bounded time
# over a copy of the seed corpus and the regressions.
#   tools/fuzz.sh [SECONDS] [extra libFuzzer options...]     (default 60 s)
# With AddressSanitizer and UndefinedBehaviorSanitizer into build-fuzz/; with
# VANTIS_FUZZ_SANITIZERS=OFF, about three times faster, into build-fuzz-fast/.
# New inputs go to <build dir>/found/; a failing input is written to the build
# dir as crash-* (copy it into fuzz/regressions/ once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
sanitizers="${VANTIS_FUZZ_SANITIZERS:-ON}"
dir=build-fuzz
[ "$sanitizers" = OFF ] && dir=build-fuzz-fast
tools/install-deps.sh clang-14 libclang-rt-14-dev
cmake -S fuzz -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTIS_FUZZ_SANITIZERS="$sanitizers" >/dev/null
cmake --build "$dir" -j2
mkdir -p "$dir/found"
cd "$dir"
# -timeout: one input running longer than this counts as a hang.
./vantis_fuzz found ../fuzz/corpus ../fuzz/regressions \
  -max_total_time="$seconds" -timeout=10 -max_len=4096 -rss_limit_mb=2048 \
  -dict=../fuzz/protocol.dict -print_final_stats=1 "$@"
