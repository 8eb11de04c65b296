#ifndef QUORVANE_UNITS_UNIT_RTSP_CLIENT_INTERNAL_H
#define QUORVANE_UNITS_UNIT_RTSP_CLIENT_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "../quorvane_export.h"

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

// The SSRC a receiver accepts: the one SETUP announced, else the first accepted packet's. A
// camera that restarts its encoder changes SSRC for good; after kSwitchAfter packets in a row
// of one new SSRC the tracker follows it.
class QUORVANE_EXPORT SsrcTracker {
public:
    enum class Verdict { Accept, Drop, Switched };
    static constexpr int kSwitchAfter = 8;

    void reset(bool known, uint32_t ssrc);
    Verdict check(uint32_t ssrc);
    bool known() const { return mKnown; }
    uint32_t ssrc() const { return mSsrc; }

private:
    bool mKnown = false;
    uint32_t mSsrc = 0;
    uint32_t mCandidate = 0;
    int mCandidateCount = 0;
};

}  // namespace rtsp_receive_internal

#endif
