#!/usr/bin/env bash
# Runs exactly what CI runs: set-up, the plain build and test suite, the exported-symbol check,
# then the sanitizer passes, the fuzzers, the AArch64 leg and the Debian packages.
#   scripts/ci.sh            everything
#   scripts/ci.sh --quick    set-up, plain build and tests only
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=$(nproc)
# Prints how long a step took.
timed() {
    local start=$(date +%s)
    "$@"
    echo "ci: '$*' took $(($(date +%s) - start)) s"
}

scripts/setup.sh
echo "=== Formatting"
scripts/format-check.sh
scripts/test.sh
echo "=== Exported symbols"
scripts/check-abi.sh

if [ "$quick" -eq 1 ]; then exit 0; fi

echo "=== Main job: test camera, recordings over TCP and UDP (shortened)"
scripts/demo.sh --seconds 4

echo "=== Soak (60 s): camera faults every 10 s over UDP and TCP, recovery, flat resources, decodable output"
python3 bench/soak.py --duration 60 --interval 10

echo "=== ASan+UBSan: whole suite, the tools' tests against sanitized tools included"
cmake -S . -B build-asan -DQUORVANE_SANITIZE=address >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$jobs")

echo "=== TSan: threaded tests"
cmake -S . -B build-tsan -DQUORVANE_SANITIZE=thread -DQUORVANE_BUILD_TOOLS=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --output-on-failure -j"$jobs" -L threaded)

if [ -x scripts/fuzz.sh ]; then
    echo "=== Fuzz targets (short runs)"
    scripts/fuzz.sh
fi
if [ -x scripts/ci-arm64.sh ]; then
    echo "=== AArch64 cross build and tests under emulation"
    timed scripts/ci-arm64.sh
fi

echo "=== Debian packages for amd64 and arm64 (lintian), the consumer against the amd64 ones"
timed scripts/package.sh
timed scripts/package.sh --arm64
# The shipped libraries: AArch64 code in the arm64 package, both exporting the listed symbols.
root=$(mktemp -d)
dpkg -x build-pkg-arm64/packages/libquorvane-rtsp0_*_arm64.deb "$root/arm64"
lib=$root/arm64/usr/lib/aarch64-linux-gnu/libquorvane_rtsp.so.0
readelf -h "$lib" | grep -q 'Machine: *AArch64' || { echo "ci: $lib is not AArch64"; exit 1; }
scripts/check-abi.sh "$lib"
for deb in build-pkg/packages/*_amd64.deb; do dpkg -x "$deb" "$root/amd64"; done
scripts/check-abi.sh "$root/amd64/usr/lib/x86_64-linux-gnu/libquorvane_rtsp.so.0"
timed bash tests/consumer/run.sh "$PWD" --prefix "$root/amd64/usr"
rm -rf "$root"
