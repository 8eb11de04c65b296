#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a consumer program
# against it twice: through find_package(QuorvaneRtsp) and through pkg-config.
# For a cross build, CONSUMER_TOOLCHAIN names the CMake toolchain file, CONSUMER_CXX the compiler,
# CONSUMER_RUN the emulator command and CONSUMER_PKG_CONFIG_LIBDIR the target's .pc folders.
set -euo pipefail
src=$1
bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake=${CMAKE:-cmake}
cxx=${CONSUMER_CXX:-c++}
read -r -a run <<<"${CONSUMER_RUN:-}"
toolchain=()
[ -n "${CONSUMER_TOOLCHAIN:-}" ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$CONSUMER_TOOLCHAIN")

"$cmake" --install "$bin" --prefix "$work/prefix" >/dev/null
soname=$(readelf -d "$work"/prefix/lib*/libquorvane_rtsp.so | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libquorvane_rtsp.so.0" ] || { echo "wrong SONAME: '$soname'"; exit 1; }

"$cmake" -S "$src/tests/consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" "${toolchain[@]}" >/dev/null
"$cmake" --build "$work/build" >/dev/null
libdir=$(dirname "$(ls "$work"/prefix/lib*/libquorvane_rtsp.so)")
"${run[@]}" "$work/build/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ -n "${CONSUMER_PKG_CONFIG_LIBDIR:-}" ] && export PKG_CONFIG_LIBDIR="$CONSUMER_PKG_CONFIG_LIBDIR"
# The .pc file names the prefix it was configured with; point pkg-config at the scratch prefix.
# Both programs find the scratch library through their run path (CMake sets it for the first),
# which also holds under the emulator, whose own library path setting replaces LD_LIBRARY_PATH.
"$cxx" -std=c++17 "$src/tests/consumer/main.cpp" -o "$work/consumer-pc" -Wl,-rpath,"$libdir" \
    $(pkg-config --define-prefix --cflags --libs quorvane_rtsp)
"${run[@]}" "$work/consumer-pc"
