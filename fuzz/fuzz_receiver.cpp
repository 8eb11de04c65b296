// The receiver's handling of camera bytes outside the depacketizers: interleaved frames as libcurl
// hands them over (any channel, any length) and RTCP datagrams (the sender-report reading and the
// answer decision). Checks: every delivered packet is the frame minus its 4-byte header and holds
// at least an RTP header, frames on channels other than video RTP and audio are never delivered,
// a report is only taken when it fits in what arrived, and answers keep their minimum gap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/packet_sequence.h"
#include "testkit/unit_probes.h"
#include "units/unit_rtsp_client.h"
#include "units/unit_rtsp_client_internal.h"

using fuzz::check;

// Input, repeated until the data runs out: a control byte c, a length byte n, then n + 256 *
// (c >> 6) body bytes (cut short at the end). c & 1: the body is an RTCP datagram, otherwise an
// interleaved frame on channel (c >> 1) & 7 whose header gives the body's length, except on
// channel 5, where the body's first two bytes are the PLAY answer's RTP-Info seq.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ProbeUnitSM sink{"SINK", static_cast<UnitDataType>(UNIT_DATA_RTP_VIDEO | UNIT_DATA_RTP_AUDIO),
                     4,      UNIT_DATA_H26X,
                     1,      0};
    RtspClientUnitEM unit("rtsp://127.0.0.1:9/fuzz", "", "", true);
    static_cast<MasterOutput*>(&unit)->addOutputUnit(&sink, true);
    sink.enable();
    unit.UnitBase::enable();
    int64_t now = 1;
    int64_t lastAnswer = 0;
    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t c = data[pos];
        size_t n = data[pos + 1] + 256u * (c >> 6);
        pos += 2;
        if (n > size - pos) n = size - pos;
        const uint8_t* body = data + pos;
        pos += n;
        if (c & 1) {
            rtsp_receive_internal::SenderReport report;
            const bool parsed = rtsp_receive_internal::parseSenderReport(body, n, &report);
            check(!parsed || (n >= 28 && body[1] == 200));
            const int64_t before = lastAnswer;
            now += (c >> 1) * 50000000LL;
            auto verdict = rtsp_receive_internal::decideRtcp(body, n, (c & 2) != 0, (c & 4) != 0, 0, now,
                                                             &lastAnswer, &report);
            check(verdict == rtsp_receive_internal::RtcpVerdict::Ignore || parsed);
            if (verdict == rtsp_receive_internal::RtcpVerdict::Answer)
                check(before == 0 || now - before >= rtsp_receive_internal::kMinRtcpAnswerGapNs);
            continue;
        }
        const uint8_t channel = (c >> 1) & 7;
        if (channel == 5 && n >= 2) {
            RtspRtpInfo info;
            info.present = info.hasSeq = true;
            info.seq = static_cast<uint16_t>(body[0] << 8 | body[1]);
            unit.applyRtpInfo(info);
            continue;
        }
        std::vector<uint8_t> frame = {'$', channel, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        frame.insert(frame.end(), body, body + n);
        const size_t before = sink.calls().size();
        unit.fRecvTcpCallback(frame.data(), frame.size());
        const auto calls = sink.calls();
        check(calls.size() <= before + 1);
        if (calls.size() == before + 1) {
            check(channel == 0 || channel == 2);
            check(calls.back().length == n && n > 0);
            check(channel != 0 || n >= 12);
        }
    }
    return 0;
}
