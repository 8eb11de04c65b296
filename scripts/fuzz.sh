#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each briefly.
#   scripts/fuzz.sh [SECONDS]   (default 20 seconds per target)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_BUILD_FUZZERS=ON \
    -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
shopt -s nullglob
for target in build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=build-fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    echo "--- $name (${secs}s)"
    "$target" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        "$corpus" "${seeds[@]}" 2>&1 | tail -n 12
done
