// The mpeg4-generic (RFC 3640) AAC depacketizer fed arbitrary packet sequences under several AU
// header layouts, and the AudioSpecificConfig reader fed the same bytes.
#include "fuzz/audio_depacketize.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<RtspAudioTrack> tracks = {
        fuzz::audioTrack("mpeg4-generic", 12000,
                         "mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;config=1490"),
        fuzz::audioTrack("mpeg4-generic", 16000, "mode=AAC-lbr;config=1408"),
        fuzz::audioTrack("MPEG4-GENERIC", 48000,
                         "mode=generic;sizelength=7;indexlength=1;indexdeltalength=2;ctsdeltalength=5;"
                         "dtsdeltalength=4;randomaccessindication=1;streamstateindication=3;"
                         "auxiliarydatasizelength=9"),
        fuzz::audioTrack("mpeg4-generic", 8000, "constantsize=7;constantduration=160", 1),
    };
    fuzz::depacketizeAudio(data, size, tracks);
    AacConfig config;
    for (size_t bit = 0; bit < 16 && bit < size * 8; ++bit) {
        size_t at = bit;
        if (readAacConfig(data, size, &at, &config)) fuzz::check(at <= size * 8 && config.channels > 0);
    }
    return 0;
}
