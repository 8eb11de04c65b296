#ifndef QUORVANE_UNITS_UNIT_RTSP_CLIENT_INTERNAL_H
#define QUORVANE_UNITS_UNIT_RTSP_CLIENT_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "../quorvane_export.h"
#include "../utils/networking/netsocket.h"

// Not installed. The receiver's decisions on camera bytes as pure functions, so that tests and
// fuzz targets reach them without sockets.
namespace rtsp_receive_internal {

// The fields of an RTCP sender report (RFC 3550 6.4.1) the receiver uses.
struct QUORVANE_EXPORT SenderReport {
    uint32_t ssrc = 0;
    uint64_t ntp = 0;  // 32.32 fixed point seconds since 1900
    uint32_t rtpTimestamp = 0;
};

// Reads the sender report that starts an RTCP datagram or compound packet (RFC 3550 6.1: a
// compound packet begins with SR or RR). False for anything else: wrong version, another packet
// type, or a length field that claims more than the datagram holds or less than an SR needs.
QUORVANE_EXPORT bool parseSenderReport(const unsigned char* data, size_t length, SenderReport* out);

enum class RtcpVerdict {
    Ignore,     // not from the camera, not a sender report, or no session: nothing happens
    ClockOnly,  // a valid sender report: take its clock, but answers are rate-limited just now
    Answer,     // take its clock and answer with a receiver report
};

// At most this many receiver reports a second, whatever the camera (or a spoofer) sends.
constexpr int64_t kMinRtcpAnswerGapNs = 200000000LL;

// What the video RTCP receiver does with one datagram. `fromCamera`: the sender is the camera's
// RTCP address; `active`: a session plays; `expectedSsrc`: the video SSRC settled on, 0 when none.
// `lastAnswerNs` holds the time of the last answer and is advanced when the verdict is Answer.
QUORVANE_EXPORT RtcpVerdict decideRtcp(const unsigned char* data, size_t length, bool fromCamera, bool active,
                                       uint32_t expectedSsrc, int64_t nowNs, int64_t* lastAnswerNs,
                                       SenderReport* report);

// The RTP stream a receiver follows. The SSRCs of the SETUP and PLAY answers are only hints that
// cameras get wrong (ssrc=0, a constant, another track's): the stream is the one the packets
// show. It settles on the first packet, or, once the PLAY answer's RTP-Info gave a sequence
// number, on the first packet that continues it, so that a previous session's stream still sent
// into the new one is dropped. Packets of another SSRC are dropped, except those that continue
// the current stream (sequence number and timestamp just ahead, from the same port): a camera
// that changes SSRC at every group of pictures stays one stream. A camera that really starts a
// new stream (its encoder restarted: new SSRC, unrelated numbers) is followed once that stream
// alone has sent kRestartAfter packets from the current stream's port with none of the current
// stream among them; a previous session's stream sent beside the live one never gets that far.
class QUORVANE_EXPORT SsrcTracker {
public:
    enum class Verdict { Accept, Drop, Switched };
    // Sequence numbers at or ahead of the RTP-Info seq that still continue it: the first packets
    // may be lost or may have arrived before the PLAY answer.
    static constexpr uint16_t kHintSeqWindow = 512;
    // A new SSRC continues the stream when its sequence number is at most this far ahead of the
    // last one and its timestamp within kContinueTs of the last one (ten seconds at 90 kHz).
    static constexpr uint16_t kContinueSeq = 64;
    static constexpr uint32_t kContinueTs = 900000;
    // Packets that do not continue the RTP-Info seq dropped before the hint is taken as wrong and
    // the stream sent is followed after all; a stream that continues the hint later still takes
    // over from it.
    static constexpr int kHintPatience = 64;
    // Packets in a row of one new SSRC, with the current stream silent meanwhile, after which the
    // new stream is taken as the camera's restarted one: about half a second of video.
    static constexpr int kRestartAfter = 128;

    // A new session: nothing settled, no hint.
    void reset();
    // The PLAY answer's RTP-Info seq. A stream settled on packets that do not continue it (a
    // previous session's, sent before the answer) is given up for the one that does.
    void hintSeq(uint16_t seq);
    // One packet of `ssrc` from source port `port` (any fixed value where there is none).
    Verdict check(uint32_t ssrc, uint16_t seq, uint32_t timestamp, uint16_t port);
    bool known() const { return mKnown; }
    uint32_t ssrc() const { return mSsrc; }

private:
    void settle(uint32_t ssrc, uint16_t seq, uint32_t timestamp, uint16_t port);

    bool mKnown = false;
    uint32_t mSsrc = 0;
    uint16_t mLastSeq = 0;
    uint32_t mLastTs = 0;
    uint16_t mPort = 0;
    bool mHint = false;  // an RTP-Info seq no packet has continued yet
    uint16_t mHintSeq = 0;
    int mUnmatched = 0;
    uint32_t mCandidate = 0;  // the new SSRC of the run counted in mCandidateRun
    int mCandidateRun = 0;
};

// The addresses a session takes RTP and RTCP from, decided once per session: `peer` is the
// camera's address (family 0 when unknown), `source` the SETUP answer's source= (family 0: none).
// source= is taken beside the camera's address, not instead of it (cameras name addresses they do
// not send from). It is dropped when it is the camera's address, unspecified, loopback while the
// camera is not (a firmware's default), or of the other family than the camera's (its packets
// could not reach the receive sockets); a link-local one without a zone takes the camera's. With
// the camera's address unknown, source= stands in for it. Returns whether an address is known.
QUORVANE_EXPORT bool chooseCameraHosts(NetEndpoint* peer, NetEndpoint* source);

// The camera's addresses as chooseCameraHosts gave them, read by the receive threads for every
// datagram while the session's thread may replace them: a sequence lock over atomic words, so a
// reader sees both addresses of one session, never half of one and half of another.
class QUORVANE_EXPORT CameraHosts {
public:
    void store(const NetEndpoint& peer, const NetEndpoint& source);
    // `from`'s address (and scope) is the camera's or its source='s; ports are not compared.
    bool matches(const NetEndpoint& from) const;

private:
    std::mutex mWriteMutex;             // writers one at a time; readers never take it
    std::atomic<uint32_t> mVersion{0};  // odd while a writer is at work
    std::atomic<uint32_t> mWords[2][sizeof(NetEndpoint::mBytes) / 4]{};
};

}  // namespace rtsp_receive_internal

#endif
