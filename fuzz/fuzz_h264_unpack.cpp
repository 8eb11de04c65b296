// The H.264 depacketizer fed arbitrary RTP packet sequences (every delivered buffer must be
// Annex-B), and its parameter-set splitter fed the same bytes.
#include "fuzz/packet_sequence.h"
#include "units/unit_rtp_h264_unpack.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return fuzz::quietLogs();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::CheckingSink sink;
    RtpH264UnpackUnitSM unit;
    unit.addOutputUnit(&sink.unit(), true);
    fuzz::feedPackets(data, size, &unit);
    // The same bytes as Annex-B data for the parameter-set splitter.
    std::shared_ptr<QelBuffer> in = QelBuffer::createMallocBuffer(size + 1, nullptr);
    memcpy(in->getVaddr(), data, size);
    in->length = size;
    std::shared_ptr<QelBuffer> sps, pps;
    unit.parseExtraPacket(in, sps, pps);
    return 0;
}
