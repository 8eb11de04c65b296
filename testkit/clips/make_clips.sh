#!/usr/bin/env bash
# Regenerates the short test clips in this folder (raw Annex-B elementary streams, 320x240, 25 fps,
# 30 pictures, no B-frames, closed GOP of 10). Needs ffmpeg with libx264 and libx265, and python3.
set -euo pipefail
cd "$(dirname "$0")"
src=(-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 30 -pix_fmt yuv420p)
x264=(-c:v libx264 -preset veryfast -profile:v main -bf 0 -g 10)
ffmpeg -hide_banner -loglevel error -y "${src[@]}" "${x264[@]}" \
    -x264-params keyint=10:min-keyint=10:scenecut=0:open-gop=0:slices=1 -f h264 h264_single_slice.264
ffmpeg -hide_banner -loglevel error -y "${src[@]}" "${x264[@]}" \
    -x264-params keyint=10:min-keyint=10:scenecut=0:open-gop=0:slices=4 -f h264 h264_multi_slice.264
ffmpeg -hide_banner -loglevel error -y "${src[@]}" -c:v libx265 -preset veryfast \
    -x265-params bframes=0:keyint=10:min-keyint=10:scenecut=0:open-gop=0:log-level=error \
    -f hevc h265_idr_n_lp.265
# Without B-frames x265 marks its IDR pictures IDR_N_LP (20), as h265_idr_n_lp.265 keeps them.
# Receivers built for cameras accept only IDR_W_RADL (19); with no leading pictures in the stream
# both types decode to the same pictures, so h265.265 is the same clip with the type field of
# those NAL unit headers rewritten in place.
cp h265_idr_n_lp.265 h265.265
python3 - h265.265 <<'PY'
import re, sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
for m in re.finditer(b"\x00\x00\x01", bytes(data)):
    i = m.end()
    if i < len(data) and (data[i] >> 1) & 0x3F == 20:
        data[i] = (data[i] & 0x81) | (19 << 1)
open(path, "wb").write(data)
PY
# The test camera's default clip (quorvane-testcam): 640x360, 25 fps, 10 s, a key picture every
# second with SPS and PPS in front of each, as cameras send them, so a client that joins at any
# moment can start within a second and the clip loops seamlessly.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=25 -frames:v 250 -pix_fmt yuv420p \
    -c:v libx264 -preset veryfast -profile:v main -bf 0 -g 25 -crf 32 \
    -x264-params keyint=25:min-keyint=25:scenecut=0:open-gop=0:repeat-headers=1 -f h264 testcam_640x360.264
# x265 with its default settings (open GOP, B-frames, TRAIL_N, CRA with RASL/RADL leading pictures,
# IDR_N_LP first), a key picture every 20 of 50: what an encoder left alone sends.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 50 -pix_fmt yuv420p \
    -c:v libx265 -x265-params keyint=20:log-level=error -f hevc h265_open_gop.265
