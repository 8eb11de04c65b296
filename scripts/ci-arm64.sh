#!/usr/bin/env bash
# Cross-builds what the default build builds (library, tools, tests) for AArch64 in build-arm64/
# and runs the whole test suite under qemu-aarch64 user-mode emulation; the tests start the arm64
# tools through the same emulator (no binfmt registration needed). Run by scripts/ci.sh.
#   scripts/ci-arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
jobs=$(nproc)

scripts/setup-arm64.sh

# No sanitizers (the native legs run those), no benchmarks or fuzzers. The release optimisation
# level, so code that only goes wrong once optimised goes wrong here too, but no debug
# information: a quarter less compile time.
cmake -S . -B build-arm64 \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_BUILD_TOOLS=ON \
    -DQUORVANE_BUILD_BENCH=OFF -DQUORVANE_BUILD_FUZZERS=OFF >/dev/null
cmake --build build-arm64 -j"$jobs"
built=$(date +%s)

lib=build-arm64/libquorvane_rtsp.so.0
echo "arm64 library: $(readelf -h "$lib" | grep -E 'Class|Machine' | tr -s ' ' | paste -sd';')"
readelf -h "$lib" | grep -q 'Machine: *AArch64' || { echo "ci-arm64: $lib is not an AArch64 object"; exit 1; }

scripts/check-abi.sh "$lib"
(cd build-arm64 && ctest --output-on-failure -j"$jobs")
end=$(date +%s)
echo "ci-arm64: build $((built - start)) s, tests $((end - built)) s, arm64 leg $((end - start)) s"
