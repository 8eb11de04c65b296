// The H.264 depacketizer fed arbitrary RTP packet sequences (every delivered buffer must be
// Annex-B, the queues must agree with their counts after every packet), with the default options
// and with aggregation packets and marker completion on; and its parameter-set splitter fed the
// same bytes.
#include "fuzz/packet_sequence.h"
#include "units/unit_rtp_h264_unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int run = 0; run < 2; ++run) {
        fuzz::CheckingSink sink;
        RtpH264UnpackUnitSM unit;
        unit.setOptions(fuzz::optionsFor(run));
        unit.addOutputUnit(&sink.unit(), true);
        fuzz::feedPackets(data, size, &unit, [&] { return unit.checkInvariants(); });
        unit.flush();
        if (!unit.checkInvariants()) abort();
    }
    // The same bytes as Annex-B data for the parameter-set splitter.
    RtpH264UnpackUnitSM unit;
    std::shared_ptr<QelBuffer> in = QelBuffer::createMallocBuffer(size + 1, nullptr);
    memcpy(in->getVaddr(), data, size);
    in->length = size;
    std::shared_ptr<QelBuffer> sps, pps;
    unit.parseExtraPacket(in, sps, pps);
    return 0;
}
