// The MP4A-LATM (RFC 6416) AAC depacketizer fed arbitrary packet sequences: mux configurations
// from the SDP (one and two subframes, audioMuxVersion 1) and in band.
#include "fuzz/audio_depacketize.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<RtspAudioTrack> tracks = {
        fuzz::audioTrack("MP4A-LATM", 44100, "cpresent=0;config=400024203fc0"),
        fuzz::audioTrack("MP4A-LATM", 16000, "cpresent=0;config=410028103fc0"),
        fuzz::audioTrack("MP4A-LATM", 48000, "cpresent=0;config=80080001011901fe00"),
        fuzz::audioTrack("MP4A-LATM", 44100, "cpresent=1"),
    };
    fuzz::depacketizeAudio(data, size, tracks);
    return 0;
}
