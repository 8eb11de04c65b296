// The codec-detecting depacketizer fed arbitrary RTP packet sequences, with the stream-info
// getters called on the way, with the default options and with every option on; every delivered
// buffer must be Annex-B, at most one codec may be chosen and the inner queues must agree with
// their counts after every packet. A second session in the middle decides the codec again.
#include "fuzz/packet_sequence.h"
#include "units/unit_rtp_video_unpack_ex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int run = 0; run < 2; ++run) {
        fuzz::CheckingSink sink;
        RtpVideoUnpackExUnitSM unit;
        unit.setOptions(fuzz::optionsFor(run));
        unit.addOutputUnit(&sink.unit(), true);
        auto consistent = [&] { return unit.checkInvariants(); };
        const size_t half = size / 2;
        fuzz::feedPackets(data, half, &unit, consistent);
        RtspSessionInfo session;
        session.encoding = size > 0 && (data[0] & 1) ? "H265" : "h264";
        session.parameterSets = {{0x67, 0x42, 0x00, 0x1F}, {0x68, 0xCE}, {0x40, 0x01, 0x0C}, {}};
        unit.newSession(session);
        fuzz::feedPackets(data + half, size - half, &unit, consistent);
        unit.flush();
        // The getters split whatever parameter sets were stored.
        unit.getExtra();
        unit.getSps();
        unit.getPps();
        unit.getSei();
    }
    return 0;
}
