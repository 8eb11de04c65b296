#ifndef QUORVANE_TESTKIT_GST_RTSP_SERVER_H
#define QUORVANE_TESTKIT_GST_RTSP_SERVER_H

#include <sys/types.h>

#include <cstdint>
#include <string>

// GStreamer's RTSP server (testkit/gst_rtsp_server.py run by /usr/bin/python3) as a child
// process on 127.0.0.1 (or ::1): an independent peer for interoperability tests. The child is stopped by
// its PID when the object goes away.
class GstRtspServer {
public:
    struct Options {
        std::string clip;  // an Annex-B clip (or any file parsebin reads)
        std::string codec = "h264";
        std::string mount = "/test";
        uint16_t port = 0;  // 0 picks a free one; a server started again takes its old port
        std::string user;   // non-empty: Digest authentication is demanded
        std::string password;
        // The payloader's aggregate-mode: "none" (one NAL unit per packet or fragment),
        // "zero-latency" (STAP-A / AP of the small NAL units before each picture) or "max"
        // (every NAL unit of a picture that fits).
        std::string aggregateMode = "none";
        // The payloader's config-interval: 0 sends the parameter sets only where the clip has
        // them, -1 with every key picture.
        int configInterval = 0;
        // Non-empty: when the server stops it writes "packets=N aggregates=M" (RTP packets sent,
        // of which aggregation packets) to this file.
        std::string statsPath;
        // The address it listens on (127.0.0.1 when empty; "::1" for IPv6).
        std::string address;
        // Above 1: the video's pictures are sent this many times as often as the clip says,
        // their RTP times following (for tests that need the pictures, not the clip's pace).
        double speed = 1;
        // Non-empty: a second track with this file's sound (see gst_rtsp_server.py) in audioCodec:
        // aac, latm, pcmu, pcma, g726 or opus.
        std::string audioClip;
        std::string audioCodec = "aac";
        // Non-empty ("239.255.0.1:5000"): the stream goes only by multicast to this group, RTP and
        // RTCP on the port and the next, one pipeline shared by all clients.
        std::string multicast;
    };

    GstRtspServer() = default;
    ~GstRtspServer();
    GstRtspServer(const GstRtspServer&) = delete;
    GstRtspServer& operator=(const GstRtspServer&) = delete;

    // "" when python3 with the GStreamer RTSP server bindings and ffmpeg are there; otherwise
    // what is missing, for a test to skip with.
    static std::string missingDependency();

    // Starts the server and waits until it listens; false (child stopped) when it does not
    // within `timeoutMs`.
    bool start(const Options& options, int timeoutMs = 15000);
    // SIGTERM, then SIGKILL if it has not ended within two seconds; always reaped.
    void stop();

    uint16_t port() const { return mPort; }
    std::string url() const { return mUrl; }
    pid_t pid() const { return mPid; }

private:
    pid_t mPid = -1;
    int mOutFd = -1;
    uint16_t mPort = 0;
    std::string mUrl;
};

#endif
