#!/usr/bin/python3
"""GStreamer's RTSP server on loopback, serving one clip: an independent peer for tests.

usage: gst_rtsp_server.py --clip FILE [--codec h264|h265] [--port N] [--mount /test]
                          [--user U --password P]
       gst_rtsp_server.py --check      exit 0 when everything needed is installed, else 77

The clip is an MPEG-TS file (or anything parsebin can take apart) holding H.264 or H.265 with its
parameter sets in band, as ffmpeg writes them. Each client gets its own pipeline, so every PLAY
starts the clip from its first picture. With --user the server demands Digest authentication.

Prints "READY port=<port> url=<url>" on standard output once it listens (port 0 picks a free
port) and runs until it is killed. Exits with status 77 when the GStreamer packages are missing.
"""

import argparse
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


def launch_line(clip, codec):
    # aggregate-mode=none: one NAL unit per packet or FU, never STAP; config-interval=0: the
    # parameter sets travel only where the clip has them, as a camera sends them.
    pay = "rtph264pay" if codec == "h264" else "rtph265pay"
    parse = "h264parse" if codec == "h264" else "h265parse"
    return (
        '( filesrc location="%s" ! parsebin ! %s ! %s name=pay0 pt=96 config-interval=0 aggregate-mode=none )'
        % (clip.replace('"', '\\"'), parse, pay)
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

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch_line(args.clip, args.codec))
    factory.set_shared(False)

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

    server.get_mount_points().add_factory(args.mount, factory)
    if server.attach(None) == 0:
        print("gst_rtsp_server: cannot listen on 127.0.0.1:%d" % args.port, file=sys.stderr)
        sys.exit(1)

    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    port = server.get_bound_port()
    print("READY port=%d url=rtsp://127.0.0.1:%d%s" % (port, port, args.mount), flush=True)
    loop.run()


if __name__ == "__main__":
    main()
