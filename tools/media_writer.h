#ifndef QUORVANE_TOOLS_MEDIA_WRITER_H
#define QUORVANE_TOOLS_MEDIA_WRITER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "rtsp_audio_frame.h"

// Where the recorder's frames go: a raw Annex-B stream, or an MP4 / Matroska file written by
// FFmpeg's libavformat (when the tools were built with it).
enum class MediaFormat { AnnexB, Mp4, Matroska };

// The camera's sound beside the video: no audio stream while codec is Unknown.
struct MediaAudioTrack {
    RtspAudioCodec codec = RtspAudioCodec::Unknown;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;   // G.726: 2 to 5
    std::vector<uint8_t> config;  // AAC AudioSpecificConfig, Opus identification header
};

struct MediaTrack {
    bool h265 = false;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> parameterSets;  // Annex-B VPS/SPS/PPS of the first keyframe
    MediaAudioTrack audio;
};

class MediaWriter {
public:
    virtual ~MediaWriter() = default;
    // One access unit in Annex-B form, in decode order. `pts`, `dts` (rising, at most `pts`) and
    // `duration` in 1/90000 s from the file's start.
    virtual bool write(const uint8_t* data, size_t size, int64_t pts, int64_t dts, int64_t duration,
                       bool keyframe) = 0;
    // One audio frame of the track's codec (G.726 packed from the most significant bit), on the
    // video's timeline. Only writers opened with an audio track take it.
    virtual bool writeAudio(const uint8_t*, size_t, int64_t, int64_t) {
        error = "this output holds no audio";
        return false;
    }
    // Finishes the file (index, trailer); false when something could not be written.
    virtual bool close() = 0;
    // The system error or a message of the latest failure.
    std::string error;
};

// Bytes gathered before the file is written: a few large writes a second, not one per picture.
constexpr size_t kMediaWriteBuffer = 256 * 1024;

// Whether `format` holds `codec`'s frames as they come: MP4 takes AAC and Opus, Matroska those and
// G.711 and G.726, an Annex-B stream no sound at all.
bool mediaFormatHoldsAudio(MediaFormat format, RtspAudioCodec codec);
// Whether `format` can be written by this build.
bool mediaFormatAvailable(MediaFormat format);
// A writer on `out` (owned by the caller, Annex-B only; `flushEachFrame` for a pipe) or
// on the descriptor `fd` (containers; closed by the writer when `ownsFd`). A container on a
// descriptor that cannot seek (a pipe) must be one that streams (Matroska). Null, with the reason
// in `*why`, when it cannot be opened.
std::unique_ptr<MediaWriter> openAnnexBWriter(FILE* out, bool flushEachFrame);
std::unique_ptr<MediaWriter> openContainerWriter(MediaFormat format, int fd, bool ownsFd,
                                                 const MediaTrack& track, std::string* why);

#endif
