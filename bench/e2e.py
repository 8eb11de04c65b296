#!/usr/bin/python3
"""End-to-end receive benchmark on loopback, every comparison side by side in one run.

Senders (each stream plays the same 1080p clip once from its first picture):

  burst       quorvane-light-sender as it was built for many streams: the clip packetized once, a
              whole picture per system call (sendmmsg / one vectored write): the receiver's best case
  paced100    the light sender as a camera on a 100 Mbit/s network card: each packet its own system
              call, spaced by its wire time (about 117 us for 1400 bytes; --nic 100m)
  paced1g     the same at 1 Gbit/s (about 12 us; --nic 1g)
  gst         GStreamer's RTSP server (testkit/gst_rtsp_server.py), one pipeline per client

Receivers:

  quorvane-mixed     this library, one process with N RtspClients, RtspClientOptions::mixedFleet(),
                     every picture dropped (bench/e2e_receiver.cpp): the bare receiver
  quorvane-mixed-c0  the same with receive coalescing off (receiveCoalescingUs = 0): the preset's
                     coalescing measured against no coalescing in the same run
  quorvane-default   the bare receiver with the library's default options
  recorder           quorvane-record writing a file (its default, the mixed-fleet preset), one process
                     per stream
  ffmpeg-file        `ffmpeg -rtsp_transport T -i URL -c copy FILE`, the same kind of file
  ffmpeg             `ffmpeg ... -c copy -f null -` (drops the data), one process per stream
  gstreamer          `gst-launch-1.0 rtspsrc ! rtph264depay ! fakesink`, one process per stream
  receive-floor      bench/receive_floor.cpp: every stream read as ours reads it (UDP: a thread per
                     stream in recvmmsg; TCP: the interleaved relay's thread), every packet dropped

Headline: steady-state CPU in ms of CPU per second per stream: the sum of the process's threads' run
time (/proc/PID/task/*/schedstat) from a few seconds after the last stream started to the end of the
clip, which is what a camera costs for months. Beside it the whole-life figure (start-up and teardown
included), resident memory, threads, and the pictures received (files: counted by ffprobe).

Parts of a run:
  side by side   one stream; every sender x transport x receiver of --side-receivers; the median of
                 --repeats runs each (the README's first table)
  scaling        1, 16, 64, 256 streams from the --scaling-sender, receivers of --receivers; threads
                 and RSS per camera at each count
  start-up       one stream: from starting the connection to the first picture, and the CPU until then

    bench/e2e.py                  the whole run (about 90 minutes on a 2-core machine)
    bench/e2e.py --headline       side by side only: 1 stream, burst and paced100, UDP and TCP,
                                  bare receiver, recorder, FFmpeg writing the file, GStreamer, medians
                                  of 3, 8 s clip (about 10 minutes)
    bench/e2e.py --quick          scaling only, 16 streams, 6 s clip (under 2 minutes)
    bench/e2e.py --streams 64 --transports udp --receivers quorvane-mixed,ffmpeg --perf --no-side

FFmpeg, GStreamer and the recorder run one process per stream; above --max-external streams (default
64) they are not run, as the 2-core machine cannot carry them, and the tables say so.

Needs cmake and a compiler, ffmpeg with libx264, ffprobe, gst-launch-1.0 and GStreamer's RTSP server
bindings (scripts/setup.sh installs them); --perf needs perf. Only the Python standard library is used.
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FPS = 25
TICK = os.sysconf("SC_CLK_TCK")
OURS = ("quorvane-mixed", "quorvane-default", "quorvane-mixed-c0")
FLOOR = "receive-floor"
RECORDER = "recorder"
FFMPEG_FILE = "ffmpeg-file"
FILE_RECEIVERS = (RECORDER, FFMPEG_FILE)
ONE_PROCESS = OURS + (FLOOR,)  # every stream in one process
ALL_RECEIVERS = "quorvane-mixed,quorvane-default,ffmpeg,gstreamer," + FLOOR
SIDE_RECEIVERS = "quorvane-mixed,quorvane-mixed-c0,quorvane-default,recorder,ffmpeg-file,gstreamer"
HEADLINE_RECEIVERS = "quorvane-mixed,recorder,ffmpeg-file,gstreamer"
SENDERS = {  # light sender arguments; None: GStreamer's RTSP server
    "burst": [],
    "paced100": ["--nic", "100m"],
    "paced1g": ["--nic", "1g"],
    "gst": None,
}
SENDER_NAMES = {
    "burst": "light sender (burst per picture)",
    "paced100": "paced, 100 Mbit/s NIC",
    "paced1g": "paced, 1 Gbit/s NIC",
    "gst": "GStreamer's RTSP server",
}
FILE_EXTENSIONS = {"annexb": ".264", "mkv": ".mkv", "mp4": ".mp4"}


def log(text):
    print(text, file=sys.stderr, flush=True)


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DQUORVANE_BUILD_BENCH=ON",
                    "-DQUORVANE_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2), "--target",
                    "quorvane-light-sender", "quorvane-e2e-receiver", "quorvane-receive-floor", "quorvane-record"],
                   check=True, stdout=subprocess.DEVNULL)


def make_clip(path, seconds, bitrate):
    """A 1080p H.264 clip as a camera sends it: 25 fps, a key picture with SPS/PPS every second,
    no B-frames, constant bit rate. Made once and kept beside the build (not in the repository)."""
    if os.path.exists(path):
        return
    log(f"making {path} ({seconds} s of 1920x1080 at {bitrate}bit/s)")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc2=size=1920x1080:rate={FPS}", "-frames:v", str(seconds * FPS), "-pix_fmt", "yuv420p",
                    "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-bf", "0", "-g", str(FPS),
                    "-b:v", bitrate, "-maxrate", bitrate, "-bufsize", bitrate, "-x264-params",
                    f"keyint={FPS}:min-keyint={FPS}:scenecut=0:open-gop=0:repeat-headers=1",
                    "-f", "h264", path + ".part"], check=True)
    os.rename(path + ".part", path)


def make_ts_clip(clip):
    """The clip in MPEG-TS, as GStreamer's RTSP server reads it (the same pictures)."""
    ts = clip + ".ts"
    if not os.path.exists(ts):
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-r", str(FPS), "-f", "h264", "-i",
                        clip, "-c", "copy", "-f", "mpegts", ts + ".part"], check=True)
        os.rename(ts + ".part", ts)
    return ts


def proc_cpu(pid):
    """User + system CPU seconds of a live process (all its threads), or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, IndexError, ValueError):
        return None


def threads_cpu(pid):
    """CPU seconds of the live threads of a process to the nanosecond (/proc/PID/task/*/schedstat).
    The steady-state window is measured with it: /proc/PID/stat counts in clock ticks (10 ms),
    too coarse for one stream's few milliseconds a second."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    return total / 1e9


def proc_cpu_fine(pid):
    """threads_cpu, or the coarser total of proc_cpu when that is more (threads that ended are only there)."""
    return max(threads_cpu(pid), proc_cpu(pid) or 0.0)


def proc_status(pid, key):
    """A number from /proc/PID/status (VmRSS in KiB, Threads), or 0."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def proc_fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


class Process:
    """A started program whose resource usage is read when it is reaped (os.wait4)."""

    def __init__(self, argv, stdout, stderr, stdin=subprocess.DEVNULL):
        self.argv = argv
        self.started = time.monotonic()
        self.popen = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=stderr)
        self.pid = self.popen.pid
        self.rusage = None
        self.code = None

    def poll(self):
        if self.code is None:
            pid, status, rusage = os.wait4(self.pid, os.WNOHANG)
            if pid != 0:
                self.code = os.waitstatus_to_exitcode(status)
                self.rusage = rusage
                self.popen.returncode = self.code
        return self.code

    def send(self, sig):
        if self.poll() is None:
            os.kill(self.pid, sig)

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
        return self.rusage.ru_utime + self.rusage.ru_stime if self.rusage else 0.0


class Sender:
    """The camera of a run: the light sender (burst or paced) or GStreamer's RTSP server, on a free
    port. `plays()` counts the PLAY requests answered, from the sender's log."""

    def __init__(self, kind, tools, clip, workdir, loop=False, extra=()):
        self.kind = kind
        url_file = os.path.join(workdir, "sender.url")
        self.log = os.path.join(workdir, "sender.log")
        if SENDERS[kind] is None:
            argv = ["/usr/bin/python3", os.path.join(ROOT, "testkit", "gst_rtsp_server.py"), "--clip",
                    make_ts_clip(clip), "--port", "0", "--log-plays"]
        else:
            argv = ([os.path.join(tools, "bench", "quorvane-light-sender"), clip] + SENDERS[kind]
                    + ([] if loop else ["--no-loop"]) + list(extra))
        with open(url_file, "w") as out, open(self.log, "w") as err:
            self.proc = Process(argv, out, err, stdin=subprocess.PIPE)
        self.pid = self.proc.pid
        deadline = time.monotonic() + 15
        while not open(url_file).read().endswith("\n"):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"the {kind} sender did not start: " + open(self.log).read()[-500:])
            time.sleep(0.05)
        line = open(url_file).read().splitlines()[0].strip()
        self.url = line.split("url=", 1)[1] if line.startswith("READY") else line

    def plays(self):
        return count_plays(self.log)

    def stop(self):
        self.proc.stop(signals=(signal.SIGTERM,))


def start_sender(tools, clip, workdir, loop=False, extra=()):
    """The burst light sender: (process, URL, request log path), as bench/soak.py drives it."""
    sender = Sender("burst", tools, clip, workdir, loop, extra)
    return sender.proc, sender.url, sender.log


def count_plays(sender_log):
    """PLAY requests the sender has answered with 200, from its request log."""
    with open(sender_log) as f:
        return sum(1 for line in f if "] PLAY " in line and "-> 200" in line)


def wait_for_plays(sender_log, count, timeout):
    """Waits until the sender has answered `count` PLAY requests; returns (first, last) times."""
    deadline = time.monotonic() + timeout
    first = None
    while time.monotonic() < deadline:
        n = count_plays(sender_log)
        if n >= 1 and first is None:
            first = time.monotonic()
        if n >= count:
            return first, time.monotonic()
        time.sleep(0.05)
    return None, None


def receiver_argv(tools, receiver, transport, url, streams, port_base, extra_out=None, out_file=None,
                  file_format="annexb"):
    if receiver in OURS:
        return ([os.path.join(tools, "bench", "quorvane-e2e-receiver"), "--" + transport, "--port-base",
                 str(port_base)] + (["--mixed-fleet"] if receiver != "quorvane-default" else [])
                + (["--coalesce-us", "0"] if receiver == "quorvane-mixed-c0" else [])
                + (extra_out or []) + [url] * streams)
    if receiver == RECORDER:
        # As a user runs it: its default options (the mixed-fleet preset) and progress line.
        return [os.path.join(tools, "tools", "quorvane-record"), url, "--" + transport, "-o", out_file,
                "--format", file_format]
    if receiver == FFMPEG_FILE:
        return (["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-rtsp_transport", transport,
                 "-i", url, "-c", "copy"] + (["-f", "h264"] if file_format == "annexb" else []) + [out_file])
    if receiver == FLOOR:
        return [os.path.join(tools, "bench", "quorvane-receive-floor"), "--" + transport, "--port-base",
                str(port_base)] + [url] * streams
    if receiver == "ffmpeg":
        return ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-stats", "-rtsp_transport", transport,
                "-i", url, "-c", "copy", "-f", "null", "-"]
    # silent=false makes fakesink announce each buffer (one per picture, as rtph264depay aligns to
    # access units here), which is how the pictures are counted.
    return ["gst-launch-1.0", "-e", "-v", "rtspsrc", f"location={url}", f"protocols={transport}", "!",
            "rtph264depay", "!", "fakesink", "silent=false"]


def sample(clients):
    """CPU seconds (of the live threads), resident KiB, threads and descriptors summed over the live clients."""
    cpu = rss = threads = fds = 0
    for c in clients:
        cpu += threads_cpu(c.pid)
        rss += proc_status(c.pid, "VmRSS")
        threads += proc_status(c.pid, "Threads")
        fds += proc_fds(c.pid)
    return cpu, rss, threads, fds


def thread_names(pid):
    """How many threads of the process bear each name (/proc/PID/task/*/comm)."""
    names = {}
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/comm") as f:
                    name = f.read().strip()
            except OSError:
                continue
            names[name] = names.get(name, 0) + 1
    except OSError:
        pass
    return names


def count_file_pictures(path):
    """Pictures (video packets) in a recorded file, as ffprobe reads them; 0 when it cannot."""
    try:
        out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                              "stream=nb_read_packets", "-of", "csv=p=0", path], capture_output=True, text=True,
                             timeout=120).stdout
        return int(out.strip().splitlines()[0].strip(","))
    except (OSError, subprocess.SubprocessError, ValueError, IndexError):
        return 0


def perf_summary(pid, seconds, path):
    """perf samples of one process for `seconds`, as a flat report of the top symbols."""
    data = path + ".data"
    subprocess.run(["perf", "record", "-q", "-F", "499", "-g", "-p", str(pid), "-o", data, "--", "sleep",
                    str(seconds)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(path, "w") as out:
        subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--percent-limit", "1.5",
                        "-g", "none", "--sort", "symbol"], stdout=out, stderr=subprocess.DEVNULL)


def run(tools, receiver, transport, streams, clip, seconds, warm, workdir, port_base, perf, sender_kind="burst",
        file_format="annexb"):
    sender = Sender(sender_kind, tools, clip, workdir)
    clients = []
    outputs = []
    started = time.monotonic()
    names = {}
    try:
        for i in range(1 if receiver in ONE_PROCESS else streams):
            out_path = os.path.join(workdir, f"client{i}.out")
            err_path = os.path.join(workdir, f"client{i}.err")
            file_path = os.path.join(workdir, f"client{i}{FILE_EXTENSIONS[file_format]}")
            if os.path.exists(file_path):
                os.remove(file_path)
            outputs.append((out_path, err_path, file_path))
            with open(out_path, "w") as out, open(err_path, "w") as err:
                clients.append(Process(receiver_argv(tools, receiver, transport, sender.url, streams, port_base,
                                                     out_file=file_path, file_format=file_format), out, err))
        first_play, last_play = wait_for_plays(sender.log, streams, 60)
        if last_play is None:
            raise RuntimeError(f"{receiver}: not all {streams} streams started playing")
        # Steady state: from `warm` s after the last stream started to the end of the clip of the
        # first one (every stream is playing throughout).
        window_start = last_play + warm
        window_end = first_play + seconds - 0.3
        if window_end - window_start < 2.0:
            log(f"    warning: steady-state window only {window_end - window_start:.1f} s; use a longer clip")
            window_end = window_start + 2.0
        time.sleep(max(0.0, window_start - time.monotonic()))
        cpu0, _, _, _ = sample(clients)
        sender_cpu0 = threads_cpu(sender.pid)
        t0 = time.monotonic()
        if perf and receiver in ONE_PROCESS:
            perf_summary(clients[0].pid, max(1.0, window_end - t0 - 0.5),
                         os.path.join(workdir, f"perf_{receiver}_{transport}_{streams}.txt"))
        time.sleep(max(0.0, window_end - time.monotonic()))
        cpu1, rss_kib, threads, fds = sample(clients)
        sender_cpu1 = threads_cpu(sender.pid)
        t1 = time.monotonic()
        if any(c.poll() is not None for c in clients):
            raise RuntimeError(f"{receiver}: a receiver ended before the steady-state window closed; "
                               "use a longer clip")
        if receiver in ONE_PROCESS:
            names = thread_names(clients[0].pid)
        # Every stream has its whole clip once the last one to start has played it through; a
        # little later the receivers are stopped (GStreamer's jitter buffer holds 2 s by default).
        margin = 3.0 if receiver == "gstreamer" else 1.5
        time.sleep(max(0.0, last_play + seconds + margin - time.monotonic()))
        plays = sender.plays()
        # One SIGINT each, all at once; a second one only to those still running 3 s later (FFmpeg
        # waiting for data from a silent sender does not end on the first).
        for c in clients:
            c.send(signal.SIGINT)
        deadline = time.monotonic() + 3.0
        while any(c.poll() is None for c in clients) and time.monotonic() < deadline:
            time.sleep(0.05)
        for c in clients:
            c.stop()
    finally:
        for c in clients:
            c.stop(signals=(), wait_each=0)
        sender.stop()

    frames, first_ms = [], []
    for (out_path, err_path, file_path) in outputs:
        out_text = open(out_path, errors="replace").read()
        err_text = open(err_path, errors="replace").read()
        if receiver in OURS:
            frames += [int(m) for m in re.findall(r"^stream \d+ frames (\d+)", out_text, re.M)]
            first_ms += [float(m) for m in re.findall(r"first_ms (-?[\d.]+)", out_text) if float(m) >= 0]
        elif receiver == FLOOR:
            frames += [int(m) for m in re.findall(r"^stream \d+ packets (\d+)", out_text, re.M)]
        elif receiver in FILE_RECEIVERS:
            frames.append(count_file_pictures(file_path) if os.path.exists(file_path) else 0)
            if os.path.exists(file_path):
                os.remove(file_path)
        elif receiver == "ffmpeg":
            found = re.findall(r"frame=\s*(\d+)", err_text)
            frames.append(int(found[-1]) if found else 0)
        else:
            frames.append(out_text.count("last-message = chain"))
    whole = sum(c.cpu() for c in clients)
    return {
        "steady_ms_per_s": (cpu1 - cpu0) / (t1 - t0) * 1000.0 / streams,
        "whole_ms_per_s": whole / seconds * 1000.0 / streams,
        "rss_mib": rss_kib / 1024.0 / streams,
        "rss_kib": rss_kib,
        "threads": threads,
        "names": names,
        "fds": fds,
        "frames": frames + [0] * (streams - len(frames)),
        "first_ms": statistics.median(first_ms) if first_ms else None,
        "plays": plays,
        "sender_ms_per_s": (sender_cpu1 - sender_cpu0) / (t1 - t0) * 1000.0,
        "window": t1 - t0,
        "wall": time.monotonic() - started,
    }


def startup(tools, receiver, transport, clip, workdir, port_base):
    """One stream: seconds from starting the connection to the first picture, and the receiver's
    CPU until then. For this library the start is enable() (the receiver reports the time); for
    FFmpeg and GStreamer it is the process start, as that is where their connection begins."""
    sender = Sender("burst", tools, clip, workdir, loop=True)
    url = sender.url
    proc = None
    first = {}
    try:
        if receiver in OURS:
            argv = receiver_argv(tools, receiver, transport, url, 1, port_base, ["--progress"])
        elif receiver == "ffmpeg":
            # Each picture is written as soon as it is received: the first bytes out are the first picture.
            argv = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-rtsp_transport", transport, "-i",
                    url, "-c", "copy", "-flush_packets", "1", "-f", "h264", "pipe:1"]
        else:
            argv = receiver_argv(tools, receiver, transport, url, 1, port_base)
        proc = Process(argv, subprocess.PIPE, subprocess.DEVNULL)

        def watch():
            stream = proc.popen.stdout
            while True:
                chunk = stream.readline() if receiver != "ffmpeg" else stream.read1(65536)
                if not chunk:
                    return
                seen = (chunk.startswith(b"first ") if receiver in OURS else
                        b"last-message = chain" in chunk if receiver == "gstreamer" else True)
                if seen and "t" not in first:
                    first["t"] = time.monotonic()
                    first["cpu"] = proc_cpu_fine(proc.pid)
                    if receiver in OURS:
                        first["ms"] = float(chunk.split()[2])
        reader = threading.Thread(target=watch)
        reader.start()
        deadline = time.monotonic() + 15
        while "t" not in first and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.01)
        proc.stop()
        reader.join()
    finally:
        if proc is not None:
            proc.stop(signals=(), wait_each=0)
        sender.stop()
    if "t" not in first:
        return None
    ms = first["ms"] if "ms" in first else (first["t"] - proc.started) * 1000.0
    return {"ms": ms, "cpu_ms": first["cpu"] * 1000.0}


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs, Linux {os.uname().release}"


def expected_pictures(receiver, pictures):
    # With the default options our depacketizer hands a picture over when the next one begins, so
    # the clip's very last picture stays with it when the sender falls silent: one fewer.
    return pictures - 1 if receiver == "quorvane-default" else pictures


def side_by_side(args, senders, transports, receivers, clip, pictures):
    """One stream, every sender x transport x receiver, the median of args.repeats runs each."""
    results, failed = {}, []
    port_base = 30000
    for sender in senders:
        for transport in transports:
            for receiver in receivers:
                runs = []
                for rep in range(args.repeats):
                    log(f"side by side: {sender} {transport.upper()} {receiver} run {rep + 1}/{args.repeats} ...")
                    try:
                        r = run(args.build, receiver, transport, 1, clip, args.seconds, args.warm,
                                os.path.join(args.build, "e2e"), port_base, False, sender, args.file_format)
                    except RuntimeError as error:
                        log(f"    failed: {error}")
                        failed.append((sender, transport, receiver, str(error)))
                        continue
                    finally:
                        port_base = 30000 + (port_base - 30000 + 20) % 20000
                    log(f"    steady {r['steady_ms_per_s']:.2f} ms/s, pictures {r['frames'][0]} of {pictures}, "
                        f"sender {r['sender_ms_per_s']:.2f} ms/s, {r['threads']} threads, {r['rss_mib']:.1f} MiB, "
                        f"{r['wall']:.0f} s")
                    runs.append(r)
                if runs:
                    results[(sender, transport, receiver)] = runs
    return results, failed


def print_side_by_side(args, results, failed, senders, transports, receivers, pictures):
    print(f"One 1920x1080 H.264 stream ({args.bitrate}bit/s, {FPS} fps, {args.seconds} s clip of {pictures} "
          f"pictures) on loopback; {machine()}. Steady-state CPU in ms of CPU per second: the median of "
          f"{args.repeats} runs [lowest-highest]; files written as {args.file_format}. A cell with pictures "
          "missing says how many arrived.")
    print()
    ratios = []
    if RECORDER in receivers and FFMPEG_FILE in receivers:
        ratios.append((RECORDER, FFMPEG_FILE, "recorder / FFmpeg"))
    if "quorvane-mixed" in receivers and FFMPEG_FILE in receivers:
        ratios.append(("quorvane-mixed", FFMPEG_FILE, "bare receiver / FFmpeg"))
    if "quorvane-mixed" in receivers and "quorvane-mixed-c0" in receivers:
        ratios.append(("quorvane-mixed", "quorvane-mixed-c0", "coalescing on / off"))
    print("| sender | transport | " + " | ".join(receivers) + "".join(f" | {r[2]}" for r in ratios) + " |")
    print("|---|---|" + "---:|" * (len(receivers) + len(ratios)))

    def median(key):
        runs = results.get(key)
        return statistics.median(r["steady_ms_per_s"] for r in runs) if runs else None

    for sender in senders:
        for transport in transports:
            cells = []
            for receiver in receivers:
                runs = results.get((sender, transport, receiver))
                if not runs:
                    cells.append("failed")
                    continue
                steady = [r["steady_ms_per_s"] for r in runs]
                cell = f"{statistics.median(steady):.2f} [{min(steady):.2f}-{max(steady):.2f}]"
                got = min(r["frames"][0] for r in runs)
                if got < expected_pictures(receiver, pictures):
                    cell += f" ({got}/{pictures})"
                cells.append(cell)
            for (a, b, _) in ratios:
                ma, mb = median((sender, transport, a)), median((sender, transport, b))
                cells.append(f"{ma / mb:.2f}" if ma is not None and mb else "-")
            print(f"| {SENDER_NAMES[sender]} | {transport.upper()} | " + " | ".join(cells) + " |")
    for (sender, transport, receiver, error) in failed:
        print(f"\nfailed: {sender} {transport.upper()} {receiver}: {error}")
    print()
    print("Sender CPU (ms/s, median over its runs): " + "; ".join(
        f"{SENDER_NAMES[sd]} {t.upper()} "
        f"{statistics.median(r['sender_ms_per_s'] for (s2, t2, _), runs in results.items() if (s2, t2) == (sd, t) for r in runs):.2f}"
        for sd in senders for t in transports if any((s2, t2) == (sd, t) for (s2, t2, _) in results)) + ".")


def print_per_camera(results, counts):
    """Threads and resident memory per camera of our one-process receivers."""
    rows = [(k, r) for k, r in results.items() if k[2] in OURS]
    if not rows:
        return
    print()
    print("Threads and resident memory per camera (this library, one process for all streams; "
          "threads named by the library counted per camera):")
    print()
    print("| streams | transport | receiver | threads in the process | threads per camera (main thread aside) "
          "| named threads per camera | RSS per camera (MiB) |")
    print("|---:|---|---|---:|---:|---|---:|")
    library = ("RtpReceive", "RtcpReceive", "CrulKeepLive", "CurlTcpRecv")
    for (n, transport, receiver), r in rows:
        named = [f"{name} {count / n:g}" for name, count in sorted(r["names"].items()) if name in library]
        # Threads without a name of their own bear the program's (the TCP watchdog); the main
        # thread is one of them.
        unnamed = sum(count for name, count in r["names"].items() if name not in library) - 1
        if unnamed > 0:
            named.append(f"unnamed {unnamed / n:g}")
        named = ", ".join(named)
        print(f"| {n} | {transport.upper()} | {receiver} | {r['threads']} | {(r['threads'] - 1) / n:.2f} | {named} "
              f"| {r['rss_kib'] / 1024.0 / n:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--streams", default="1,16,64,256", help="comma-separated stream counts (scaling)")
    parser.add_argument("--transports", default="udp,tcp")
    parser.add_argument("--receivers", default=ALL_RECEIVERS, help="receivers of the scaling part")
    parser.add_argument("--senders", default=",".join(SENDERS), help="senders of the side-by-side part")
    parser.add_argument("--side-receivers", default=SIDE_RECEIVERS, help="receivers of the side-by-side part")
    parser.add_argument("--repeats", type=int, default=3, help="runs per side-by-side cell (the median is shown)")
    parser.add_argument("--scaling-sender", default="burst", choices=list(SENDERS))
    parser.add_argument("--file-format", default="annexb", choices=list(FILE_EXTENSIONS),
                        help="what the recorder and FFmpeg write")
    parser.add_argument("--max-external", type=int, default=64,
                        help="most streams FFmpeg, GStreamer and the recorder are run with (one process each)")
    parser.add_argument("--seconds", type=int, default=20, help="length of the clip every stream plays")
    parser.add_argument("--warm", type=float, default=3.0, help="seconds after the last start before steady state")
    parser.add_argument("--bitrate", default="3M", help="video bit rate of the 1080p clip (default 3M)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-e2e"), help="build directory")
    parser.add_argument("--headline", action="store_true",
                        help="side by side only: 1 stream, burst and paced100, bare receiver, recorder, FFmpeg "
                             "writing the file, GStreamer, medians of 3, 8 s clip (about 10 minutes)")
    parser.add_argument("--quick", action="store_true", help="scaling only: 16 streams, 6 s clip (under 2 minutes)")
    parser.add_argument("--no-side", action="store_true", help="skip the side-by-side part")
    parser.add_argument("--no-scaling", action="store_true", help="skip the scaling part")
    parser.add_argument("--no-startup", action="store_true", help="skip the start-up runs")
    parser.add_argument("--perf", action="store_true", help="perf report of our receiver in steady state")
    args = parser.parse_args()
    if args.headline:
        args.senders, args.side_receivers, args.seconds, args.warm = "burst,paced100", HEADLINE_RECEIVERS, 8, 2.0
        args.no_scaling = args.no_startup = True
    if args.quick:
        args.streams, args.seconds, args.warm = "16", 6, 2.0
        args.no_side = True

    needed = ["cmake", "ffmpeg", "ffprobe", "gst-launch-1.0"] + (["perf"] if args.perf else [])
    for program in needed:
        if shutil.which(program) is None:
            sys.exit(f"e2e: {program} not found; run scripts/setup.sh")
    build(args.build)
    workdir = os.path.join(args.build, "e2e")
    os.makedirs(workdir, exist_ok=True)
    clip = os.path.join(workdir, f"clip_1080p_{args.seconds}s_{args.bitrate}.264")
    make_clip(clip, args.seconds, args.bitrate)
    pictures = args.seconds * FPS
    transports = args.transports.split(",")

    if not args.no_side:
        senders = args.senders.split(",")
        side_receivers = args.side_receivers.split(",")
        for name in senders:
            if name not in SENDERS:
                sys.exit(f"e2e: unknown sender {name}; one of {', '.join(SENDERS)}")
        side, side_failed = side_by_side(args, senders, transports, side_receivers, clip, pictures)
        print_side_by_side(args, side, side_failed, senders, transports, side_receivers, pictures)
        if args.no_scaling:
            return
        print()

    counts = [int(n) for n in args.streams.split(",")]
    receivers = args.receivers.split(",")
    results, skipped, failed = {}, [], []
    port_base = 30000
    for n in counts:
        for transport in transports:
            for receiver in receivers:
                if receiver not in ONE_PROCESS and n > args.max_external:
                    skipped.append((n, transport, receiver))
                    continue
                log(f"{n} x {transport.upper()} {receiver} ...")
                try:
                    r = run(args.build, receiver, transport, n, clip, args.seconds, args.warm, workdir, port_base,
                            args.perf, args.scaling_sender, args.file_format)
                except RuntimeError as error:  # one receiver failing does not cost the others' figures
                    log(f"    failed: {error}")
                    failed.append((n, transport, receiver, str(error)))
                    continue
                finally:
                    port_base = 30000 + (port_base - 30000 + 20 * n) % 20000
                results[(n, transport, receiver)] = r
                log(f"    steady {r['steady_ms_per_s']:.2f} ms/s per stream ({r['window']:.1f} s window), "
                    f"whole-life {r['whole_ms_per_s']:.2f}, {r['rss_mib']:.1f} MiB/stream, "
                    f"{'packets' if receiver == FLOOR else 'frames'} {min(r['frames'])}..{max(r['frames'])}"
                    f"{'' if receiver == FLOOR else f' of {pictures}'}, {r['plays']} plays, "
                    f"sender {r['sender_ms_per_s']:.0f} ms/s, {r['wall']:.0f} s")
    starts = {}
    if not args.no_startup:
        for transport in transports:
            for receiver in receivers:
                if receiver == FLOOR:
                    continue
                log(f"start-up {transport.upper()} {receiver} ...")
                starts[(transport, receiver)] = startup(args.build, receiver, transport, clip, workdir, port_base)

    print(f"Receiving N simultaneous 1920x1080 H.264 streams ({args.bitrate}bit/s, {FPS} fps, {args.seconds} s "
          f"clip of {pictures} pictures per stream) from the {SENDER_NAMES[args.scaling_sender]} on loopback; "
          f"{machine()}.")
    print(f"Steady state: CPU from {args.warm:g} s after the last stream started to the end of the clip. "
          "Whole life: the processes' total CPU per second of video.")
    print()
    print("| streams | transport | receiver | steady CPU ms/s per stream | whole-life CPU ms/s per stream "
          "| RSS per stream (MiB) | pictures per stream (min-max) | every picture |")
    print("|---:|---|---|---:|---:|---:|---:|---|")
    for (n, transport, receiver), r in results.items():
        lo, hi = min(r["frames"]), max(r["frames"])
        # With the default options our depacketizer hands a picture over when the next one begins,
        # so the clip's very last picture stays with it when the sender falls silent: one fewer.
        need = expected_pictures(receiver, pictures)
        every = "yes" if lo >= need and r["plays"] in (n, None) else "no"
        received = f"{lo}-{hi}"
        if receiver == FLOOR:  # datagrams, not pictures: nothing is depacketized
            received, every = f"{lo}-{hi} packets", "-"
        print(f"| {n} | {transport.upper()} | {receiver} | {r['steady_ms_per_s']:.2f} | {r['whole_ms_per_s']:.2f} "
              f"| {r['rss_mib']:.2f} | {received} | {every} |")
    for (n, transport, receiver, error) in failed:
        print(f"| {n} | {transport.upper()} | {receiver} | failed | | | | {error} |")
    for (n, transport, receiver) in skipped:
        print(f"| {n} | {transport.upper()} | {receiver} | not run | not run | | | "
              f"{n} processes are more than this machine carries |")
    print()
    print("Steady-state CPU of the other receivers relative to ours (above 1: ours uses less), and the "
          "receive floor's share of FFmpeg's (the least any receiver with a thread per stream could reach):")
    print()
    print("| streams | transport | ours | FFmpeg / ours | GStreamer / ours | receive floor / FFmpeg |")
    print("|---:|---|---|---:|---:|---:|")
    for n in counts:
        for transport in transports:
            for ours_name in OURS:
                ours = results.get((n, transport, ours_name))
                if ours is None:
                    continue

                def ratio(receiver):
                    other = results.get((n, transport, receiver))
                    if not other or ours["steady_ms_per_s"] <= 0:
                        return "-"
                    return f"{other['steady_ms_per_s'] / ours['steady_ms_per_s']:.2f}x"
                floor, ffmpeg = results.get((n, transport, FLOOR)), results.get((n, transport, "ffmpeg"))
                share = (f"{floor['steady_ms_per_s'] / ffmpeg['steady_ms_per_s']:.2f}"
                         if floor and ffmpeg and ffmpeg["steady_ms_per_s"] > 0 else "-")
                print(f"| {n} | {transport.upper()} | {ours_name} | {ratio('ffmpeg')} | {ratio('gstreamer')} "
                      f"| {share} |")
    if starts:
        print()
        print("Start-up of one stream (this library: enable() to first picture; FFmpeg, GStreamer: process "
              "start to first picture), and the receiver's CPU until then:")
        print()
        print("| transport | receiver | to first picture (ms) | CPU until then (ms) |")
        print("|---|---|---:|---:|")
        for (transport, receiver), s in starts.items():
            if s is None:
                print(f"| {transport.upper()} | {receiver} | no picture | |")
            else:
                print(f"| {transport.upper()} | {receiver} | {s['ms']:.0f} | {s['cpu_ms']:.1f} |")
    print_per_camera(results, counts)
    many = [(k, r) for k, r in results.items() if k[2] in OURS]
    if many:
        print()
        print("Our receiver process: " + "; ".join(
            f"{n} x {t.upper()} {rc}: {r['threads']} threads, {r['fds']} descriptors, "
            f"median first picture {r['first_ms']:.0f} ms" if r["first_ms"] is not None else
            f"{n} x {t.upper()} {rc}: {r['threads']} threads, {r['fds']} descriptors"
            for (n, t, rc), r in many) + ".")


if __name__ == "__main__":
    main()
