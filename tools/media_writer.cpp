#include "tools/media_writer.h"

#include <cerrno>
#include <cstring>

#ifdef QUORVANE_HAVE_FFMPEG
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}
#endif

namespace {

class AnnexBWriter : public MediaWriter {
public:
    AnnexBWriter(FILE* out, bool flushEachFrame) : mOut(out), mFlush(flushEachFrame) {}
    bool write(const uint8_t* data, size_t size, int64_t, int64_t, bool) override {
        if (fwrite(data, 1, size, mOut) != size || (mFlush && fflush(mOut) != 0)) {
            error = strerror(errno);
            return false;
        }
        return true;
    }
    bool close() override {
        if (fflush(mOut) != 0) {
            error = strerror(errno);
            return false;
        }
        return true;
    }

private:
    FILE* mOut;
    bool mFlush;
};

#ifdef QUORVANE_HAVE_FFMPEG
std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof(text));
    return text;
}

// One video stream muxed by libavformat; the muxer turns the Annex-B parameter sets and
// pictures into the container's avcC/hvcC and length-prefixed samples.
class ContainerWriter : public MediaWriter {
public:
    ~ContainerWriter() override {
        if (mContext != nullptr) {
            if (mHeaderWritten && !mClosed) av_write_trailer(mContext);
            if (mContext->pb != nullptr) avio_closep(&mContext->pb);
            avformat_free_context(mContext);
        }
    }

    bool open(MediaFormat format, const std::string& path, int fd, const MediaTrack& track,
              std::string* why) {
        const char* name = format == MediaFormat::Mp4 ? "mp4" : "matroska";
        int rc = avformat_alloc_output_context2(&mContext, nullptr, name, nullptr);
        if (rc < 0 || mContext == nullptr) {
            *why = "libavformat has no " + std::string(name) + " muxer";
            return false;
        }
        AVStream* stream = avformat_new_stream(mContext, nullptr);
        if (stream == nullptr) {
            *why = "cannot add a stream";
            return false;
        }
        stream->time_base = AVRational{1, 90000};
        AVCodecParameters* par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = track.h265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
        par->width = static_cast<int>(track.width);
        par->height = static_cast<int>(track.height);
        if (!track.parameterSets.empty()) {
            par->extradata =
                static_cast<uint8_t*>(av_mallocz(track.parameterSets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (par->extradata == nullptr) {
                *why = "out of memory";
                return false;
            }
            memcpy(par->extradata, track.parameterSets.data(), track.parameterSets.size());
            par->extradata_size = static_cast<int>(track.parameterSets.size());
        }
        std::string url = fd >= 0 ? "pipe:" + std::to_string(fd) : "file:" + path;
        rc = avio_open(&mContext->pb, url.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) {
            *why = avError(rc);
            return false;
        }
        rc = avformat_write_header(mContext, nullptr);
        if (rc < 0) {
            *why = avError(rc);
            return false;
        }
        mHeaderWritten = true;
        mStream = stream;
        return true;
    }

    bool write(const uint8_t* data, size_t size, int64_t pts, int64_t duration, bool keyframe) override {
        AVPacket* packet = av_packet_alloc();
        if (packet == nullptr || av_new_packet(packet, static_cast<int>(size)) < 0) {
            av_packet_free(&packet);
            error = "out of memory";
            return false;
        }
        memcpy(packet->data, data, size);
        packet->stream_index = 0;
        packet->pts = packet->dts = av_rescale_q(pts, AVRational{1, 90000}, mStream->time_base);
        packet->duration = av_rescale_q(duration, AVRational{1, 90000}, mStream->time_base);
        if (keyframe) packet->flags |= AV_PKT_FLAG_KEY;
        int rc = av_interleaved_write_frame(mContext, packet);
        av_packet_free(&packet);
        if (rc < 0) {
            error = avError(rc);
            return false;
        }
        return true;
    }

    bool close() override {
        if (mClosed) return error.empty();
        mClosed = true;
        int rc = av_write_trailer(mContext);
        if (rc < 0) error = avError(rc);
        if (mContext->pb != nullptr) {
            avio_flush(mContext->pb);
            if (mContext->pb->error < 0 && error.empty()) error = avError(mContext->pb->error);
            avio_closep(&mContext->pb);
        }
        return error.empty();
    }

private:
    AVFormatContext* mContext = nullptr;
    AVStream* mStream = nullptr;
    bool mHeaderWritten = false;
    bool mClosed = false;
};
#endif

}  // namespace

bool mediaFormatAvailable(MediaFormat format) {
#ifdef QUORVANE_HAVE_FFMPEG
    (void)format;
    return true;
#else
    return format == MediaFormat::AnnexB;
#endif
}

std::unique_ptr<MediaWriter> openAnnexBWriter(FILE* out, bool flushEachFrame) {
    return std::make_unique<AnnexBWriter>(out, flushEachFrame);
}

std::unique_ptr<MediaWriter> openContainerWriter(MediaFormat format, const std::string& path, int fd,
                                                 const MediaTrack& track, std::string* why) {
#ifdef QUORVANE_HAVE_FFMPEG
    auto writer = std::make_unique<ContainerWriter>();
    if (!writer->open(format, path, fd, track, why)) return nullptr;
    return writer;
#else
    (void)format, (void)path, (void)fd, (void)track;
    *why = "this build has no FFmpeg (libavformat-dev) for MP4 and Matroska";
    return nullptr;
#endif
}
