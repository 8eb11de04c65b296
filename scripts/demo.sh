#!/usr/bin/env bash
# The library's main job in one command: installs what is needed, builds the tools, starts the test
# camera on loopback, records from it with quorvane-record over TCP and over UDP, stops the camera
# and prints what was recorded, checked with ffprobe/ffmpeg when they are present.
#   scripts/demo.sh               10 seconds per transport
#   scripts/demo.sh --seconds 4   shorter (CI)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=10
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=${2:?--seconds needs a value}; shift 2 ;;
        *) echo "usage: $0 [--seconds N]" >&2; exit 2 ;;
    esac
done

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quorvane-record quorvane-testcam

out=build/demo
mkdir -p "$out"
rm -f "$out"/*.264

# The camera prints its URL first; a free port is picked so nothing else on the machine is hit.
build/tools/quorvane-testcam --port 0 >"$out/camera.url" 2>"$out/camera.log" &
camera=$!
stop_camera() {
    if kill -0 "$camera" 2>/dev/null; then
        kill -TERM "$camera"
        wait "$camera" || true
    fi
}
trap stop_camera EXIT
for _ in $(seq 100); do
    [ -s "$out/camera.url" ] && break
    kill -0 "$camera" 2>/dev/null || { cat "$out/camera.log" >&2; exit 1; }
    sleep 0.1
done
url=$(head -n 1 "$out/camera.url")
[ -n "$url" ] || { echo "demo: the test camera did not start" >&2; cat "$out/camera.log" >&2; exit 1; }
echo "demo: test camera at $url"

for transport in tcp udp; do
    echo "demo: recording $seconds s over ${transport^^}"
    build/tools/quorvane-record "$url" --"$transport" --duration "$seconds" -o "$out/demo_$transport.264" \
        2>&1 | tee "$out/record_$transport.log"
done
stop_camera
trap - EXIT
echo "demo: camera stopped ($(tail -n 1 "$out/camera.log" | sed 's/^quorvane-testcam: //'))"

status=0
echo
printf '%-10s %8s %8s %12s %7s %10s  %s\n' transport frames fps bytes codec size check
for transport in tcp udp; do
    file="$out/demo_$transport.264"
    bytes=$(stat -c %s "$file")
    # The recorder's own count and the rate at which the pictures arrived.
    summary=$(grep -E 'frames of' "$out/record_$transport.log" | tail -n 1)
    frames=$(sed -nE 's/.*: ([0-9]+) frames of.*/\1/p' <<<"$summary")
    fps=$(sed -nE 's/.*\(([0-9.]+) fps\).*/\1/p' <<<"$summary")
    codec=$(sed -nE 's/.* frames of (H\.26[45]).*/\1/p' <<<"$summary")
    size="-"
    check="not checked (no ffprobe)"
    if command -v ffprobe >/dev/null; then
        probe=$(ffprobe -v error -count_frames -select_streams v:0 \
            -show_entries stream=codec_name,width,height,nb_read_frames -of default=nw=1 "$file")
        decoded=$(sed -n 's/^nb_read_frames=//p' <<<"$probe")
        size="$(sed -n 's/^width=//p' <<<"$probe")x$(sed -n 's/^height=//p' <<<"$probe")"
        errors=$(ffmpeg -hide_banner -v error -i "$file" -f null - 2>&1 | wc -l)
        if [ "$decoded" = "$frames" ] && [ "$errors" -eq 0 ]; then
            check="ffmpeg decodes all $decoded frames without error"
        else
            check="FAILED: ffmpeg decodes $decoded frames, $errors error lines"
            status=1
        fi
    fi
    # The camera sends 25 frames per second; allow for the recording starting at a key frame.
    if [ -z "$frames" ] || [ "$frames" -lt $((seconds * 25 * 9 / 10)) ]; then
        check="$check; FAILED: fewer than 90% of $((seconds * 25)) frames"
        status=1
    fi
    printf '%-10s %8s %8s %12s %7s %10s  %s\n' "${transport^^}" "${frames:--}" "${fps:--}" "$bytes" \
        "${codec:--}" "$size" "$check"
done
exit $status
