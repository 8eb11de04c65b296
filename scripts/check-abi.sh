#!/usr/bin/env bash
# Compares the symbols the built library exports with the reviewed list abi/libquorvane_rtsp.symbols
# (demangled, sorted). A symbol gone from the library breaks programs linked against an earlier
# build and fails; a new one fails too until the list is reviewed and updated with --update.
#   scripts/check-abi.sh [LIBRARY]            compare (default build/libquorvane_rtsp.so.0)
#   scripts/check-abi.sh --update [LIBRARY]   rewrite the list from the library
set -euo pipefail
update=0
if [ "${1:-}" = "--update" ]; then
    update=1
    shift
fi
lib=${1:-}
[ -n "$lib" ] && lib=$(realpath "$lib")
cd "$(dirname "$0")/.."
lib=${lib:-build/libquorvane_rtsp.so.0}
list=abi/libquorvane_rtsp.symbols
[ -f "$lib" ] || { echo "check-abi: no $lib; build the library first (scripts/test.sh)" >&2; exit 2; }

# Defined dynamic functions and variables, address and type dropped. Left out: the standard
# library's templates instantiated in the library (programs make their own), and vtables, type
# information and guard variables. Those of a class with an out-of-line virtual function are
# emitted beside that function, which is in the list; the others are emitted by every object that
# needs them, weak, and come and go with inlining and link-time optimisation, not with the API.
symbols() {
    nm -DC --defined-only "$lib" | awk '{
        name = $0
        sub(/^[^ ]+ [^ ]+ /, "", name)
        if (name ~ /^(typeinfo name|typeinfo|vtable|VTT|construction vtable|guard variable) for /) next
        if (name ~ /^([a-z_ ]+ )?(std|__gnu_cxx)::/) next
        print name
    }' | LC_ALL=C sort -u
}

if [ "$update" -eq 1 ]; then
    symbols >"$list"
    echo "check-abi: $list now lists the $(wc -l <"$list") symbols $lib exports"
    exit 0
fi
[ -f "$list" ] || { echo "check-abi: no $list; create it with $0 --update" >&2; exit 2; }
current=$(symbols)
removed=$(LC_ALL=C comm -23 "$list" <(printf '%s\n' "$current"))
added=$(LC_ALL=C comm -13 "$list" <(printf '%s\n' "$current"))
status=0
if [ -n "$removed" ]; then
    echo "check-abi: FAILED: $lib no longer exports listed symbols ($(wc -l <<<"$removed")); programs built" \
        "against the earlier library may fail to load or to run:"
    sed 's/^/  - /' <<<"$removed"
    status=1
fi
if [ -n "$added" ]; then
    echo "check-abi: FAILED: $lib exports symbols the list does not have ($(wc -l <<<"$added")):"
    sed 's/^/  + /' <<<"$added"
    echo "Review them (is each meant to be public API?), then run scripts/check-abi.sh --update and" \
        "commit $list."
    status=1
fi
[ "$status" -eq 0 ] && echo "check-abi: $lib exports exactly the $(wc -l <"$list") listed symbols"
exit $status
