#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a consumer program
# against it twice: through find_package(QuorvaneRtsp) and through pkg-config.
set -euo pipefail
src=$1
bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake=${CMAKE:-cmake}

"$cmake" --install "$bin" --prefix "$work/prefix" >/dev/null
soname=$(readelf -d "$work"/prefix/lib*/libquorvane_rtsp.so | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libquorvane_rtsp.so.0" ] || { echo "wrong SONAME: '$soname'"; exit 1; }

"$cmake" -S "$src/tests/consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
"$cmake" --build "$work/build" >/dev/null
LD_LIBRARY_PATH=$(dirname "$(ls "$work"/prefix/lib*/libquorvane_rtsp.so)") "$work/build/consumer"

libdir=$(dirname "$(ls "$work"/prefix/lib*/libquorvane_rtsp.so)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# The .pc file names the prefix it was configured with; point pkg-config at the scratch prefix.
c++ -std=c++17 "$src/tests/consumer/main.cpp" -o "$work/consumer-pc" \
    $(pkg-config --define-prefix --cflags --libs quorvane_rtsp)
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc"
