#ifndef QUORVANE_UNITS_AUDIO_DEPACKETIZER_H
#define QUORVANE_UNITS_AUDIO_DEPACKETIZER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../quorvane_export.h"
#include "../rtsp_audio_frame.h"
#include "../utils/audio_track.h"
#include "unit_rtsp_client.h"

// What an AudioSpecificConfig (ISO 14496-3 1.6.2.1) says, as far as a receiver needs it.
struct QUORVANE_EXPORT AacConfig {
    uint32_t objectType = 0;
    uint32_t sampleRate = 0;      // of the core coder
    uint32_t outputRate = 0;      // with SBR signalled explicitly its rate, else sampleRate
    uint32_t channels = 0;        // 0: given by a program config element, which is not read
    uint32_t frameLength = 1024;  // samples per access unit of the core coder (960 with frameLengthFlag)
};

// Reads an AudioSpecificConfig starting at bit `*bit` of `data` (`size` bytes) and advances `*bit`
// past it. False, with `*bit` unchanged, when it runs past the end or uses what is not read here
// (program config elements, error protection, object types without GASpecificConfig).
QUORVANE_EXPORT bool readAacConfig(const uint8_t* data, size_t size, size_t* bit, AacConfig* out);

// Turns the RTP packets of one audio track into frames: AAC access units (mpeg4-generic, RFC
// 3640, AAC-hbr and AAC-lbr; MP4A-LATM, RFC 6416), G.711 and G.726 samples and Opus packets.
//
// Every length is checked before it is read. An access unit spread over several packets is
// gathered up to kMaxAccessUnitBytes; a larger one, one whose packets were lost or that another
// timestamp interrupts, is dropped and counted. Packets older than the last one taken (reordered
// or duplicated) are dropped. Not thread-safe: one thread at a time.
class QUORVANE_EXPORT AudioDepacketizer {
public:
    static constexpr size_t kMaxAccessUnitBytes = 64 * 1024;
    using Sink = std::function<void(const RtspAudioFrame&)>;

    // Reads the track's codec and parameters; false, with the reason in `*why`, for a codec or a
    // configuration it cannot read. A new session: what was gathered is dropped.
    bool configure(const RtspAudioTrack& track, std::string* why);
    bool configured() const { return mCodec != RtspAudioCodec::Unknown; }
    RtspAudioStreamInfo info() const;
    const std::vector<uint8_t>& config() const { return mConfig; }

    // The audio track's latest sender report; its RTP timestamps become wall-clock times.
    void setSenderClock(const RtcpSenderClock& clock) { mSenderClock = clock; }
    // One RTP packet, header included, that arrived at `arrivalNs` (steady clock). Each frame it
    // completes goes to `sink` before push returns.
    void push(const uint8_t* rtp, size_t size, int64_t arrivalNs, const Sink& sink);
    // Forgets the sequence and what was gathered (a new session); the configuration stays.
    void reset();

    uint64_t framesDropped() const { return mDropped; }

private:
    void emit(const uint8_t* data, size_t size, uint64_t timestamp, uint32_t samples, int64_t arrivalNs,
              const Sink& sink);
    void pushGeneric(const uint8_t* payload, size_t size, bool marker, uint64_t timestamp, int64_t arrivalNs,
                     const Sink& sink);
    void pushLatm(const uint8_t* payload, size_t size, bool marker, uint64_t timestamp, int64_t arrivalNs,
                  const Sink& sink);
    void pushG726(const uint8_t* payload, size_t size, uint64_t timestamp, int64_t arrivalNs,
                  const Sink& sink);
    void dropGathered();

    RtspAudioCodec mCodec = RtspAudioCodec::Unknown;
    bool mLatm = false;
    uint32_t mClockRate = 0;
    uint32_t mSampleRate = 0;
    uint32_t mChannels = 0;
    uint32_t mBits = 0;  // G.726 code word bits
    bool mAal2 = false;  // G.726 code words packed from the most significant bit
    uint32_t mPayloadType = 0;
    uint32_t mAuDuration = 1024;  // RTP ticks per AAC access unit
    std::vector<uint8_t> mConfig;

    // mpeg4-generic AU header layout (RFC 3640 3.2.1), in bits.
    uint32_t mSizeLength = 0, mIndexLength = 0, mIndexDeltaLength = 0, mCtsDeltaLength = 0,
             mDtsDeltaLength = 0, mStreamStateLength = 0, mAuxSizeLength = 0;
    bool mRandomAccess = false;
    uint32_t mConstantSize = 0;
    // MP4A-LATM: the stream's mux configuration (only one program and layer are read).
    uint32_t mSubFrames = 1;
    bool mMuxConfigInBand = false;

    // Sequence and timestamp tracking.
    bool mStarted = false;
    uint16_t mLastSeq = 0;
    uint32_t mLastTimestamp = 0;
    uint64_t mExtendedTimestamp = 0;
    uint32_t mLost = 0;
    uint64_t mDropped = 0;

    // The access unit (or LATM element) being gathered over several packets.
    std::vector<uint8_t> mGathered;
    bool mGathering = false;
    uint32_t mGatherTimestamp = 0;
    size_t mGatherExpected = 0;  // mpeg4-generic: the AU's size from its header
    bool mDroppedKnown = false;  // the timestamp of the latest unit dropped half-gathered
    uint32_t mDroppedTimestamp = 0;

    RtcpSenderClock mSenderClock;
};

#endif
