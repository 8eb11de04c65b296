#include "testkit/stream_info_unit.h"

#include <cmath>

namespace {
constexpr unsigned long kStartCodeSize = 4;
}

namespace testkit {

AnnexBPiece classifyPiece(VideoCodec codec, const uint8_t* data, size_t len) {
    AnnexBPiece piece;
    if (data == nullptr || len <= kStartCodeSize) return piece;
    const uint8_t* nal = data + kStartCodeSize;
    if (codec == VideoCodec::H264) {
        piece.nalType = nal[0] & 0x1F;
        piece.slice = piece.nalType >= 1 && piece.nalType <= 5;
        piece.picture = piece.slice;
        piece.parameterSet = piece.nalType == 7 || piece.nalType == 8;
    } else {
        piece.nalType = (nal[0] >> 1) & 0x3F;
        // H.265 7.3.6.1: first_slice_segment_in_pic_flag is the first bit after the 2-byte header.
        piece.slice = piece.nalType <= 31;
        piece.picture = piece.slice && len > kStartCodeSize + 2 && (nal[2] & 0x80) != 0;
        piece.parameterSet = piece.nalType >= 32 && piece.nalType <= 34;
    }
    return piece;
}

}  // namespace testkit

StreamInfoUnitSE::StreamInfoUnitSE()
    : Unit<SlaveInput, EndpointOutput>("STREAMINFO_UNIT_SE", UNIT_DATA_H26X, 2, UNIT_DATA_ANY, 1) {}

StreamInfoUnitSE::~StreamInfoUnitSE() {
    stopAsyncTransmit();
}

unsigned long StreamInfoUnitSE::onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                             int inputIndex, int /*param*/) {
    // The depacketizers deliver every parameter set on its own, behind a 4-byte start code.
    if (!buffer || length <= kStartCodeSize || length > buffer->length) return length;
    const uint8_t* nal = static_cast<const uint8_t*>(buffer->getVaddr()) + kStartCodeSize;
    size_t nalLength = length - kStartCodeSize;
    testkit::VideoCodec codec = inputIndex == 1 ? testkit::VideoCodec::H265 : testkit::VideoCodec::H264;
    testkit::SpsInfo info;
    if (!testkit::parseSps(codec, nal, nalLength, &info)) return length;
    mWidth.store(info.width);
    mHeight.store(info.height);
    mFps.store(static_cast<uint32_t>(std::lround(info.fps)));
    mProfile.store(info.profile);
    mLevel.store(info.level);
    return length;
}

testkit::SpsInfo StreamInfoUnitSE::latest() const {
    testkit::SpsInfo info;
    info.width = mWidth.load();
    info.height = mHeight.load();
    info.fps = mFps.load();
    info.profile = mProfile.load();
    info.level = mLevel.load();
    return info;
}
