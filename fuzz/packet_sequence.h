// Shared by the depacketizer fuzz targets: turns fuzzer input into a sequence of RTP packets and
// checks what the depacketizer delivers.
#ifndef QUORVANE_FUZZ_PACKET_SEQUENCE_H
#define QUORVANE_FUZZ_PACKET_SEQUENCE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "platform/buffer.h"
#include "rtsp_client_options.h"
#include "units/unit.h"
#include "units/unit_callback_endpoint.h"
#include "utils/slog.h"

namespace fuzz {

// Input format, repeated until the data runs out: a control byte c and a length byte n, then the
// packet body of n + 256 * (c & 3) bytes (cut short at the end of the input).
//   c & 0x10: the body is the whole packet as it stands (any length, even under 12 bytes);
//   otherwise a 12-byte RTP header is put in front: sequence number one past the previous
//   (c & 0x04: the next four body bytes instead give a sequence number delta and a timestamp
//   step), marker bit from c & 0x08.
// Each packet is handed to `take` in a buffer of exactly its length (plus one spare byte).
inline void forEachPacket(const uint8_t* data, size_t size,
                          const std::function<void(const std::shared_ptr<QelBuffer>&)>& take) {
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    size_t pos = 0;
    while (size - pos >= 2) {
        const uint8_t control = data[pos];
        size_t n = data[pos + 1] + 256u * (control & 3u);
        pos += 2;
        if (n > size - pos) n = size - pos;
        const uint8_t* body = data + pos;
        pos += n;
        size_t header = 12;
        if (control & 0x10) {
            header = 0;
        } else if ((control & 0x04) && n >= 4) {
            seq = static_cast<uint16_t>(seq + (body[0] << 8 | body[1]));
            timestamp += static_cast<uint32_t>(body[2] << 8 | body[3]);
            body += 4;
            n -= 4;
        } else {
            seq = static_cast<uint16_t>(seq + 1);
        }
        // One spare byte keeps a zero-length packet a real buffer.
        std::shared_ptr<QelBuffer> packet = QelBuffer::createMallocBuffer(header + n + 1, nullptr);
        uint8_t* p = static_cast<uint8_t*>(packet->getVaddr());
        if (header != 0) {
            p[0] = 0x80;
            p[1] = static_cast<uint8_t>((control & 0x08 ? 0x80 : 0) | 96);
            p[2] = static_cast<uint8_t>(seq >> 8);
            p[3] = static_cast<uint8_t>(seq);
            for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
            memset(p + 8, 0x5A, 4);
        }
        if (n > 0) memcpy(p + header, body, n);
        packet->length = header + n;
        take(packet);
    }
}

// The packets of forEachPacket, each handed to `input` as position 0 of its input list; after
// each, `consistent` (when given) must hold, or the run aborts.
inline void feedPackets(const uint8_t* data, size_t size, SlaveInput* input,
                        const std::function<bool()>& consistent = nullptr) {
    forEachPacket(data, size, [&](const std::shared_ptr<QelBuffer>& packet) {
        input->onTransmitIn(packet, packet->length, 0, 0);
        if (consistent && !consistent()) abort();
    });
}

// A sink that aborts the run when a delivered buffer is not Annex-B: at least a start code and
// one byte, starting with 00 00 00 01.
class CheckingSink {
public:
    CheckingSink() {
        mUnit.callback = [](unsigned char* data, unsigned long len, int inputIndex, int) -> unsigned long {
            if (data == nullptr || len < 5 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1 ||
                inputIndex < 0 || inputIndex > 1) {
                abort();
            }
            return len;
        };
        mUnit.enable();
    }
    CallBackEndpointUnitSE& unit() { return mUnit; }

private:
    CallBackEndpointUnitSE mUnit;
};

// The options a run is repeated with: the defaults, and every depacketizer option on (aggregation
// packets unpacked, all H.265 types, marker completion).
inline RtspClientOptions optionsFor(int run) {
    return run == 0 ? RtspClientOptions() : RtspClientOptions::mixedFleet();
}

// Log lines are formatted but not printed: a run writes thousands.
}  // namespace fuzz

// Every target that reads packet sequences runs with the library's log lines off.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SLog::setEnable(false);
    return 0;
}

#endif
