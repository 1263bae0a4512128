#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs one for a bounded
# time over a copy of its seed corpus and its regressions.
#   tools/fuzz.sh [SECONDS] [extra libFuzzer options...]     (default 60 s)
# VANTIS_FUZZ_TARGET picks it: protocol (the default: the whole program fed a
# client's bytes) or csv (the recording reader fed a file's bytes).
# With AddressSanitizer and UndefinedBehaviorSanitizer into build-fuzz/; with
# VANTIS_FUZZ_SANITIZERS=OFF, about three times faster, into build-fuzz-fast/.
# New inputs go to <build dir>/found/ (found-csv/ for csv); a failing input is written to the build
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
target="${VANTIS_FUZZ_TARGET:-protocol}"
case "$target" in
  protocol) program=vantis_fuzz found=found corpus=corpus regressions=regressions dict=protocol.dict max_len=4096 ;;
  # Longer than the longest line the reader takes, so that its refusal is reached.
  csv) program=vantis_fuzz_csv found=found-csv corpus=csv-corpus regressions=csv-regressions dict=csv.dict max_len=16384 ;;
  *) echo "fuzz.sh: VANTIS_FUZZ_TARGET must be protocol or csv, not '$target'" >&2; exit 2 ;;
esac
mkdir -p "$dir/$found"
cd "$dir"
# -timeout: one input running longer than this counts as a hang.
./"$program" "$found" "../fuzz/$corpus" "../fuzz/$regressions" \
  -max_total_time="$seconds" -timeout=10 -max_len="$max_len" -rss_limit_mb=2048 \
  -dict="../fuzz/$dict" -print_final_stats=1 "$@"
