#!/usr/bin/env bash
# Builds the Debian packages libquorvane-rtsp0, libquorvane-rtsp-dev and quorvane-rtsp-tools with
# CPack in build-pkg/ (amd64) or build-pkg-arm64/ (arm64, cross-built), prints each package's
# control data and checks them with lintian (errors fail; warnings are listed).
#   scripts/package.sh            amd64 packages in build-pkg/packages/
#   scripts/package.sh --arm64    arm64 packages in build-pkg-arm64/packages/
set -euo pipefail
cd "$(dirname "$0")/.."

arch=$(dpkg --print-architecture)
dir=build-pkg
cross=()
case "${1:-}" in
    "") ;;
    --arm64)
        arch=arm64
        dir=build-pkg-arm64
        cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64-linux-gnu.cmake")
        scripts/setup-arm64.sh >/dev/null
        ;;
    *) echo "usage: $0 [--arm64]" >&2; exit 2 ;;
esac

# Debian's build flags for the target (optimisation, hardening: fortify, stack protector, relro,
# bind now), so the library is built as a Debian package of it would be.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=$arch
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

# Only what goes into the packages: the library and the tools (tests run in the other builds).
# The multiarch library folder (lib/x86_64-linux-gnu, lib/aarch64-linux-gnu); CMake picks it
# itself only when not cross-compiling.
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
cmake -S . -B "$dir" "${cross[@]}" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" \
    -DQUORVANE_PACKAGE_DEB=ON -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_TOOLS=ON \
    -DQUORVANE_BUILD_BENCH=OFF -DQUORVANE_BUILD_FUZZERS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -rf "$dir/packages"
(cd "$dir" && cpack -G DEB >/dev/null)

status=0
for deb in "$dir"/packages/*.deb; do
    echo "=== $(basename "$deb")"
    dpkg-deb --field "$deb" Package Version Architecture Depends
done
echo "=== lintian ($arch)"
lintian --fail-on error --display-info --tag-display-limit 0 "$dir"/packages/*.deb || status=1
[ "$status" -eq 0 ] && echo "package: $arch packages in $dir/packages/"
exit $status
