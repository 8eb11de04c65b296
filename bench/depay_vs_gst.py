#!/usr/bin/python3
"""Depacketizer cost per packet beside GStreamer's rtph264depay on the same capture.

The capture is bench_depacketize's 1080p H.264 stream (1400-byte packets, FU-A fragments), repeated
with running sequence numbers and timestamps. Ours: bench_depacketize's BM_Depacketize/h264_1080p
(the RTP packets replayed through the depacketizer to a null callback), CPU ns per packet and heap
allocations per packet. GStreamer: the same packets as an RFC 4571 file through
`filesrc ! rtpstreamdepay ! rtph264depay ! fakesink`, less the same pipeline without
rtph264depay, in process CPU (user + system), divided by the packets: what rtph264depay adds.

    bench/depay_vs_gst.py [--passes 200] [--runs 3] [--build build-e2e]

Needs cmake, a compiler, Google Benchmark, ffmpeg with libx264 and gst-launch-1.0.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CAPS = "application/x-rtp-stream,media=video,clock-rate=90000,encoding-name=H264,payload=96"


def gst_cpu(capture, depay):
    """CPU seconds of one gst-launch run over the capture, with or without rtph264depay."""
    argv = ["gst-launch-1.0", "-q", "filesrc", f"location={capture}", "!", CAPS, "!", "rtpstreamdepay", "!"]
    argv += (["rtph264depay", "!"] if depay else []) + ["fakesink"]
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, rusage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("depay_vs_gst: gst-launch failed: " + proc.stderr.read().decode(errors="replace"))
    return rusage.ru_utime + rusage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--passes", type=int, default=200, help="passes of the 50-picture stream in the capture")
    parser.add_argument("--runs", type=int, default=3, help="GStreamer runs of each pipeline (the least CPU counts)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-e2e"), help="build directory")
    args = parser.parse_args()

    subprocess.run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=Release", "-DQUORVANE_BUILD_BENCH=ON",
                    "-DQUORVANE_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "-j", str(os.cpu_count() or 2), "--target", "bench_depacketize"],
                   check=True, stdout=subprocess.DEVNULL)
    bench = os.path.join(args.build, "bench", "bench_depacketize")

    with tempfile.TemporaryDirectory() as tmp:
        out_json = os.path.join(tmp, "bench.json")
        subprocess.run([bench, "--benchmark_filter=BM_Depacketize/h264", "--benchmark_repetitions=3",
                        f"--benchmark_out={out_json}", "--benchmark_out_format=json"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out_json) as f:
            runs = json.load(f)["benchmarks"]
    median = [b for b in runs if b.get("aggregate_name") == "median"] or runs
    ours_ns = median[0]["cpu_ns_per_packet"]
    ours_allocs = median[0]["heap_allocs_per_packet"]

    with tempfile.TemporaryDirectory() as tmp:
        capture = os.path.join(tmp, "capture.rtp")
        out = subprocess.run([bench, "--dump-rfc4571", capture, str(args.passes)], check=True, capture_output=True,
                             text=True).stdout
        packets = int(re.search(r"packets (\d+)", out).group(1))
        with_depay = min(gst_cpu(capture, True) for _ in range(args.runs))
        without = min(gst_cpu(capture, False) for _ in range(args.runs))
    gst_ns = max(0.0, with_depay - without) / packets * 1e9

    print(f"1080p H.264 capture, {packets} RTP packets of up to 1400 bytes; {os.cpu_count()} CPUs.")
    print()
    print("| depacketizer | CPU ns per packet | heap allocations per packet |")
    print("|---|---:|---:|")
    print(f"| this library (RtpVideoUnpackExUnitSM) | {ours_ns:.0f} | {ours_allocs:.3f} |")
    print(f"| GStreamer rtph264depay | {gst_ns:.0f} | - |")
    print()
    print(f"Ours / GStreamer: {ours_ns / gst_ns:.2f} (GStreamer pipeline {with_depay:.2f} s CPU with rtph264depay, "
          f"{without:.2f} s without)" if gst_ns > 0 else "GStreamer's share was below the measurement's resolution")


if __name__ == "__main__":
    main()
