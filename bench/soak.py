#!/usr/bin/python3
"""Soak: one receiver process per transport (UDP, TCP) takes a looping stream from the light
sender on loopback for --duration seconds while the sender injects one camera fault every
--interval seconds, in turn: silence, close of the RTSP connection, a burst of packet loss, and a
flood of foreign packets (from 127.0.0.2 over UDP; interleaved frames on a channel that was not set
up over TCP). --transports may add the network paths: tls (rtsps:// through a TLS front on
127.0.0.1 with a certificate made by certtool), http (rtsph:// through a front that takes the
RTSP-in-HTTP tunnel) and ipv6 (rtsp://[::1]:port/ through a plain front), each interleaved; the fronts
pass the sender's faults on (a closed sender connection closes the client's). Two more are RTP over
UDP without a front:
- udp6: the sender itself on [::1]. Loopback has no second IPv6 address, so the flood comes from
  ::1 at another port than the server_port the sender announces (it sends the stream from that one
  port): the library's filter on the camera's port must drop it.
- multicast: SETUP asks for multicast (the receiver's --multicast) and the sender streams to a
  group of each session's own (239.255.x.y, TTL 1); the flood comes from 127.0.0.2 to the group,
  which the source-specific join must drop; the receiver must have joined a group per stream. So
  that no group's datagram can leave the machine, the whole soak then runs in a network namespace
  of its own (re-executed under `unshare -n`, loopback up with multicast and the route of
  239.0.0.0/8 over it), and refuses to run where none can be made.

Checked, and the exit status is 1 when any check fails:
- every fault recovered: each stream delivers a second of pictures again within --recover seconds;
- the receivers' resident memory, descriptors and threads stay flat: the samples of the last third
  of the run against the first sample after warm-up (memory within 10 % + 2 MiB, descriptors and
  threads within 2);
- no picture corrupted: every stream as received decodes with `ffmpeg -v error` without an error line.

    bench/soak.py                         one hour (the nominal run), a fault every 30 s
    bench/soak.py --duration 60 --interval 10   what scripts/ci.sh runs
    bench/soak.py --duration 120 --interval 15 --transports udp6,multicast

Needs cmake, a compiler and ffmpeg; multicast also unshare and ip. Only the Python standard library is used.
"""

import argparse
import base64
import os
import select
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402  (process handling and /proc sampling are shared with the e2e benchmark)

FAULTS = ("silence 4000", "close", "loss", "flood 2000")
NETNS_MARK = "QUORVANE_SOAK_NETNS"  # set in the re-executed soak, inside its network namespace


class Receiver:
    """One quorvane-e2e-receiver with its per-second progress lines read on a thread."""

    def __init__(self, tools, transport, url, streams, port_base, out_dir, mixed, front=None):
        os.makedirs(out_dir, exist_ok=True)
        path_args = front.receiver_args() if front else ["--" + {"udp6": "udp"}.get(transport, transport)]
        url = front.url() if front else url
        argv = [os.path.join(tools, "bench", "quorvane-e2e-receiver")] + path_args + ["--port-base",
                str(port_base), "--progress", "--out", out_dir] + (["--mixed-fleet"] if mixed else []) + [url] * streams
        self.transport = transport
        self.out_dir = out_dir
        self.streams = streams
        self.err_path = os.path.join(out_dir, "receiver.err")
        self.err = open(self.err_path, "w")
        self.proc = e2e.Process(argv, subprocess.PIPE, self.err)
        self.frames = [0] * streams
        self.lock = threading.Lock()
        self.final = ""
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        for raw in self.proc.popen.stdout:
            line = raw.decode(errors="replace")
            if line.startswith("progress "):
                with self.lock:
                    self.frames = [int(v) for v in line.split()[1:]]
            elif line.startswith("stream "):
                self.final += line

    def counts(self):
        with self.lock:
            return list(self.frames)

    def stop(self):
        self.proc.stop()
        self.reader.join()
        self.err.close()


class Front:
    """The light sender behind another path: 'tls', 'http' (the RTSP-in-HTTP tunnel) or 'ipv6'."""

    def __init__(self, kind, sender_url, workdir):
        self.kind = kind
        self.target = ("127.0.0.1", int(sender_url.split("://")[1].split("/")[0].rsplit(":", 1)[1]))
        self.path = "/" + sender_url.split("://")[1].split("/", 1)[1]
        self.ctx = None
        if kind == "tls":
            self.ca = os.path.join(workdir, "cert.pem")
            key = os.path.join(workdir, "key.pem")
            template = os.path.join(workdir, "cert.cfg")
            with open(template, "w") as t:
                t.write('cn = "localhost"\nip_address = "127.0.0.1"\nexpiration_days = 2\ntls_www_server\n')
            subprocess.run(["certtool", "--generate-privkey", "--key-type=ecdsa", "--outfile", key], check=True,
                           capture_output=True)
            subprocess.run(["certtool", "--generate-self-signed", "--load-privkey", key, "--template", template,
                            "--outfile", self.ca], check=True, capture_output=True)
            self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.ctx.load_cert_chain(self.ca, key)
        family = socket.AF_INET6 if kind == "ipv6" else socket.AF_INET
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        self.listener.bind(("::1" if kind == "ipv6" else "127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.tunnels = {}  # x-sessioncookie -> the sender connection of the GET
        self.open = []
        self.lock = threading.Lock()
        self.running = True
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self):
        scheme = {"tls": "rtsps", "http": "rtsph", "ipv6": "rtsp"}[self.kind]
        host = "[::1]" if self.kind == "ipv6" else "127.0.0.1"
        return f"{scheme}://{host}:{self.port}{self.path}"

    def receiver_args(self):
        return ["--tcp"] + (["--tls-ca", self.ca] if self.kind == "tls" else [])

    def _accept(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _track(self, *socks):
        with self.lock:
            self.open.extend(socks)

    def _serve(self, conn):
        try:
            if self.ctx:
                conn = self.ctx.wrap_socket(conn, server_side=True)
            self._track(conn)
            if self.kind != "http":
                self._pump(conn, socket.create_connection(self.target), None)
                return
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 8192:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                head += chunk
            lines = head.split(b"\r\n\r\n")[0].decode(errors="replace").split("\r\n")
            cookie = next((l.split(":", 1)[1].strip() for l in lines if l.lower().startswith("x-sessioncookie:")), "")
            if lines[0].startswith("GET "):
                sender = socket.create_connection(self.target)
                with self.lock:
                    self.tunnels[cookie] = sender
                conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/x-rtsp-tunnelled\r\n\r\n")
                self._pump(sender, conn, None)  # the sender's bytes to the GET; the POST writes
            else:
                with self.lock:
                    sender = self.tunnels.pop(cookie, None)
                if sender is not None:
                    self._pump(conn, sender, head.split(b"\r\n\r\n", 1)[1], one_way=True)
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def _pump(self, a, b, pending, one_way=False):
        """Bytes of `a` to `b` (base64-decoded when `pending` is not None) and, unless one_way, back."""
        self._track(a, b)
        encoded = pending
        try:
            if encoded:
                # The POST's first bytes may have come with its head: forward them now, not when
                # more arrive (the client waits for the answer to what it has sent).
                usable = len(encoded) - len(encoded) % 4
                b.sendall(base64.b64decode(encoded[:usable]))
                encoded = encoded[usable:]
            while self.running:
                ready, _, _ = select.select([a] if one_way else [a, b], [], [], 1.0)
                if a in ready or (self.ctx and isinstance(a, ssl.SSLSocket) and a.pending()):
                    data = a.recv(65536)
                    if not data:
                        return
                    if encoded is not None:
                        encoded += data
                        usable = len(encoded) - len(encoded) % 4
                        data, encoded = base64.b64decode(encoded[:usable]), encoded[usable:]
                    b.sendall(data)
                if b in ready:
                    data = b.recv(65536)
                    if not data:
                        return
                    a.sendall(data)
        except (OSError, ssl.SSLError):
            pass
        finally:
            a.close()
            b.close()

    def stop(self):
        self.running = False
        self.listener.close()
        with self.lock:
            for s in self.open:
                try:
                    s.close()
                except OSError:
                    pass


def into_own_network():
    """Runs this soak again in a network namespace of its own with multicast over loopback (never
    returns), or sets that namespace up when already in it. Exits with the reason where it cannot."""
    why = "unshare or ip is missing"
    if os.environ.get(NETNS_MARK) != "1":
        for flags in ("-n", "-rn"):  # root, or a user namespace of one's own
            if shutil.which("unshare") is None:
                break
            probe = subprocess.run(["unshare", flags, "true"], capture_output=True, text=True)
            if probe.returncode == 0:
                os.environ[NETNS_MARK] = "1"
                os.execvp("unshare", ["unshare", flags, "--", sys.executable] + sys.argv)
            why = probe.stderr.strip() or why
    else:
        steps = (["link", "set", "lo", "up", "multicast", "on"], ["route", "add", "239.0.0.0/8", "dev", "lo"])
        failed = [" ".join(step) for step in steps if shutil.which("ip") is None or
                  subprocess.run(["ip"] + step, capture_output=True).returncode != 0]
        if not failed:
            return
        why = "ip " + "; ip ".join(failed) + " failed"
    sys.exit("soak: the multicast path runs only in a network namespace of its own, so that no datagram "
             f"leaves this machine, and none can be made here ({why}); leave multicast out of --transports")


def groups_joined():
    """The sender's groups (239.255.x.y) this namespace's sockets have joined, from /proc/net/igmp."""
    with open("/proc/net/igmp") as f:
        words = [line.split()[0] for line in f if line.startswith("\t\t")]
    return {g for g in (socket.inet_ntoa(struct.pack("=I", int(w, 16))) for w in words) if g.startswith("239.255.")}


def wait_recovered(receivers, since, timeout):
    """Seconds until every stream has delivered 25 more pictures than at `since`, or None."""
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        if all(all(now - before >= 25 for now, before in zip(r.counts(), since[r.transport])) for r in receivers):
            return time.monotonic() - start
        time.sleep(0.1)
    return None


def start_codes(data, begin):
    """Offsets of the 4-byte start codes of an Annex-B stream from `begin` on."""
    at = data.find(b"\x00\x00\x00\x01", begin)
    while at >= 0 and at + 4 < len(data):
        yield at
        at = data.find(b"\x00\x00\x00\x01", at + 4)


def drop_trailing_parameter_sets(path):
    """The receivers stop wherever the stream is: the file may end with the SPS/PPS of a key picture
    whose slices had not arrived. That unfinished access unit is no corruption; cut it off."""
    with open(path, "rb") as f:
        data = f.read()
    slices = [k for k in start_codes(data, 0) if data[k + 4] & 0x1F in (1, 5)]
    if not slices:
        return
    tail = list(start_codes(data, slices[-1] + 4))
    if tail and all(data[k + 4] & 0x1F in (6, 7, 8, 9) for k in tail):
        with open(path, "wb") as f:
            f.write(data[:tail[0]])


def decode_errors(path):
    """Error lines of ffmpeg decoding one received stream, and the pictures it decoded."""
    drop_trailing_parameter_sets(path)
    run = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-f", "h264", "-i", path,
                          "-f", "null", "-"], capture_output=True, text=True, errors="replace")
    errors = [line for line in run.stderr.splitlines() if line.strip()]
    count = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path],
                           capture_output=True, text=True)
    return errors, count.stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--duration", type=float, default=3600.0, help="seconds (default one hour)")
    parser.add_argument("--interval", type=float, default=30.0, help="seconds between faults")
    parser.add_argument("--transports", default="udp,tcp", help="of udp, tcp, tls, http, ipv6, udp6, multicast")
    parser.add_argument("--streams", type=int, default=2, help="streams per transport")
    parser.add_argument("--recover", type=float, default=20.0, help="seconds a stream may take to recover")
    parser.add_argument("--faults", default=",".join(f.split()[0] for f in FAULTS),
                        help="the faults to take turns, of " + ", ".join(f.split()[0] for f in FAULTS))
    parser.add_argument("--mixed-fleet", action="store_true", help="RtspClientOptions::mixedFleet()")
    parser.add_argument("--clip", default=os.path.join(e2e.ROOT, "testkit", "clips", "testcam_640x360.264"))
    parser.add_argument("--build", default=os.path.join(e2e.ROOT, "build-e2e"), help="build directory")
    args = parser.parse_args()

    faults = [f for f in FAULTS if f.split()[0] in args.faults.split(",")]
    if not faults:
        sys.exit("soak: no known fault in --faults")
    transports = args.transports.split(",")
    unknown = set(transports) - {"udp", "tcp", "tls", "http", "ipv6", "udp6", "multicast"}
    if unknown:
        sys.exit("soak: unknown transport " + ", ".join(sorted(unknown)))
    if "multicast" in transports:
        into_own_network()
    e2e.build(args.build)
    workdir = os.path.join(args.build, "soak")
    os.makedirs(workdir, exist_ok=True)
    sender, url, sender_log = e2e.start_sender(args.build, args.clip, workdir, loop=True,
                                               extra=["--ipv6"] if "udp6" in transports else [])
    urls = {"udp6": None}
    if "udp6" in transports:
        deadline = time.monotonic() + 5
        while urls["udp6"] is None and time.monotonic() < deadline:
            with open(os.path.join(workdir, "sender.url")) as f:
                lines = f.read().split("\n")
            urls["udp6"] = lines[1] if len(lines) > 2 else None
            time.sleep(0.05)
        if urls["udp6"] is None:
            sender.stop(signals=(e2e.signal.SIGTERM,))
            sys.exit("soak: the sender gave no IPv6 URL")
    receivers, failures, recoveries, samples, fronts = [], [], [], [], []
    try:
        for k, transport in enumerate(transports):
            front = None
            if transport in ("tls", "http", "ipv6"):
                front = Front(transport, url, workdir)
                fronts.append(front)
            receivers.append(Receiver(args.build, transport, urls.get(transport) or url, args.streams, 40000 + 2000 * k,
                                      os.path.join(workdir, transport), args.mixed_fleet, front))
        started = time.monotonic()
        time.sleep(min(5.0, args.interval / 2))
        if wait_recovered(receivers, {r.transport: [0] * r.streams for r in receivers}, args.recover) is None:
            failures.append("not every stream started")
        if "multicast" in transports and len(groups_joined()) < args.streams:
            failures.append(f"multicast: {len(groups_joined())} groups joined for {args.streams} streams")

        def sample(label):
            values = {r.transport: e2e.sample([r.proc]) for r in receivers}
            samples.append((label, values))
            e2e.log(f"  {label}: " + "; ".join(f"{t} {v[1] / 1024:.1f} MiB, {v[3]} fds, {v[2]} threads"
                                                for t, v in values.items()))

        sample("start")
        n = 0
        while time.monotonic() - started + args.interval <= args.duration:
            time.sleep(max(0.0, started + (n + 1) * args.interval - args.interval / 2 - time.monotonic()))
            fault = faults[n % len(faults)]
            n += 1
            since = {r.transport: r.counts() for r in receivers}
            if fault.startswith("silence"):
                # Recovery is counted from the end of the silence.
                sender.popen.stdin.write((fault + "\n").encode())
                sender.popen.stdin.flush()
                time.sleep(int(fault.split()[1]) / 1000.0)
                since = {r.transport: r.counts() for r in receivers}
            else:
                sender.popen.stdin.write((fault + "\n").encode())
                sender.popen.stdin.flush()
            took = wait_recovered(receivers, since, args.recover)
            recoveries.append((fault.split()[0], took))
            e2e.log(f"fault {n} {fault}: " + (f"recovered in {took:.1f} s" if took is not None else "NOT recovered"))
            if took is None:
                failures.append(f"fault {n} ({fault}) not recovered within {args.recover:g} s")
            sample(f"after fault {n}")
            time.sleep(max(0.0, started + n * args.interval + args.interval / 2 - time.monotonic()))
        time.sleep(max(0.0, started + args.duration - time.monotonic()))
        sample("end")
    finally:
        for r in receivers:
            r.stop()
        for f in fronts:
            f.stop()
        sender.stop(signals=(e2e.signal.SIGTERM,))

    # Flat resources: the last third of the samples against the first after warm-up.
    if len(samples) >= 3:
        base = samples[1][1]
        tail = samples[len(samples) - max(1, len(samples) // 3):]
        for transport, (_, rss, threads, fds) in base.items():
            worst_rss = max(v[transport][1] for _, v in tail)
            worst_fds = max(v[transport][3] for _, v in tail)
            worst_threads = max(v[transport][2] for _, v in tail)
            if worst_rss > rss * 1.10 + 2048:
                failures.append(f"{transport}: memory grew from {rss / 1024:.1f} to {worst_rss / 1024:.1f} MiB")
            if worst_fds > fds + 2:
                failures.append(f"{transport}: descriptors grew from {fds} to {worst_fds}")
            if worst_threads > threads + 2:
                failures.append(f"{transport}: threads grew from {threads} to {worst_threads}")

    print(f"Soak: {args.duration:g} s, a fault every {args.interval:g} s ({', '.join(f.split()[0] for f in faults)} "
          f"in turn), {args.streams} streams per transport, {'mixedFleet' if args.mixed_fleet else 'default'} "
          f"options; {e2e.machine()}.")
    print()
    print("| transport | pictures per stream | decoded | decode errors | RSS start-end (MiB) | fds start-end "
          "| threads start-end |")
    print("|---|---|---|---:|---|---|---|")
    for r in receivers:
        first, last = samples[1][1][r.transport] if len(samples) > 1 else samples[0][1][r.transport], \
            samples[-1][1][r.transport]
        decoded, errors = [], 0
        for i in range(r.streams):
            lines, frames = decode_errors(os.path.join(r.out_dir, f"stream{i}.bin"))
            errors += len(lines)
            decoded.append(frames)
            for line in lines[:3]:
                e2e.log(f"  {r.transport} stream {i}: {line}")
        if errors:
            failures.append(f"{r.transport}: {errors} decode error lines")
        pictures = " ".join(line.split()[3] for line in r.final.splitlines())
        print(f"| {r.transport.upper()} | {pictures} | {' '.join(decoded)} | {errors} "
              f"| {first[1] / 1024:.1f}-{last[1] / 1024:.1f} | {first[3]}-{last[3]} | {first[2]}-{last[2]} |")
    print()
    by_kind = {}
    for kind, took in recoveries:
        by_kind.setdefault(kind, []).append(took)
    print("| fault | times | recovered | slowest recovery (s) |")
    print("|---|---:|---:|---:|")
    for kind, times in by_kind.items():
        ok = [t for t in times if t is not None]
        print(f"| {kind} | {len(times)} | {len(ok)} | {max(ok):.1f} |" if ok else
              f"| {kind} | {len(times)} | 0 | - |")
    print()
    if failures:
        print("FAILED: " + "; ".join(failures))
        sys.exit(1)
    print("every fault recovered, resources flat, no decode error")


if __name__ == "__main__":
    main()
