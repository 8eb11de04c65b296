#!/usr/bin/python3
"""GStreamer's RTSP server on loopback, serving one clip: an independent peer for tests.

usage: gst_rtsp_server.py --clip FILE [--codec h264|h265] [--port N] [--mount /test]
                          [--user U --password P] [--aggregate-mode none|zero-latency|max]
                          [--config-interval N] [--mtu N] [--stats FILE] [--address ADDR] [--log-plays]
                          [--speed F]
                          [--audio-clip FILE --audio-codec aac|latm|pcmu|pcma|g726|opus]
                          [--multicast GROUP:PORT]
       gst_rtsp_server.py --check      exit 0 when everything needed is installed, else 77

The clip is an MPEG-TS file (or anything parsebin can take apart) holding H.264 or H.265 with its
parameter sets in band, as ffmpeg writes them. Each client gets its own pipeline, so every PLAY
starts the clip from its first picture. With --user the server demands Digest authentication.
--aggregate-mode, --config-interval and --mtu set the payloader's properties of those names ("max"
is rtph264pay's "max-stap"). With --stats the server writes "packets=N aggregates=M" to FILE when
it ends: the RTP packets its payloaders sent, and how many of them were STAP-A (H.264) or
aggregation packets (H.265), then "tunnelled_plays=T plain_plays=P": the PLAY requests that came
through an RTSP-in-HTTP tunnel (which the server accepts on its port) and those that did not.
With --speed F the video's times are divided by F before the payloader: its pictures leave F times
as often as the clip says, and its RTP clock steps at that pace (tests that need the pictures, not
the clip's rate; not with --audio-clip, whose sound keeps its own times).
With --audio-clip the stream gets a second track, the clip's sound:
an ADTS AAC file payloaded as mpeg4-generic (aac, rtpmp4gpay) or MP4A-LATM (latm, rtpmp4apay), a
WAV file of mu-law or A-law samples (pcmu, pcma), a WAV file of 16-bit samples encoded to 32 kbit/s
G.726 by the server (g726; packed as RFC 3551 says: GStreamer's default, force-aal2, sends the
AAL2 order under the RFC 3551 name), or an Ogg Opus file (opus); samples go 20 ms to a packet, as
from a camera.
With --multicast the stream goes only by multicast (a unicast SETUP is refused) to GROUP, RTP and
RTCP on PORT and PORT + 1 (the audio track on PORT + 2 and PORT + 3), TTL 1, and all clients share
one pipeline: a client that comes later joins the stream where it is.

Prints "READY port=<port> url=<url>" on standard output once it listens (port 0 picks a free
port) and runs until it is killed. Exits with status 77 when the GStreamer packages are missing.
"""

import argparse
import os
import signal
import sys

try:
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtsp", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtsp, GstRtspServer
except (ImportError, ValueError) as err:
    print("gst_rtsp_server: GStreamer RTSP server bindings missing: %s" % err, file=sys.stderr)
    sys.exit(77)


AUDIO_BRANCHES = {
    "aac": "aacparse ! rtpmp4gpay name=pay1 pt=97",
    "latm": "aacparse ! rtpmp4apay name=pay1 pt=97",
    "pcmu": "wavparse ! rtppcmupay name=pay1 max-ptime=20000000",
    "pcma": "wavparse ! rtppcmapay name=pay1 max-ptime=20000000",
    "g726": "wavparse ! audioconvert ! avenc_g726 bitrate=32000 ! rtpg726pay name=pay1 pt=97 max-ptime=20000000 force-aal2=false",
    "opus": "oggdemux ! opusparse ! rtpopuspay name=pay1 pt=97",
}


def launch_line(clip, codec, aggregate_mode, config_interval, mtu, audio_clip=None, audio_codec=None):
    # By default aggregate-mode=none: one NAL unit per packet or FU, never an aggregation packet;
    # config-interval=0: the parameter sets travel only where the clip has them, as a camera
    # sends them.
    pay = "rtph264pay" if codec == "h264" else "rtph265pay"
    parse = "h264parse" if codec == "h264" else "h265parse"
    if aggregate_mode == "max" and codec == "h264":
        aggregate_mode = "max-stap"
    audio = ""
    if audio_clip:
        audio = ' filesrc location="%s" ! %s' % (audio_clip.replace('"', '\\"'), AUDIO_BRANCHES[audio_codec])
    return '( filesrc location="%s" ! parsebin ! %s ! %s name=pay0 pt=96 config-interval=%d aggregate-mode=%s mtu=%d%s )' % (
        clip.replace('"', '\\"'),
        parse,
        pay,
        config_interval,
        aggregate_mode,
        mtu,
        audio,
    )


class SpeedUp:
    """Divides the times of every buffer reaching each client's video payloader by `factor`."""

    def __init__(self, factor):
        self.factor = factor

    def watch(self, _factory, media):
        pay = media.get_element().get_by_name("pay0")
        probe_types = Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST
        pay.get_static_pad("sink").add_probe(probe_types, self.probe)

    def probe(self, _pad, info):
        if info.type & Gst.PadProbeType.BUFFER_LIST:
            buffers = info.get_buffer_list()
            for i in range(buffers.length()):
                self.scale(buffers.get(i))
        else:
            self.scale(info.get_buffer())
        return Gst.PadProbeReturn.OK

    def scale(self, buf):
        if buf.pts != Gst.CLOCK_TIME_NONE:
            buf.pts = int(buf.pts / self.factor)
        if buf.dts != Gst.CLOCK_TIME_NONE:
            buf.dts = int(buf.dts / self.factor)
        if buf.duration != Gst.CLOCK_TIME_NONE:
            buf.duration = int(buf.duration / self.factor)


class PacketStats:
    """Counts the RTP packets leaving every client's payloader, and the aggregation packets."""

    def __init__(self, codec):
        self.aggregate_type = 24 if codec == "h264" else 48
        self.packets = 0
        self.aggregates = 0
        self.tunnelled_plays = 0
        self.plain_plays = 0

    def client_connected(self, _server, client):
        client.connect("play-request", self.play)

    def play(self, client, _context):
        if client.get_connection().is_tunneled():
            self.tunnelled_plays += 1
        else:
            self.plain_plays += 1

    def watch(self, _factory, media):
        pay = media.get_element().get_by_name("pay0")
        probe_types = Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST
        pay.get_static_pad("src").add_probe(probe_types, self.probe)

    def probe(self, _pad, info):
        if info.type & Gst.PadProbeType.BUFFER_LIST:
            buffers = info.get_buffer_list()
            for i in range(buffers.length()):
                self.count(buffers.get(i))
        else:
            self.count(info.get_buffer())
        return Gst.PadProbeReturn.OK

    def count(self, buf):
        ok, mapped = buf.map(Gst.MapFlags.READ)
        if not ok:
            return
        data = bytes(mapped.data)
        buf.unmap(mapped)
        self.packets += 1
        # RTP header: 12 bytes, the CSRCs, then the extension when the X bit is set.
        at = 12 + 4 * (data[0] & 0x0F) if len(data) >= 12 else len(data)
        if len(data) >= 12 and data[0] & 0x10 and at + 4 <= len(data):
            at += 4 + 4 * ((data[at + 2] << 8) | data[at + 3])
        if at < len(data):
            nal_type = data[at] & 0x1F if self.aggregate_type == 24 else (data[at] >> 1) & 0x3F
            self.aggregates += nal_type == self.aggregate_type

    def write(self, path):
        with open(path, "w") as out:
            out.write(
                "packets=%d aggregates=%d tunnelled_plays=%d plain_plays=%d\n"
                % (self.packets, self.aggregates, self.tunnelled_plays, self.plain_plays)
            )


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--clip")
    ap.add_argument("--codec", choices=("h264", "h265"), default="h264")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--mount", default="/test")
    ap.add_argument("--user")
    ap.add_argument("--password", default="")
    ap.add_argument("--aggregate-mode", choices=("none", "zero-latency", "max"), default="none")
    ap.add_argument("--config-interval", type=int, default=0)
    ap.add_argument("--mtu", type=int, default=1400)
    ap.add_argument("--stats")
    ap.add_argument("--address", default="127.0.0.1")
    ap.add_argument("--log-plays", action="store_true",
                    help='a line "[client N] PLAY -> 200" on standard error per PLAY answered (benchmarks)')
    ap.add_argument("--speed", type=float, default=1.0)
    ap.add_argument("--audio-clip")
    ap.add_argument("--audio-codec", choices=sorted(AUDIO_BRANCHES), default="aac")
    ap.add_argument("--multicast", metavar="GROUP:PORT")
    args = ap.parse_args()

    Gst.init(None)
    needed = ("rtph264pay", "rtph265pay", "h264parse", "h265parse", "parsebin", "tsdemux", "filesrc")
    for name in needed:
        if Gst.ElementFactory.find(name) is None:
            print("gst_rtsp_server: GStreamer element %s missing" % name, file=sys.stderr)
            sys.exit(77)
    if args.check:
        sys.exit(0)
    if not args.clip:
        ap.error("--clip is required")
    if args.speed <= 0 or (args.speed != 1.0 and args.audio_clip):
        ap.error("--speed must be positive, and 1 with --audio-clip")

    server = GstRtspServer.RTSPServer()
    server.set_address(args.address)
    server.set_service(str(args.port))

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(
        launch_line(
            args.clip, args.codec, args.aggregate_mode, args.config_interval, args.mtu, args.audio_clip, args.audio_codec
        )
    )
    factory.set_shared(False)
    if args.multicast:
        group, port = args.multicast.rsplit(":", 1)
        pool = GstRtspServer.RTSPAddressPool()
        if not pool.add_range(group, group, int(port), int(port) + 3, 1):
            print("gst_rtsp_server: bad multicast range %s" % args.multicast, file=sys.stderr)
            sys.exit(2)
        factory.set_address_pool(pool)
        factory.set_protocols(GstRtsp.RTSPLowerTrans.UDP_MCAST)
        factory.set_shared(True)
    stats = PacketStats(args.codec)
    if args.stats:
        factory.connect("media-configure", stats.watch)
    if args.speed != 1.0:
        factory.connect("media-configure", SpeedUp(args.speed).watch)

    if args.user:
        auth = GstRtspServer.RTSPAuth()
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "user")
        auth.add_digest(args.user, args.password, token)
        server.set_auth(auth)
        role = Gst.Structure.from_string(
            "user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true"
        )[0]
        factory.add_role_from_structure(role)

    if args.stats:
        server.connect("client-connected", stats.client_connected)
    if args.log_plays:
        clients = [0]

        def connected(_server, client):
            clients[0] += 1
            number = clients[0]
            client.connect("play-request", lambda _c, _ctx: print("[client %d] PLAY -> 200" % number,
                                                                    file=sys.stderr, flush=True))

        server.connect("client-connected", connected)

    server.get_mount_points().add_factory(args.mount, factory)
    if server.attach(None) == 0:
        print("gst_rtsp_server: cannot listen on %s port %d" % (args.address, args.port), file=sys.stderr)
        sys.exit(1)

    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    # A test that crashes cannot stop the server: it ends by itself once its parent is gone.
    parent = os.getppid()

    def parent_alive():
        if os.getppid() != parent:
            loop.quit()
        return True

    GLib.timeout_add(500, parent_alive)
    port = server.get_bound_port()
    host = "[%s]" % args.address if ":" in args.address else args.address
    print("READY port=%d url=rtsp://%s:%d%s" % (port, host, port, args.mount), flush=True)
    loop.run()
    if args.stats:
        stats.write(args.stats)


if __name__ == "__main__":
    main()
