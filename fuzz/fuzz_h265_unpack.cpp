// The H.265 depacketizer fed arbitrary RTP packet sequences, with the default options and with
// aggregation packets and every NAL unit type on; every delivered buffer must be Annex-B and the
// fragment list must agree with its counts after every packet.
#include "fuzz/packet_sequence.h"
#include "units/unit_rtp_h265_unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int run = 0; run < 2; ++run) {
        fuzz::CheckingSink sink;
        RtpH265UnpackUnitSM unit;
        unit.setOptions(fuzz::optionsFor(run));
        unit.addOutputUnit(&sink.unit(), true);
        fuzz::feedPackets(data, size, &unit, [&] { return unit.checkInvariants(); });
    }
    return 0;
}
