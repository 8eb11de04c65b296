#!/usr/bin/env bash
# Cross-builds the library and the tests for AArch64 in build-arm64/ and runs the whole test suite
# under qemu-aarch64 user-mode emulation. Run by scripts/ci.sh after the native passes.
#   scripts/ci-arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
jobs=$(nproc)

scripts/setup-arm64.sh

# No sanitizers (the native legs run those); tools, benchmarks and fuzzers are not needed to
# prove the library works on the target. The release optimisation level, so code that only goes
# wrong once optimised goes wrong here too, but no debug information: a quarter less compile time.
cmake -S . -B build-arm64 \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_BUILD_TOOLS=OFF \
    -DQUORVANE_BUILD_BENCH=OFF -DQUORVANE_BUILD_FUZZERS=OFF >/dev/null
cmake --build build-arm64 -j"$jobs"
built=$(date +%s)

lib=build-arm64/libquorvane_rtsp.so.0
echo "arm64 library: $(readelf -h "$lib" | grep -E 'Class|Machine' | tr -s ' ' | paste -sd';')"
readelf -h "$lib" | grep -q 'Machine: *AArch64' || { echo "ci-arm64: $lib is not an AArch64 object"; exit 1; }

(cd build-arm64 && ctest --output-on-failure -j"$jobs")
end=$(date +%s)
echo "ci-arm64: build $((built - start)) s, tests $((end - built)) s, arm64 leg $((end - start)) s"
