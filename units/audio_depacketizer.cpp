#include "units/audio_depacketizer.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "units/frame_assembler.h"
#include "utils/byte_order_internal.h"

using quorvane_internal::readBe16;
using quorvane_internal::readBe32;

namespace {

constexpr size_t kRtpHeaderSize = 12;
// More access units than this in one packet (or LATM element) are not believed.
constexpr uint32_t kMaxUnitsPerPacket = 512;

// Reads big-endian bit fields, never past `size` bytes.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size, size_t bit = 0) : mData(data), mBits(size * 8), mPos(bit) {}
    bool read(unsigned n, uint32_t* value) {
        if (n > 32 || mPos > mBits || mBits - mPos < n) return false;
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i, ++mPos) v = (v << 1) | ((mData[mPos / 8] >> (7 - mPos % 8)) & 1u);
        *value = v;
        return true;
    }
    bool skip(size_t n) {
        if (mPos > mBits || mBits - mPos < n) return false;
        mPos += n;
        return true;
    }
    size_t position() const { return mPos; }
    size_t left() const { return mPos > mBits ? 0 : mBits - mPos; }

private:
    const uint8_t* mData;
    size_t mBits;
    size_t mPos;
};

// Bits [from, from + n) of `data` as bytes, the last one padded with zero bits.
std::vector<uint8_t> copyBits(const uint8_t* data, size_t size, size_t from, size_t n) {
    std::vector<uint8_t> out((n + 7) / 8, 0);
    BitReader r(data, size, from);
    for (size_t i = 0; i < n; ++i) {
        uint32_t b = 0;
        if (!r.read(1, &b)) break;
        if (b) out[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
    }
    return out;
}

const uint32_t kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

bool readRate(BitReader& r, uint32_t* hz) {
    uint32_t index = 0;
    if (!r.read(4, &index)) return false;
    if (index == 15) return r.read(24, hz) && *hz != 0;
    if (index >= 13) return false;
    *hz = kAacRates[index];
    return true;
}

bool readObjectType(BitReader& r, uint32_t* type) {
    if (!r.read(5, type)) return false;
    if (*type != 31) return true;
    uint32_t extension = 0;
    if (!r.read(6, &extension)) return false;
    *type = 32 + extension;
    return true;
}

// LatmGetValue() of ISO 14496-3 1.7.3.
bool latmValue(BitReader& r, uint32_t* value) {
    uint32_t bytes = 0, v = 0;
    if (!r.read(2, &bytes)) return false;
    *value = 0;
    for (uint32_t i = 0; i <= bytes; ++i) {
        if (!r.read(8, &v)) return false;
        *value = (*value << 8) | v;
    }
    return true;
}

// StreamMuxConfig() of ISO 14496-3 1.7.3 for one program of one layer, frame length type 0 (what
// AAC over LATM uses); the AudioSpecificConfig comes back byte-aligned. `sdp`: the configuration
// of an fmtp line, which some servers (GStreamer) end right after the AudioSpecificConfig; the
// fields missing then take the values of AAC's frame length type 0.
bool readStreamMuxConfig(BitReader& r, const uint8_t* data, size_t size, std::vector<uint8_t>* asc,
                         AacConfig* aac, uint32_t* subFrames, bool sdp = false) {
    uint32_t version = 0, versionA = 0, v = 0;
    if (!r.read(1, &version)) return false;
    if (version == 1 && (!r.read(1, &versionA) || versionA != 0)) return false;
    if (version == 1 && !latmValue(r, &v)) return false;  // taraBufferFullness
    uint32_t sameFraming = 0, numSubFrames = 0, numProgram = 0, numLayer = 0;
    if (!r.read(1, &sameFraming) || !r.read(6, &numSubFrames) || !r.read(4, &numProgram) ||
        !r.read(3, &numLayer))
        return false;
    if (sameFraming != 1 || numProgram != 0 || numLayer != 0) return false;
    size_t from = r.position();
    size_t end = from;
    if (version == 0) {
        if (!readAacConfig(data, size, &end, aac)) return false;
    } else {
        uint32_t ascBits = 0;
        if (!latmValue(r, &ascBits)) return false;
        from = end = r.position();
        if (!readAacConfig(data, size, &end, aac) || end - from > ascBits) return false;
        end = from + ascBits;
    }
    *asc = copyBits(data, size, from, end - from);
    if (!r.skip(end - r.position())) return false;
    *subFrames = numSubFrames + 1;
    if (sdp && r.left() < 3 + 8 + 1 + 1) return r.left() < 3 || (r.read(3, &v) && v == 0);
    uint32_t frameLengthType = 0, otherData = 0, crc = 0;
    if (!r.read(3, &frameLengthType) || frameLengthType != 0 || !r.read(8, &v)) return false;
    if (!r.read(1, &otherData)) return false;
    if (otherData) {
        if (version == 1) {
            if (!latmValue(r, &v)) return false;
        } else {
            uint32_t escape = 1;
            for (int i = 0; escape && i < 8; ++i)
                if (!r.read(1, &escape) || !r.read(8, &v)) return false;
        }
    }
    return r.read(1, &crc) && (!crc || r.read(8, &v));
}

std::vector<uint8_t> fromHex(const std::string& hex, bool* ok) {
    std::vector<uint8_t> out;
    *ok = hex.size() % 2 == 0 && hex.size() <= 2 * 1024;
    for (size_t i = 0; *ok && i + 1 < hex.size(); i += 2) {
        auto nibble = [&](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            *ok = false;
            return 0;
        };
        out.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    if (!*ok) out.clear();
    return out;
}

uint32_t fmtpNumber(const std::string& fmtp, const char* name, uint32_t fallback) {
    std::string value;
    if (!fmtpValue(fmtp, name, &value) || value.empty() || value.size() > 9) return fallback;
    for (char c : value)
        if (c < '0' || c > '9') return fallback;
    return static_cast<uint32_t>(atol(value.c_str()));
}

// An AAC-LC AudioSpecificConfig for a stream whose camera gives none.
std::vector<uint8_t> makeAacConfig(uint32_t rate, uint32_t channels) {
    uint32_t index = 15;
    for (uint32_t i = 0; i < 13; ++i)
        if (kAacRates[i] == rate) index = i;
    uint64_t bits = 2;  // object type AAC LC
    unsigned count = 5;
    auto put = [&](uint64_t v, unsigned n) {
        bits = (bits << n) | v;
        count += n;
    };
    put(index, 4);
    if (index == 15) put(rate & 0xFFFFFF, 24);
    put(channels & 0xF, 4);
    put(0, 3);  // 1024 samples, no core coder, no extension
    std::vector<uint8_t> out((count + 7) / 8);
    bits <<= out.size() * 8 - count;
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(bits >> (8 * (out.size() - 1 - i)));
    return out;
}

// Samples per channel at 48 kHz in an Opus packet (RFC 6716 3.1); 0 when the packet is malformed.
uint32_t opusSamples(const uint8_t* p, size_t size) {
    if (size < 1) return 0;
    const uint32_t config = p[0] >> 3;
    static const uint32_t kSilk[4] = {480, 960, 1920, 2880};
    uint32_t frame = config < 12   ? kSilk[config & 3]
                     : config < 16 ? (config & 1 ? 960 : 480)
                                   : 120u << (config & 3);
    uint32_t frames = 1;
    switch (p[0] & 3) {
        case 0:
            frames = 1;
            break;
        case 1:
        case 2:
            frames = 2;
            break;
        default:
            if (size < 2) return 0;
            frames = p[1] & 0x3F;
    }
    const uint32_t samples = frame * frames;
    return samples > 5760 ? 0 : samples;  // at most 120 ms
}

}  // namespace

bool readAacConfig(const uint8_t* data, size_t size, size_t* bit, AacConfig* out) {
    BitReader r(data, size, *bit);
    AacConfig c;
    uint32_t channels = 0, v = 0;
    if (!readObjectType(r, &c.objectType) || !readRate(r, &c.sampleRate) || !r.read(4, &channels))
        return false;
    c.outputRate = c.sampleRate;
    if (c.objectType == 5 || c.objectType == 29) {  // explicit SBR / PS
        if (!readRate(r, &c.outputRate) || !readObjectType(r, &c.objectType)) return false;
        if (c.objectType == 22 && !r.read(4, &v)) return false;
    }
    const uint32_t t = c.objectType;
    const bool gaSpecific = (t >= 1 && t <= 4) || t == 6 || t == 7 || t == 17 || (t >= 19 && t <= 23);
    if (!gaSpecific || channels == 0) return false;
    uint32_t frameLengthFlag = 0, dependsOnCore = 0, extension = 0;
    if (!r.read(1, &frameLengthFlag) || !r.read(1, &dependsOnCore)) return false;
    if (dependsOnCore && !r.read(14, &v)) return false;
    if (!r.read(1, &extension)) return false;
    if ((t == 6 || t == 20) && !r.read(3, &v)) return false;
    if (extension) {
        if (t == 22 && (!r.read(5, &v) || !r.read(11, &v))) return false;
        if ((t == 17 || t == 19 || t == 20 || t == 23) && !r.read(3, &v)) return false;
        if (!r.read(1, &v)) return false;
    }
    if (t == 17 || (t >= 19 && t <= 27)) {
        if (!r.read(2, &v) || v >= 2) return false;  // error protection is not read
    }
    static const uint32_t kChannels[16] = {0, 1, 2, 3, 4, 5, 6, 8, 0, 0, 0, 7, 8, 0, 8, 0};
    c.channels = kChannels[channels];
    if (c.channels == 0) return false;
    c.frameLength = frameLengthFlag ? 960 : 1024;
    *bit = r.position();
    *out = c;
    return true;
}

bool AudioDepacketizer::configure(const RtspAudioTrack& track, std::string* why) {
    *this = AudioDepacketizer();
    const RtspAudioCodec codec = audioCodecOf(track.encoding);
    mPayloadType = track.payloadType;
    mClockRate = track.clockRate;
    mSampleRate = track.clockRate;
    mChannels = track.channels == 0 ? 1 : track.channels;
    const std::string& fmtp = track.fmtp;
    std::string value;
    bool ok = true;
    switch (codec) {
        case RtspAudioCodec::Unknown:
            *why = "audio codec '" + track.encoding + "' is not supported";
            return false;
        case RtspAudioCodec::Pcmu:
        case RtspAudioCodec::Pcma:
            mBits = 8;
            if (mClockRate == 0) mClockRate = mSampleRate = 8000;
            break;
        case RtspAudioCodec::G726:
            mAal2 = strncasecmp(track.encoding.c_str(), "AAL2-", 5) == 0;
            mBits = static_cast<uint32_t>(atoi(track.encoding.c_str() + track.encoding.size() - 2)) / 8;
            if (mClockRate == 0) mClockRate = mSampleRate = 8000;
            break;
        case RtspAudioCodec::Opus: {
            // RFC 7587 7: always 48000 Hz and "2" in the rtpmap; sprop-stereo tells what is sent.
            mClockRate = mSampleRate = 48000;
            mChannels = fmtpNumber(fmtp, "sprop-stereo", 0) == 1 ? 2 : 1;
            static const uint8_t kHead[8] = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd'};
            mConfig.assign(kHead, kHead + 8);
            const uint8_t rest[11] = {1, static_cast<uint8_t>(mChannels), 0, 0, 0x80, 0xBB, 0, 0, 0, 0, 0};
            mConfig.insert(mConfig.end(), rest, rest + 11);
            break;
        }
        case RtspAudioCodec::Aac: {
            if (mClockRate == 0) {
                *why = "AAC track without a clock rate";
                return false;
            }
            mLatm = strcasecmp(track.encoding.c_str(), "MP4A-LATM") == 0;
            AacConfig aac;
            bool aacRead = false;
            const bool hasConfig = fmtpValue(fmtp, "config", &value) && !value.empty();
            std::vector<uint8_t> bytes = hasConfig ? fromHex(value, &ok) : std::vector<uint8_t>();
            if (hasConfig && !ok) {
                *why = "AAC config= is not hexadecimal";
                return false;
            }
            if (mLatm) {
                mMuxConfigInBand = fmtpNumber(fmtp, "cpresent", 1) != 0;
                if (!mMuxConfigInBand) {
                    BitReader r(bytes.data(), bytes.size());
                    if (!readStreamMuxConfig(r, bytes.data(), bytes.size(), &mConfig, &aac, &mSubFrames,
                                             true)) {
                        *why =
                            "MP4A-LATM config= is missing or of a kind not read (one program, one layer, "
                            "frame length type 0)";
                        return false;
                    }
                    aacRead = true;
                }
            } else {
                if (fmtpValue(fmtp, "mode", &value) && strncasecmp(value.c_str(), "AAC-", 4) != 0 &&
                    strcasecmp(value.c_str(), "generic") != 0) {
                    *why = "mpeg4-generic mode '" + value + "' is not AAC";
                    return false;
                }
                const bool hbr = strcasecmp(value.c_str(), "AAC-hbr") == 0;
                const bool lbr = strcasecmp(value.c_str(), "AAC-lbr") == 0;
                // RFC 3640 3.3.6 and 3.3.5: the AAC modes fix the header layout.
                mSizeLength = fmtpNumber(fmtp, "sizelength", hbr ? 13 : lbr ? 6 : 0);
                mIndexLength = fmtpNumber(fmtp, "indexlength", hbr ? 3 : lbr ? 2 : 0);
                mIndexDeltaLength = fmtpNumber(fmtp, "indexdeltalength", hbr ? 3 : lbr ? 2 : 0);
                mCtsDeltaLength = fmtpNumber(fmtp, "ctsdeltalength", 0);
                mDtsDeltaLength = fmtpNumber(fmtp, "dtsdeltalength", 0);
                mRandomAccess = fmtpNumber(fmtp, "randomaccessindication", 0) != 0;
                mStreamStateLength = fmtpNumber(fmtp, "streamstateindication", 0);
                mAuxSizeLength = fmtpNumber(fmtp, "auxiliarydatasizelength", 0);
                mConstantSize = fmtpNumber(fmtp, "constantsize", 0);
                if ((mSizeLength == 0 && mConstantSize == 0) || mSizeLength > 32 || mIndexLength > 32 ||
                    mIndexDeltaLength > 32 || mCtsDeltaLength > 32 || mDtsDeltaLength > 32 ||
                    mStreamStateLength > 32 || mAuxSizeLength > 32) {
                    *why = "mpeg4-generic AU header layout not usable (sizelength / constantsize)";
                    return false;
                }
                size_t bit = 0;
                aacRead = !bytes.empty() && readAacConfig(bytes.data(), bytes.size(), &bit, &aac);
                mConfig = bytes.empty() ? makeAacConfig(mClockRate, mChannels) : bytes;
            }
            uint32_t frameLength = 1024;
            if (aacRead) {
                mSampleRate = aac.outputRate;
                mChannels = aac.channels;
                frameLength = aac.frameLength;
                // An access unit of the core coder lasts frameLength samples at the core's rate.
                if (aac.sampleRate != 0 && (uint64_t(frameLength) * mClockRate) % aac.sampleRate == 0)
                    frameLength = static_cast<uint32_t>(uint64_t(frameLength) * mClockRate / aac.sampleRate);
            }
            mAuDuration = fmtpNumber(fmtp, "constantduration", frameLength);
            break;
        }
    }
    mCodec = codec;
    return true;
}

RtspAudioStreamInfo AudioDepacketizer::info() const {
    RtspAudioStreamInfo i;
    i.codec = mCodec;
    i.sampleRate = mSampleRate;
    i.channels = mChannels;
    i.bitsPerSample = mBits;
    i.payloadType = mPayloadType;
    i.clockRate = mClockRate;
    if (mConfig.size() <= sizeof(i.config)) {
        std::copy(mConfig.begin(), mConfig.end(), i.config);
        i.configSize = static_cast<uint32_t>(mConfig.size());
    }
    return i;
}

void AudioDepacketizer::reset() {
    if (mGathering) dropGathered();
    mStarted = false;
    mLost = 0;
}

void AudioDepacketizer::dropGathered() {
    // A unit is counted once, however many of its fragments still come.
    if (mGathering && !(mDroppedKnown && mDroppedTimestamp == mGatherTimestamp)) ++mDropped;
    if (mGathering) mDroppedKnown = true, mDroppedTimestamp = mGatherTimestamp;
    mGathering = false;
    mGathered.clear();
    mGatherExpected = 0;
}

void AudioDepacketizer::push(const uint8_t* rtp, size_t size, int64_t arrivalNs, const Sink& sink) {
    if (mCodec == RtspAudioCodec::Unknown || rtp == nullptr || size < kRtpHeaderSize || (rtp[0] >> 6) != 2)
        return;
    size_t header = kRtpHeaderSize + 4u * (rtp[0] & 0x0F);
    if ((rtp[0] & 0x10) != 0) {  // header extension
        if (size < header + 4) return;
        header += 4 + 4u * readBe16(rtp + header + 2);
    }
    if (header > size) return;
    size_t end = size;
    if ((rtp[0] & 0x20) != 0) {  // padding: its count is the last byte
        const uint8_t padding = rtp[size - 1];
        if (padding == 0 || padding > size - header) return;
        end -= padding;
    }
    if (header > end) return;
    const uint16_t seq = readBe16(rtp + 2);
    const uint32_t timestamp = readBe32(rtp + 4);
    if (!mStarted) {
        mStarted = true;
        mExtendedTimestamp = timestamp;
    } else {
        const int16_t step = static_cast<int16_t>(seq - mLastSeq);
        if (step <= 0) return;  // late or repeated: its place in the sound has passed
        if (step > 1) {
            mLost += static_cast<uint32_t>(step - 1);
            dropGathered();
        }
        mExtendedTimestamp = static_cast<uint64_t>(static_cast<int64_t>(mExtendedTimestamp) +
                                                   static_cast<int32_t>(timestamp - mLastTimestamp));
    }
    mLastSeq = seq;
    mLastTimestamp = timestamp;
    // Comfort noise (RFC 3389) and other payload types the camera mixes in are not this codec.
    if ((rtp[1] & 0x7F) != mPayloadType) return;
    const uint8_t* payload = rtp + header;
    const size_t length = end - header;
    const bool marker = (rtp[1] & 0x80) != 0;
    switch (mCodec) {
        case RtspAudioCodec::Aac:
            if (mLatm)
                pushLatm(payload, length, marker, mExtendedTimestamp, arrivalNs, sink);
            else
                pushGeneric(payload, length, marker, mExtendedTimestamp, arrivalNs, sink);
            break;
        case RtspAudioCodec::Pcmu:
        case RtspAudioCodec::Pcma:
            if (length >= mChannels)
                emit(payload, length, mExtendedTimestamp, static_cast<uint32_t>(length / mChannels),
                     arrivalNs, sink);
            break;
        case RtspAudioCodec::G726:
            pushG726(payload, length, mExtendedTimestamp, arrivalNs, sink);
            break;
        case RtspAudioCodec::Opus:
            if (length > 0)
                emit(payload, length, mExtendedTimestamp, opusSamples(payload, length), arrivalNs, sink);
            break;
        case RtspAudioCodec::Unknown:
            break;
    }
}

void AudioDepacketizer::emit(const uint8_t* data, size_t size, uint64_t timestamp, uint32_t samples,
                             int64_t arrivalNs, const Sink& sink) {
    RtspAudioFrame frame;
    frame.codec = mCodec;
    frame.sampleRate = mSampleRate;
    frame.channels = mChannels;
    frame.bitsPerSample = mBits;
    frame.config = mConfig.empty() ? nullptr : mConfig.data();
    frame.configSize = mConfig.size();
    frame.data = data;
    frame.size = size;
    frame.samples = samples;
    frame.rtpTimestamp = timestamp;
    frame.clockRate = mClockRate;
    frame.arrivalNs = arrivalNs;
    if (mSenderClock.valid) {
        frame.presentationNs = FrameAssembler::wallClockNs(mSenderClock, timestamp, mClockRate);
        frame.presentationFromSenderReport = true;
    } else {
        // The packet's first sample arrived with it; later units of the packet follow at their pace.
        const int64_t offset =
            static_cast<int64_t>(timestamp - mExtendedTimestamp) * 1000000000LL / mClockRate;
        frame.presentationNs = FrameAssembler::arrivalWallClockNs(arrivalNs) + offset;
    }
    frame.lostBefore = mLost;
    mLost = 0;
    if (sink) sink(frame);
}

void AudioDepacketizer::pushGeneric(const uint8_t* payload, size_t size, bool marker, uint64_t timestamp,
                                    int64_t arrivalNs, const Sink& sink) {
    // RFC 3640 3.2: AU-headers-length (bits) and the AU headers, the auxiliary section, the AUs.
    uint32_t sizes[kMaxUnitsPerPacket];
    uint32_t steps[kMaxUnitsPerPacket];  // access units from the previous one (1 + index delta)
    uint32_t count = 0;
    size_t pos = 0;
    const bool headers = mSizeLength + mIndexLength + mIndexDeltaLength + mCtsDeltaLength + mDtsDeltaLength +
                             mStreamStateLength + (mRandomAccess ? 1 : 0) >
                         0;
    if (headers) {
        if (size < 2) return;
        const uint32_t bits = readBe16(payload);
        const size_t bytes = (bits + 7) / 8;
        if (bytes > size - 2) return;
        BitReader r(payload + 2, bytes);
        while (r.position() < bits && count < kMaxUnitsPerPacket) {
            uint32_t auSize = mConstantSize, index = 0, flag = 0, v = 0;
            if (mSizeLength > 0 && !r.read(mSizeLength, &auSize)) return;
            if (!r.read(count == 0 ? mIndexLength : mIndexDeltaLength, &index)) return;
            if (mCtsDeltaLength > 0 && (!r.read(1, &flag) || (flag && !r.read(mCtsDeltaLength, &v)))) return;
            if (mDtsDeltaLength > 0 && (!r.read(1, &flag) || (flag && !r.read(mDtsDeltaLength, &v)))) return;
            if (mRandomAccess && !r.read(1, &v)) return;
            if (mStreamStateLength > 0 && !r.read(mStreamStateLength, &v)) return;
            if (r.position() > bits) return;  // a header cut by AU-headers-length
            sizes[count] = auSize;
            steps[count] = count == 0 ? 0 : index + 1;
            ++count;
        }
        pos = 2 + bytes;
    }
    if (mAuxSizeLength > 0) {
        BitReader r(payload + pos, size - pos);
        uint32_t auxBits = 0;
        if (!r.read(mAuxSizeLength, &auxBits)) return;
        const size_t auxBytes = (size_t(mAuxSizeLength) + auxBits + 7) / 8;
        if (auxBytes > size - pos) return;
        pos += auxBytes;
    }
    const uint8_t* data = payload + pos;
    size_t left = size - pos;
    if (!headers) {  // constant-size units without headers
        for (; count < kMaxUnitsPerPacket && (count + 1) * size_t(mConstantSize) <= left; ++count) {
            sizes[count] = mConstantSize;
            steps[count] = count == 0 ? 0 : 1;
        }
    }
    const uint32_t stamp = static_cast<uint32_t>(timestamp);
    if (mGathering && (count != 1 || stamp != mGatherTimestamp || sizes[0] != mGatherExpected))
        dropGathered();
    // RFC 3640 3.2.3: one AU larger than the packet goes in fragments, each with its AU header.
    if (count == 1 && (mGathering || sizes[0] > left)) {
        if (!mGathering) {
            // The rest of a unit whose first fragments were lost.
            if (mDroppedKnown && stamp == mDroppedTimestamp) return;
            if (sizes[0] > kMaxAccessUnitBytes) {
                ++mDropped;
                return;
            }
            mGathering = true;
            mGatherTimestamp = stamp;
            mGatherExpected = sizes[0];
        }
        if (left > mGatherExpected - mGathered.size()) {
            dropGathered();
            return;
        }
        mGathered.insert(mGathered.end(), data, data + left);
        if (mGathered.size() == mGatherExpected) {
            std::vector<uint8_t> unit;
            unit.swap(mGathered);
            mGathering = false;
            emit(unit.data(), unit.size(), timestamp, mAuDuration, arrivalNs, sink);
        } else if (marker) {
            dropGathered();  // the last fragment came, the unit is still short
        }
        return;
    }
    uint64_t at = timestamp;
    for (uint32_t i = 0; i < count; ++i) {
        at += uint64_t(steps[i]) * mAuDuration;
        if (sizes[i] > left) {
            mDropped += count - i;  // the packet ends inside this unit
            return;
        }
        if (sizes[i] > 0) emit(data, sizes[i], at, mAuDuration, arrivalNs, sink);
        data += sizes[i];
        left -= sizes[i];
    }
}

void AudioDepacketizer::pushLatm(const uint8_t* payload, size_t size, bool marker, uint64_t timestamp,
                                 int64_t arrivalNs, const Sink& sink) {
    // RFC 6416 6.1: an audioMuxElement larger than a packet is spread over packets of one
    // timestamp; the marker bit is set on the packet that ends it.
    const uint32_t stamp = static_cast<uint32_t>(timestamp);
    if (mGathering && stamp != mGatherTimestamp) dropGathered();
    if (!marker || mGathering) {
        if (mGathered.size() + size > kMaxAccessUnitBytes) {
            mGathering = true;
            dropGathered();
            return;
        }
        if (!mGathering) mGatherTimestamp = stamp;
        mGathering = true;
        mGathered.insert(mGathered.end(), payload, payload + size);
        if (!marker) return;
    }
    std::vector<uint8_t> element;
    if (mGathering) {
        element.swap(mGathered);
        mGathering = false;
        payload = element.data();
        size = element.size();
    }
    BitReader r(payload, size);
    std::vector<uint8_t> unit;
    uint64_t at = timestamp;
    for (uint32_t units = 0; r.left() >= 8 && units < kMaxUnitsPerPacket;) {
        if (mMuxConfigInBand) {
            uint32_t same = 0;
            if (!r.read(1, &same)) return;
            if (!same) {
                AacConfig aac;
                std::vector<uint8_t> asc;
                if (!readStreamMuxConfig(r, payload, size, &asc, &aac, &mSubFrames)) {
                    ++mDropped;
                    return;
                }
                if (mConfig.empty()) {
                    mSampleRate = aac.outputRate;
                    mChannels = aac.channels;
                }
                mConfig = asc;
            }
            if (mConfig.empty()) return;  // nothing to decode with before the first configuration
        }
        for (uint32_t sub = 0; sub < mSubFrames; ++sub, ++units) {
            // PayloadLengthInfo(): bytes of 255 add up until a smaller one ends the length.
            size_t length = 0;
            uint32_t byte = 255;
            while (byte == 255) {
                if (!r.read(8, &byte)) return;
                length += byte;
            }
            if (length > r.left() / 8) {
                ++mDropped;
                return;
            }
            const uint8_t* data = payload + r.position() / 8;
            if (r.position() % 8 != 0) {  // in-band configurations leave the units unaligned
                unit = copyBits(payload, size, r.position(), length * 8);
                data = unit.data();
            }
            r.skip(length * 8);
            if (length > 0) emit(data, length, at, mAuDuration, arrivalNs, sink);
            at += mAuDuration;
        }
        if (mMuxConfigInBand) r.skip((8 - r.position() % 8) % 8);
    }
}

void AudioDepacketizer::pushG726(const uint8_t* payload, size_t size, uint64_t timestamp, int64_t arrivalNs,
                                 const Sink& sink) {
    if (mBits < 2 || mBits > 5) return;
    const size_t words = size * 8 / mBits;
    if (words < mChannels) return;
    if (!mAal2) {
        emit(payload, size, timestamp, static_cast<uint32_t>(words / mChannels), arrivalNs, sink);
        return;
    }
    // AAL2 (ITU-T I.366.2) packs the first code word into the most significant bits; RFC 3551
    // 4.5.4 into the least significant ones.
    std::vector<uint8_t> out(size, 0);
    BitReader r(payload, size);
    for (size_t i = 0; i < words; ++i) {
        uint32_t word = 0;
        r.read(mBits, &word);
        for (uint32_t b = 0; b < mBits; ++b) {
            const size_t bit = i * mBits + b;
            if ((word >> b) & 1u) out[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
    }
    emit(out.data(), out.size(), timestamp, static_cast<uint32_t>(words / mChannels), arrivalNs, sink);
}
