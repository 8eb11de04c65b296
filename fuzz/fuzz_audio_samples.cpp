// The sample-carrying audio depacketizers fed arbitrary packet sequences: G.711 mu-law and A-law
// (mono, stereo), G.726 at every rate in both bit orders, and Opus.
#include "fuzz/audio_depacketize.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<RtspAudioTrack> tracks = {
        fuzz::audioTrack("PCMU", 8000, ""),
        fuzz::audioTrack("PCMA", 16000, "", 2),
        fuzz::audioTrack("G726-16", 8000, ""),
        fuzz::audioTrack("G726-24", 8000, ""),
        fuzz::audioTrack("AAL2-G726-32", 8000, ""),
        fuzz::audioTrack("AAL2-G726-40", 8000, "", 2),
        fuzz::audioTrack("opus", 48000, "sprop-stereo=1", 2),
    };
    fuzz::depacketizeAudio(data, size, tracks);
    return 0;
}
