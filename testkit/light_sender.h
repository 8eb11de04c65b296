#ifndef QUORVANE_TESTKIT_LIGHT_SENDER_H
#define QUORVANE_TESTKIT_LIGHT_SENDER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "testkit/annexb.h"
#include "testkit/test_camera.h"

// A camera that costs little per stream, for benchmarks with hundreds of streams: the clip is
// packetized once, and every play replays the same packets with its own sequence numbers and
// timestamps, a whole picture per system call (sendmmsg over UDP, one vectored write of
// interleaved frames over TCP), paced at the clip's picture rate. RTSP is the test camera's.
// Paced (paceUs or nicBitsPerSecond), it sends as real cameras do instead: each packet on its
// own, spaced apart as a network card of that speed puts them on the wire.
//
//   testkit::LightSender sender(VideoCodec::H264, bytes);
//   CameraScript script;
//   script.sdp = sender.sdp();
//   TestCamera camera(script);
//   camera.setStreamerFactory(sender.factory());
//
// Faults for soak runs hit every play running at the time; each leaves the stream decodable:
// sending resumes at a key picture. A LightSender is a handle: copies and the streamers share one
// state, which lives as long as the last of them.
namespace testkit {

struct LightSenderOptions {
    double fps = 25.0;
    bool loop = true;   // after the last picture start again from the first
    size_t mtu = 1400;  // largest RTP packet, header included
    uint32_t ssrc = 0x51C0FFEE;
    // Pacing: each packet its own system call, at least this many microseconds after the one
    // before it (start to start) ...
    unsigned paceUs = 0;
    // ... or the wire time of each packet at this many bits a second (the packet with its UDP, IP
    // and Ethernet framing, preamble and gap: kWireOverheadBytes more); the larger spacing holds.
    // 0 and 0: a picture per system call.
    uint64_t nicBitsPerSecond = 0;
    static constexpr size_t kWireOverheadBytes = 66;
    static constexpr uint64_t kNic100Mbit = 100000000ULL;
    static constexpr uint64_t kNic1Gbit = 1000000000ULL;
    bool paced() const { return paceUs > 0 || nicBitsPerSecond > 0; }
    // Nanoseconds between the starts of a packet of `bytes` (RTP header included) and the next.
    int64_t spacingNs(size_t bytes) const;
    // Called on a play's thread just before the last packet of a whole picture leaves, with the
    // picture's RTP timestamp and the steady clock in nanoseconds (latency benchmarks).
    std::function<void(uint32_t rtpTimestamp, int64_t steadyNs)> pictureLeaving;
};

class LightSender {
public:
    // Throws std::invalid_argument when `annexb` holds no picture or starts without a key picture.
    LightSender(VideoCodec codec, const Bytes& annexb, LightSenderOptions options = LightSenderOptions());

    std::function<std::unique_ptr<CameraStreamer>()> factory() const;
    // For TestCamera::setUdpSetupHook: plays of IPv6 clients send from one socket whose port SETUP
    // announces (IPv4 ones each from a port of their own, unannounced); a multicast SETUP of an
    // IPv4 client gets a group of its own (239.255.x.y, port kMulticastPort), IPv6 ones 461.
    TestCamera::UdpSetupHook udpSetupHook() const;
    static constexpr uint16_t kMulticastPort = 15004;
    std::string sdp() const;
    size_t pictureCount() const;

    // Nothing is sent for `ms`; then each play goes on at the next key picture.
    void silence(int ms);
    // Each play sends the first half of the packets of its next picture, then nothing until the
    // next key picture: a burst of loss with a broken picture at its start.
    void lossBurst();
    // Closes every play's RTSP connection.
    void closeAll();
    // `count` RTP packets that look like the camera's (its SSRC, sequence numbers just ahead of
    // the stream's) but carry scrambled payload, to each play: over UDP from 127.0.0.2 to the
    // client's RTP port or the play's group; over IPv6 from ::1 and a port other than the
    // announced one; over TCP as interleaved frames on a channel that was not set up.
    // Returns the packets sent.
    size_t flood(size_t count);

    size_t plays() const;
    size_t activePlays() const;
    uint64_t picturesSent() const;
    uint64_t packetsSent() const;

    struct State;

private:
    std::shared_ptr<State> mState;
};

}  // namespace testkit

#endif
