// Shared by the audio depacketizer fuzz targets: one track description picked by the first input
// byte, then the packet sequence of packet_sequence.h; every frame must hold together.
#ifndef QUORVANE_FUZZ_AUDIO_DEPACKETIZE_H
#define QUORVANE_FUZZ_AUDIO_DEPACKETIZE_H

#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/packet_sequence.h"
#include "units/audio_depacketizer.h"

namespace fuzz {

inline RtspAudioTrack audioTrack(const char* encoding, uint32_t rate, const char* fmtp,
                                 uint32_t channels = 0) {
    RtspAudioTrack t;
    t.present = true;
    t.payloadType = 96;
    t.encoding = encoding;
    t.clockRate = rate;
    t.channels = channels;
    t.fmtp = fmtp;
    return t;
}

inline void depacketizeAudio(const uint8_t* data, size_t size, const std::vector<RtspAudioTrack>& tracks) {
    if (size < 1 || tracks.empty()) return;
    AudioDepacketizer depay;
    std::string why;
    check(depay.configure(tracks[data[0] % tracks.size()], &why));
    const size_t total = size - 1;
    forEachPacket(data + 1, total, [&](const std::shared_ptr<QelBuffer>& packet) {
        depay.push(
            static_cast<const uint8_t*>(packet->getVaddr()), packet->length, 0, [&](const RtspAudioFrame& f) {
                // Bytes of this run only, within bounds, with the track's description.
                check(f.data != nullptr && f.size > 0 && f.size <= AudioDepacketizer::kMaxAccessUnitBytes);
                check(f.size <= total * 2 && f.codec == depay.info().codec && f.clockRate != 0);
                check(f.configSize == depay.config().size());
                volatile uint8_t touch = f.data[0] ^ f.data[f.size - 1];
                (void)touch;
            });
    });
}

}  // namespace fuzz

#endif
