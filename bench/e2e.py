#!/usr/bin/python3
"""End-to-end receive benchmark on loopback: N simultaneous 1080p streams from quorvane-testcam,
received by this library (one process with N RtspClients, data counted and dropped), by ffmpeg
(`ffmpeg -rtsp_transport tcp|udp -i URL -c copy -f null -`, one process per stream) and by
GStreamer (`gst-launch-1.0 rtspsrc ! rtph264depay ! fakesink`, one process per stream).

Every stream plays the same clip once from its first picture (the camera runs with --no-loop), so
each receiver should end up with exactly the clip's pictures. Reported per receiver: CPU seconds
(user + system, from the kernel's accounting of each process) per stream-minute of video, peak
resident memory per stream, and the pictures each stream received.

    bench/e2e.py                          N = 1, 4, 16; TCP and UDP; 15 s clip (about 8 minutes)
    bench/e2e.py --streams 1,4 --seconds 8 --transports tcp

Needs cmake and a compiler, ffmpeg with libx264 and gst-launch-1.0 (scripts/setup.sh installs them).
Only the Python standard library is used.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FPS = 25


def log(text):
    print(text, file=sys.stderr, flush=True)


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DQUORVANE_BUILD_BENCH=ON",
                    "-DQUORVANE_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2), "--target", "quorvane-testcam",
                    "quorvane-e2e-receiver"], check=True, stdout=subprocess.DEVNULL)


def make_clip(path, seconds, bitrate):
    """A 1080p H.264 clip as a camera sends it: 25 fps, a key picture with SPS/PPS every second,
    no B-frames, constant bit rate. Made once and kept beside the build (not in the repository)."""
    if os.path.exists(path):
        return
    log(f"making {path} ({seconds} s of 1920x1080 at {bitrate}bit/s)")
    rate = bitrate
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc2=size=1920x1080:rate={FPS}", "-frames:v", str(seconds * FPS), "-pix_fmt", "yuv420p",
                    "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-bf", "0", "-g", str(FPS),
                    "-b:v", rate, "-maxrate", rate, "-bufsize", rate, "-x264-params",
                    f"keyint={FPS}:min-keyint={FPS}:scenecut=0:open-gop=0:repeat-headers=1",
                    "-f", "h264", path + ".part"], check=True)
    os.rename(path + ".part", path)


class Process:
    """A started program whose resource usage is read when it is reaped (os.wait4)."""

    def __init__(self, argv, stdout, stderr):
        self.argv = argv
        self.popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
        self.rusage = None
        self.code = None

    def poll(self):
        if self.code is None:
            pid, status, rusage = os.wait4(self.popen.pid, os.WNOHANG)
            if pid != 0:
                self.code = os.waitstatus_to_exitcode(status)
                self.rusage = rusage
                self.popen.returncode = self.code
        return self.code

    def send(self, sig):
        if self.poll() is None:
            os.kill(self.popen.pid, sig)

    def stop(self, signals=(signal.SIGINT, signal.SIGINT, signal.SIGTERM), wait_each=8.0):
        """Asks the program to end (ffmpeg may need a second SIGINT while it waits for data),
        and kills it by PID as a last resort."""
        for sig in signals:
            self.send(sig)
            deadline = time.monotonic() + wait_each
            while self.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            if self.code is not None:
                return
        self.send(signal.SIGKILL)
        while self.poll() is None:
            time.sleep(0.05)

    def cpu(self):
        return self.rusage.ru_utime + self.rusage.ru_stime

    def max_rss_kib(self):
        return self.rusage.ru_maxrss


def count_plays(camera_log):
    """PLAY requests the camera has answered with 200, from its request log."""
    with open(camera_log) as f:
        return sum(1 for line in f if "] PLAY " in line and "-> 200" in line)


def wait_for_plays(camera_log, count, timeout):
    """Waits until the camera has answered `count` PLAY requests; returns when it saw the last."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if count_plays(camera_log) >= count:
            return time.monotonic()
        time.sleep(0.05)
    return None


def run(tools, receiver, transport, streams, clip, seconds, workdir, port_base):
    camera_log = os.path.join(workdir, "camera.log")
    url_file = os.path.join(workdir, "camera.url")
    with open(url_file, "w") as out, open(camera_log, "w") as err:
        camera = Process([os.path.join(tools, "tools", "quorvane-testcam"), clip, "--port", "0", "--no-loop"],
                         out, err)
    clients = []
    plays = 0
    started = time.monotonic()
    try:
        deadline = time.monotonic() + 10
        while not open(url_file).read().endswith("\n"):
            if camera.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the test camera did not start: " + open(camera_log).read())
            time.sleep(0.05)
        url = open(url_file).read().strip()

        outputs = []
        for i in range(1 if receiver == "quorvane" else streams):
            out_path = os.path.join(workdir, f"client{i}.out")
            err_path = os.path.join(workdir, f"client{i}.err")
            outputs.append((out_path, err_path))
            if receiver == "quorvane":
                argv = [os.path.join(tools, "bench", "quorvane-e2e-receiver"), "--" + transport, "--port-base",
                        str(port_base)] + [url] * streams
            elif receiver == "ffmpeg":
                argv = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-stats",
                        "-rtsp_transport", transport, "-i", url, "-c", "copy", "-f", "null", "-"]
            else:
                # silent=false makes fakesink announce each buffer (one per picture, as rtph264depay
                # aligns to access units here), which is how the pictures are counted.
                argv = ["gst-launch-1.0", "-e", "-v", "rtspsrc", f"location={url}", f"protocols={transport}", "!",
                        "rtph264depay", "!", "fakesink", "silent=false"]
            with open(out_path, "w") as out, open(err_path, "w") as err:
                clients.append(Process(argv, out, err))

        last_play = wait_for_plays(camera_log, streams, 60)
        if last_play is None:
            raise RuntimeError(f"{receiver}: not all {streams} streams started playing")
        # Every stream has its whole clip once the last one to start has played it through; a
        # little later the receivers are stopped: 1 s for ours (it reconnects a TCP stream silent
        # for 3 s), 3 s for GStreamer, whose jitter buffer holds 2 s by default.
        margin = {"quorvane": 1.0, "ffmpeg": 1.5, "gstreamer": 3.0}[receiver]
        time.sleep(max(0.0, last_play + seconds + margin - time.monotonic()))
        # Plays started while the receivers wind down (a reconnect racing the TEARDOWN) do not count.
        plays = count_plays(camera_log)
        for c in clients:
            c.send(signal.SIGINT)
        for c in clients:
            c.stop()
    finally:
        for c in clients:
            c.stop(signals=(), wait_each=0)
        camera.stop(signals=(signal.SIGTERM,))

    frames = []
    for (out_path, err_path) in outputs:
        out_text = open(out_path, errors="replace").read()
        err_text = open(err_path, errors="replace").read()
        if receiver == "quorvane":
            frames += [int(m) for m in re.findall(r"^stream \d+ frames (\d+)", out_text, re.M)]
        elif receiver == "ffmpeg":
            found = re.findall(r"frame=\s*(\d+)", err_text)
            frames.append(int(found[-1]) if found else 0)
        else:
            frames.append(out_text.count("last-message = chain"))
    cpu = sum(c.cpu() for c in clients)
    if receiver == "quorvane":
        rss_mib = clients[0].max_rss_kib() / 1024 / streams
    else:
        rss_mib = sum(c.max_rss_kib() for c in clients) / 1024 / streams
    return {
        "cpu_per_stream_minute": cpu / streams / (seconds / 60.0),
        "rss_mib_per_stream": rss_mib,
        "frames": frames + [0] * (streams - len(frames)),
        "plays": plays,
        "camera_cpu": camera.cpu(),
        "wall": time.monotonic() - started,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--streams", default="1,4,16", help="comma-separated stream counts (default 1,4,16)")
    parser.add_argument("--transports", default="tcp,udp")
    parser.add_argument("--receivers", default="quorvane,ffmpeg,gstreamer")
    parser.add_argument("--seconds", type=int, default=15, help="length of the clip every stream plays")
    parser.add_argument("--bitrate", default="3M", help="video bit rate of the 1080p clip (default 3M)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-e2e"), help="build directory")
    args = parser.parse_args()

    for program in ("cmake", "ffmpeg", "gst-launch-1.0"):
        if shutil.which(program) is None:
            sys.exit(f"e2e: {program} not found; run scripts/setup.sh")
    build(args.build)
    workdir = os.path.join(args.build, "e2e")
    os.makedirs(workdir, exist_ok=True)
    clip = os.path.join(workdir, f"clip_1080p_{args.seconds}s_{args.bitrate}.264")
    make_clip(clip, args.seconds, args.bitrate)
    pictures = args.seconds * FPS

    counts = [int(n) for n in args.streams.split(",")]
    transports = args.transports.split(",")
    receivers = args.receivers.split(",")
    results = {}
    port_base = 30000
    for n in counts:
        for transport in transports:
            for receiver in receivers:
                log(f"{n} x {transport.upper()} {receiver} ...")
                r = run(args.build, receiver, transport, n, clip, args.seconds, workdir, port_base)
                port_base = 30000 + (port_base - 30000 + 20 * n) % 20000
                results[(n, transport, receiver)] = r
                log(f"    {r['cpu_per_stream_minute']:.2f} CPU s/stream-min, {r['rss_mib_per_stream']:.1f} MiB/stream, "
                    f"frames {min(r['frames'])}..{max(r['frames'])} of {pictures}, {r['plays']} plays, "
                    f"camera {r['camera_cpu']:.1f} CPU s, {r['wall']:.0f} s")

    print(f"Receiving N simultaneous 1920x1080 H.264 streams ({args.bitrate}bit/s, {FPS} fps, {args.seconds} s "
          f"clip of {pictures} pictures per stream) from quorvane-testcam on loopback; {os.cpu_count()} CPUs.")
    print()
    print("| streams | transport | receiver | CPU s per stream-minute | peak RSS per stream (MiB) "
          "| pictures per stream (min-max) | every picture |")
    print("|---:|---|---|---:|---:|---:|---|")
    for (n, transport, receiver), r in results.items():
        lo, hi = min(r["frames"]), max(r["frames"])
        # Our depacketizer hands a picture over when the next one begins, so the clip's very last
        # picture stays with it when the camera falls silent after the clip: one fewer is whole.
        need = pictures - 1 if receiver == "quorvane" else pictures
        every = "yes" if lo >= need and r["plays"] == n else "no"
        print(f"| {n} | {transport.upper()} | {receiver} | {r['cpu_per_stream_minute']:.2f} "
              f"| {r['rss_mib_per_stream']:.1f} | {lo}-{hi} | {every} |")
    print()
    print("Ratios (other receiver / quorvane; above 1 means quorvane uses less):")
    print()
    print("| streams | transport | CPU vs ffmpeg | CPU vs GStreamer | RSS vs ffmpeg | RSS vs GStreamer |")
    print("|---:|---|---:|---:|---:|---:|")
    for n in counts:
        for transport in transports:
            ours = results.get((n, transport, "quorvane"))
            if ours is None:
                continue

            def ratio(receiver, key):
                other = results.get((n, transport, receiver))
                return f"{other[key] / ours[key]:.1f}x" if other and ours[key] > 0 else "-"
            print(f"| {n} | {transport.upper()} | {ratio('ffmpeg', 'cpu_per_stream_minute')} "
                  f"| {ratio('gstreamer', 'cpu_per_stream_minute')} | {ratio('ffmpeg', 'rss_mib_per_stream')} "
                  f"| {ratio('gstreamer', 'rss_mib_per_stream')} |")


if __name__ == "__main__":
    main()
