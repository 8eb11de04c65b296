#ifndef QUORVANE_TESTKIT_STREAM_INFO_UNIT_H
#define QUORVANE_TESTKIT_STREAM_INFO_UNIT_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "testkit/sps_parser.h"
#include "units/unit.h"
#include "units/unit_rtp_h26x_unpack_base.h"

namespace testkit {

// What one piece of the depacketizers' Annex-B output (start code 00 00 00 01, then a NAL unit)
// begins with: the NAL unit type, and whether it begins a picture or is a parameter set.
struct AnnexBPiece {
    int nalType = -1;
    bool slice = false;         // coded picture data (a VCL NAL unit)
    bool picture = false;       // begins a picture: H.264 slices come as whole pictures; for H.265
                                // the first slice segment of a picture
    bool parameterSet = false;  // VPS, SPS or PPS
};
AnnexBPiece classifyPiece(VideoCodec codec, const uint8_t* data, size_t len);

}  // namespace testkit

// A sink for the Annex-B output of the video depacketizers that reads the picture size and rate
// from every SPS going past. Linked behind a depacketizer it answers that unit's getWidth,
// getHeight and getFPS (the depacketizer asks the first unit after it that implements IH264Unit);
// the parameter-set getters are the depacketizer's business and answer empty here.
//
// Inputs: the H.264 depacketizer at index 0 and the H.265 one at index 1, as the codec-detecting
// unit links them. onTransmitIn runs on the packet thread; the getters on any thread.
class StreamInfoUnitSE : public Unit<SlaveInput, EndpointOutput>, public IH264Unit {
public:
    StreamInfoUnitSE();
    ~StreamInfoUnitSE() override;

    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length, int inputIndex,
                               int param) override;

    std::shared_ptr<QelBuffer> getExtra() override { return nullptr; }
    std::shared_ptr<QelBuffer> getPps() override { return nullptr; }
    std::shared_ptr<QelBuffer> getSps() override { return nullptr; }
    std::shared_ptr<QelBuffer> getSei() override { return nullptr; }
    uint32_t getWidth() override { return mWidth.load(); }
    uint32_t getHeight() override { return mHeight.load(); }
    // Rounded to whole frames per second; 0 while no SPS with timing information was seen.
    uint32_t getFPS() override { return mFps.load(); }

    // The same values for an H.265 stream, which the depacketizers do not forward.
    testkit::SpsInfo latest() const;

private:
    std::atomic<uint32_t> mWidth{0};
    std::atomic<uint32_t> mHeight{0};
    std::atomic<uint32_t> mFps{0};
    std::atomic<uint8_t> mProfile{0};
    std::atomic<uint8_t> mLevel{0};
};

#endif
