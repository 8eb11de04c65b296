// The codec-detecting depacketizer fed arbitrary RTP packet sequences, with the stream-info
// getters called on the way; every delivered buffer must be Annex-B.
#include "fuzz/packet_sequence.h"
#include "units/unit_rtp_video_unpack_ex.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return fuzz::quietLogs();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::CheckingSink sink;
    RtpVideoUnpackExUnitSM unit;
    unit.addOutputUnit(&sink.unit(), true);
    fuzz::feedPackets(data, size, &unit);
    // The getters split whatever parameter sets were stored.
    unit.getExtra();
    unit.getSps();
    unit.getPps();
    unit.getSei();
    return 0;
}
