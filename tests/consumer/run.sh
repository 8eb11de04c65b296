#!/usr/bin/env bash
# Builds and runs a consumer program against the installed library twice: through
# find_package(QuorvaneRtsp) and through pkg-config; before that, compiles every installed header
# on its own, as <quorvane_rtsp/...>, so a header that reaches outside the installed tree fails.
#   run.sh SRC BUILD_DIR        installs BUILD_DIR into a scratch prefix first
#   run.sh SRC --prefix DIR     uses what is already installed under DIR (e.g. unpacked packages)
# For a cross build, CONSUMER_TOOLCHAIN names the CMake toolchain file, CONSUMER_CXX the compiler,
# CONSUMER_RUN the emulator command and CONSUMER_PKG_CONFIG_LIBDIR the target's .pc folders.
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake=${CMAKE:-cmake}
cxx=${CONSUMER_CXX:-c++}
read -r -a run <<<"${CONSUMER_RUN:-}"
toolchain=()
[ -n "${CONSUMER_TOOLCHAIN:-}" ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$CONSUMER_TOOLCHAIN")

# CONSUMER_LAUNCHER (e.g. ccache) runs the header checks below; their files keep fixed paths
# (under BUILD_DIR, or the scratch folder for --prefix) so that unchanged headers hit its cache.
read -r -a launch <<<"${CONSUMER_LAUNCHER:-}"
if [ "$2" = "--prefix" ]; then
    prefix=$(realpath "$3")
    checks=$work/header-checks
else
    prefix=$(realpath "$2")/consumer-test/prefix
    checks=$(dirname "$prefix")/header-checks
    rm -rf "$prefix"
    "$cmake" --install "$2" --prefix "$prefix" >/dev/null
fi
# The library folder: lib/ or a multiarch lib/<triplet>/ (Debian packages).
lib=$(find "$prefix" -name libquorvane_rtsp.so -path '*/lib/*' | head -n 1)
[ -n "$lib" ] || { echo "no libquorvane_rtsp.so under $prefix"; exit 1; }
libdir=$(dirname "$lib")
soname=$(readelf -d "$lib" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libquorvane_rtsp.so.0" ] || { echo "wrong SONAME: '$soname'"; exit 1; }

# Each header in a translation unit of its own, two compilers at a time.
headers=$(cd "$prefix/include/quorvane_rtsp" && find . -name '*.h' -printf '%P\n' | sort)
rm -rf "$checks" && mkdir -p "$checks"
echo "$headers" | xargs -P 2 -I{} sh -c 'h=$1 inc=$2 tu=$3/$(echo "$1" | tr / _).cpp
    printf "#include <quorvane_rtsp/%s>\n" "$1" >"$tu"
    shift 3; "$@" -std=c++17 -c -I"$inc" "$tu" -o "$tu.o" ||
    { echo "installed header quorvane_rtsp/$h does not compile on its own"; exit 255; }' \
    sh {} "$prefix/include" "$checks" "${launch[@]}" "$cxx"
if find "$prefix/include" -name '*_internal.h' | grep -q .; then
    echo "internal headers installed"; exit 1
fi
echo "consumer: $(echo "$headers" | wc -l) installed headers compile on their own"

[ ${#launch[@]} -gt 0 ] && toolchain+=(-DCMAKE_CXX_COMPILER_LAUNCHER="${launch[*]}")
"$cmake" -S "$src/tests/consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" "${toolchain[@]}" >/dev/null
"$cmake" --build "$work/build" >/dev/null
"${run[@]}" "$work/build/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ -n "${CONSUMER_PKG_CONFIG_LIBDIR:-}" ] && export PKG_CONFIG_LIBDIR="$CONSUMER_PKG_CONFIG_LIBDIR"
# The .pc file names the prefix it was configured with; point pkg-config at the scratch prefix.
# Both programs find the scratch library through their run path (CMake sets it for the first),
# which also holds under the emulator, whose own library path setting replaces LD_LIBRARY_PATH.
# Compiled and linked apart: the launcher caches a compile, not a compile that also links.
"${launch[@]}" "$cxx" -std=c++17 -c "$src/tests/consumer/main.cpp" -o "$work/consumer-pc.o" \
    $(pkg-config --define-variable=prefix="$prefix" --cflags quorvane_rtsp)
"$cxx" "$work/consumer-pc.o" -o "$work/consumer-pc" -Wl,-rpath,"$libdir" \
    $(pkg-config --define-variable=prefix="$prefix" --libs quorvane_rtsp)
"${run[@]}" "$work/consumer-pc"
