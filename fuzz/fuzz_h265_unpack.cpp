// The H.265 depacketizer fed arbitrary RTP packet sequences; every delivered buffer must be Annex-B.
#include "fuzz/packet_sequence.h"
#include "units/unit_rtp_h265_unpack.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return fuzz::quietLogs();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::CheckingSink sink;
    RtpH265UnpackUnitSM unit;
    unit.addOutputUnit(&sink.unit(), true);
    fuzz::feedPackets(data, size, &unit);
    return 0;
}
