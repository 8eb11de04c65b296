#ifndef QUORVANE_TOOLS_MEDIA_WRITER_H
#define QUORVANE_TOOLS_MEDIA_WRITER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Where the recorder's frames go: a raw Annex-B stream, or an MP4 / Matroska file written by
// FFmpeg's libavformat (when the tools were built with it).
enum class MediaFormat { AnnexB, Mp4, Matroska };

struct MediaTrack {
    bool h265 = false;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> parameterSets;  // Annex-B VPS/SPS/PPS of the first keyframe
};

class MediaWriter {
public:
    virtual ~MediaWriter() = default;
    // One access unit in Annex-B form, in decode order. `pts`, `dts` (rising, at most `pts`) and
    // `duration` in 1/90000 s from the file's start.
    virtual bool write(const uint8_t* data, size_t size, int64_t pts, int64_t dts, int64_t duration,
                       bool keyframe) = 0;
    // Finishes the file (index, trailer); false when something could not be written.
    virtual bool close() = 0;
    // The system error or a message of the latest failure.
    std::string error;
};

// Bytes gathered before the file is written: a few large writes a second, not one per picture.
constexpr size_t kMediaWriteBuffer = 256 * 1024;

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
