#ifndef QUORVANE_TESTKIT_CLIP_STREAMER_H
#define QUORVANE_TESTKIT_CLIP_STREAMER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testkit/annexb.h"
#include "testkit/test_camera.h"

// Live video for the test camera: an Annex-B H.264 or H.265 clip, packetized as a camera sends
// it and paced at the clip's picture rate after every PLAY.
//
//   testkit::ClipStreamer clip(VideoCodec::H264, bytes);
//   CameraScript script;
//   script.sdp = clip.sdp();
//   TestCamera camera(script);
//   camera.setStreamerFactory(clip.factory());
//
// Each PLAY starts the clip from its first picture on the track of the first SETUP:
// - UDP: RTP datagrams from a server port pair (even RTP port, RTCP one above) to the client_port
//   pair of the SETUP; RTCP sender reports from the server RTCP port to the client's RTCP port,
//   and every datagram arriving at the server RTCP port is kept (the client's receiver reports);
// - interleaved TCP: RTP and sender reports as '$' frames on the channels the camera assigned.
// Sequence numbers and timestamps run on across plays and loops, as from a camera whose encoder
// never stops. A ClipStreamer is a handle: copies, and the streamers made by factory(), share one
// state, which lives as long as the last of them.
namespace testkit {

struct ClipStreamerOptions {
    double fps = 25.0;                  // pictures per second; also sets the RTP timestamp step
    bool loop = false;                  // after the last picture start again from the first
    int senderReportIntervalMs = 2000;  // 0: no sender reports
    size_t mtu = 1400;                  // largest RTP packet, header included
    uint8_t payloadType = 96;
    uint32_t ssrc = 0x51C0FFEE;
    uint16_t firstSeq = 0;
    bool aggregate = false;  // small NAL units of a picture (SPS, PPS, SEI) in STAP-A / AP packets
    size_t pictures = 0;     // > 0: only the clip's first this many pictures
    // A new SSRC at every IDR/IRAP picture, sequence numbers and timestamps running on.
    bool ssrcPerGop = false;
    // Before each picture, one of another stream (a previous session's: another SSRC, unrelated
    // numbers, the clip from its second third).
    bool ghostStream = false;

    // Faults, each timed from the PLAY of the play it hits (0 = off).
    int silenceAfterMs = 0;  // send nothing from this long after PLAY ...
    int silenceForMs = 0;    // ... for this long, then go on with the next picture
    int closeAfterMs = 0;    // close the RTSP connection this long after PLAY
    double dropShare = 0;    // this share (0..1) of the RTP packets is not sent, chosen at random
    // Added to the RTP clock at every start of the clip after the first (a camera whose clock
    // restarts: a value near 2^32 steps it back).
    uint32_t clockStepPerPass = 0;
};

// One datagram that arrived at the server RTCP port (UDP only).
struct ClipRtcpDatagram {
    Bytes data;
    uint16_t fromPort = 0;
};

class ClipStreamer {
public:
    // Throws std::invalid_argument when `annexb` holds no picture.
    ClipStreamer(VideoCodec codec, const Bytes& annexb, ClipStreamerOptions options = ClipStreamerOptions());

    // For TestCamera::setStreamerFactory.
    std::function<std::unique_ptr<CameraStreamer>()> factory() const;
    // A DESCRIBE body for CameraScript::sdp: one video track of the clip's codec, control trackID=1.
    std::string sdp() const;

    // Silence: no RTP and no sender report leaves until resume(), on the running play and on
    // plays that start meanwhile. A resumed play goes on with its next picture.
    void pause();
    void resume();
    bool paused() const;

    VideoCodec codec() const;
    // Pictures (access units) in one pass of the clip.
    size_t pictureCount() const;

    // Counters over all plays.
    size_t plays() const;
    size_t packetsSent() const;
    size_t packetsDropped() const;  // by dropShare
    size_t picturesSent() const;
    // The sender reports sent (whole compound datagrams, in order) and the datagrams received on
    // the server RTCP port.
    std::vector<Bytes> senderReports() const;
    std::vector<ClipRtcpDatagram> receivedRtcp() const;
    // Wait until the counter reaches `count`; false on time-out.
    bool waitForPictures(size_t count, int timeoutMs) const;
    bool waitForReceivedRtcp(size_t count, int timeoutMs) const;

    struct State;

private:
    std::shared_ptr<State> mState;
};

}  // namespace testkit

#endif
