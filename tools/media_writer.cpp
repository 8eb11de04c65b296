#include "tools/media_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifdef QUORVANE_HAVE_FFMPEG
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}
#endif

namespace {

// Pictures gathered into writes of kMediaWriteBuffer bytes; on a pipe (standard output) each
// picture goes out at once, for whoever reads it live.
class AnnexBWriter : public MediaWriter {
public:
    AnnexBWriter(FILE* out, bool flushEachFrame) : mOut(out), mFlush(flushEachFrame) {
        if (!mFlush) mPending.reserve(kMediaWriteBuffer);
    }
    bool write(const uint8_t* data, size_t size, int64_t, int64_t, int64_t, bool) override {
        if (mFlush) return put(data, size) && flush();
        if (mPending.size() + size > kMediaWriteBuffer && !drain()) return false;
        if (size >= kMediaWriteBuffer) return put(data, size);
        mPending.insert(mPending.end(), data, data + size);
        return true;
    }
    bool close() override { return drain() && flush(); }

private:
    bool put(const uint8_t* data, size_t size) {
        if (fwrite(data, 1, size, mOut) == size) return true;
        error = strerror(errno);
        return false;
    }
    bool drain() {
        bool ok = mPending.empty() || put(mPending.data(), mPending.size());
        mPending.clear();
        return ok;
    }
    bool flush() {
        if (fflush(mOut) == 0) return true;
        error = strerror(errno);
        return false;
    }

    FILE* mOut;
    bool mFlush;
    std::vector<uint8_t> mPending;
};

#ifdef QUORVANE_HAVE_FFMPEG
std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof(text));
    return text;
}

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using AvioBytes = const uint8_t*;
#else
using AvioBytes = uint8_t*;
#endif

// One video stream muxed by libavformat; the muxer turns the Annex-B parameter sets and
// pictures into the container's avcC/hvcC and length-prefixed samples. Its output goes through
// an AVIO buffer of kMediaWriteBuffer bytes to the descriptor.
class ContainerWriter : public MediaWriter {
public:
    ~ContainerWriter() override {
        if (mContext != nullptr) {
            if (mHeaderWritten && !mClosed) av_write_trailer(mContext);
            avformat_free_context(mContext);
        }
        freeIo();
        if (mOwnsFd && mFd >= 0) ::close(mFd);
    }

    bool open(MediaFormat format, int fd, bool ownsFd, const MediaTrack& track, std::string* why) {
        mFd = fd;
        mOwnsFd = ownsFd;
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
        if (track.audio.codec != RtspAudioCodec::Unknown && !addAudio(track.audio, why)) return false;
        const bool seekable = lseek(fd, 0, SEEK_CUR) >= 0;
        uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kMediaWriteBuffer));
        mIo = buffer == nullptr ? nullptr
                                : avio_alloc_context(buffer, static_cast<int>(kMediaWriteBuffer), 1, this,
                                                     nullptr, &ContainerWriter::writeOut,
                                                     seekable ? &ContainerWriter::seekOut : nullptr);
        if (mIo == nullptr) {
            av_free(buffer);
            *why = "out of memory";
            return false;
        }
        mIo->seekable = seekable ? AVIO_SEEKABLE_NORMAL : 0;
        mContext->pb = mIo;
        mContext->flags |= AVFMT_FLAG_CUSTOM_IO;
        // Whole buffers to a file, not a write per picture; a pipe (standard output) gets each
        // picture at once, for whoever reads it live.
        mContext->flush_packets = seekable ? 0 : 1;
        rc = avformat_write_header(mContext, nullptr);
        if (rc < 0) {
            *why = mIoError.empty() ? avError(rc) : mIoError;
            return false;
        }
        mHeaderWritten = true;
        mStream = stream;
        return true;
    }

    bool writeAudio(const uint8_t* data, size_t size, int64_t pts, int64_t duration) override {
        if (mAudio == nullptr) return MediaWriter::writeAudio(data, size, pts, duration);
        return writePacket(mAudio, data, size, pts, pts, duration, true);
    }

    bool write(const uint8_t* data, size_t size, int64_t pts, int64_t dts, int64_t duration,
               bool keyframe) override {
        return writePacket(mStream, data, size, pts, dts, duration, keyframe);
    }

    bool writePacket(AVStream* stream, const uint8_t* data, size_t size, int64_t pts, int64_t dts,
                     int64_t duration, bool keyframe) {
        AVPacket* packet = av_packet_alloc();
        if (packet == nullptr || av_new_packet(packet, static_cast<int>(size)) < 0) {
            av_packet_free(&packet);
            error = "out of memory";
            return false;
        }
        memcpy(packet->data, data, size);
        packet->stream_index = stream->index;
        // The muxer may have chosen its own time base (Matroska: milliseconds).
        packet->pts = av_rescale_q(pts, AVRational{1, 90000}, stream->time_base);
        packet->dts = av_rescale_q(dts, AVRational{1, 90000}, stream->time_base);
        packet->duration = av_rescale_q(duration, AVRational{1, 90000}, stream->time_base);
        if (keyframe) packet->flags |= AV_PKT_FLAG_KEY;
        int rc = av_interleaved_write_frame(mContext, packet);
        av_packet_free(&packet);
        if (rc < 0) {
            error = mIoError.empty() ? avError(rc) : mIoError;
            return false;
        }
        return true;
    }

    bool close() override {
        if (mClosed) return error.empty();
        mClosed = true;
        int rc = av_write_trailer(mContext);
        if (rc < 0) error = mIoError.empty() ? avError(rc) : mIoError;
        avio_flush(mIo);
        if (mIo->error < 0 && error.empty()) error = mIoError.empty() ? avError(mIo->error) : mIoError;
        if (mOwnsFd && mFd >= 0) {
            if (::close(mFd) != 0 && error.empty()) error = strerror(errno);
            mFd = -1;
        }
        return error.empty();
    }

private:
    static int writeOut(void* opaque, AvioBytes data, int size) {
        ContainerWriter* self = static_cast<ContainerWriter*>(opaque);
        for (int done = 0; done < size;) {
            ssize_t n = ::write(self->mFd, data + done, static_cast<size_t>(size - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                self->mIoError = strerror(n < 0 ? errno : EIO);
                return AVERROR(n < 0 ? errno : EIO);
            }
            done += static_cast<int>(n);
        }
        return size;
    }
    static int64_t seekOut(void* opaque, int64_t offset, int whence) {
        ContainerWriter* self = static_cast<ContainerWriter*>(opaque);
        if (whence & AVSEEK_SIZE) {
            struct stat st;
            return fstat(self->mFd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
        }
        off_t at = lseek(self->mFd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
    }
    void freeIo() {
        if (mIo == nullptr) return;
        av_freep(&mIo->buffer);
        avio_context_free(&mIo);
    }

    int mFd = -1;
    bool mOwnsFd = false;
    AVIOContext* mIo = nullptr;
    std::string mIoError;

    // The sound as stream 1; the muxer is told the codec and its configuration, nothing is
    // decoded or encoded.
    bool addAudio(const MediaAudioTrack& audio, std::string* why) {
        AVStream* stream = avformat_new_stream(mContext, nullptr);
        if (stream == nullptr) {
            *why = "cannot add the audio stream";
            return false;
        }
        stream->time_base = AVRational{1, 90000};
        AVCodecParameters* par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        switch (audio.codec) {
            case RtspAudioCodec::Aac:
                par->codec_id = AV_CODEC_ID_AAC;
                break;
            case RtspAudioCodec::Opus:
                par->codec_id = AV_CODEC_ID_OPUS;
                break;
            case RtspAudioCodec::Pcmu:
                par->codec_id = AV_CODEC_ID_PCM_MULAW;
                break;
            case RtspAudioCodec::Pcma:
                par->codec_id = AV_CODEC_ID_PCM_ALAW;
                break;
            case RtspAudioCodec::G726:
                par->codec_id = AV_CODEC_ID_ADPCM_G726;
                break;
            case RtspAudioCodec::Unknown:
                break;
        }
        par->sample_rate = static_cast<int>(audio.sampleRate);
        if (audio.codec == RtspAudioCodec::Aac) par->frame_size = 1024;
        if (audio.codec == RtspAudioCodec::Opus) par->frame_size = 960;
        av_channel_layout_default(&par->ch_layout,
                                  static_cast<int>(audio.channels == 0 ? 1 : audio.channels));
        if (audio.codec == RtspAudioCodec::G726) {
            par->bits_per_coded_sample = static_cast<int>(audio.bitsPerSample);
            par->bit_rate = static_cast<int64_t>(audio.bitsPerSample) * audio.sampleRate;
            par->block_align = 1;
        } else if (audio.codec == RtspAudioCodec::Pcmu || audio.codec == RtspAudioCodec::Pcma) {
            par->bits_per_coded_sample = 8;
            par->block_align = static_cast<int>(audio.channels == 0 ? 1 : audio.channels);
        }
        if (!audio.config.empty()) {
            par->extradata =
                static_cast<uint8_t*>(av_mallocz(audio.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (par->extradata == nullptr) {
                *why = "out of memory";
                return false;
            }
            memcpy(par->extradata, audio.config.data(), audio.config.size());
            par->extradata_size = static_cast<int>(audio.config.size());
        }
        mAudio = stream;
        return true;
    }

    AVFormatContext* mContext = nullptr;
    AVStream* mStream = nullptr;
    AVStream* mAudio = nullptr;
    bool mHeaderWritten = false;
    bool mClosed = false;
};
#endif

}  // namespace

bool mediaFormatHoldsAudio(MediaFormat format, RtspAudioCodec codec) {
    if (format == MediaFormat::AnnexB || codec == RtspAudioCodec::Unknown) return false;
    return format == MediaFormat::Matroska || codec == RtspAudioCodec::Aac || codec == RtspAudioCodec::Opus;
}

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

std::unique_ptr<MediaWriter> openContainerWriter(MediaFormat format, int fd, bool ownsFd,
                                                 const MediaTrack& track, std::string* why) {
#ifdef QUORVANE_HAVE_FFMPEG
    auto writer = std::make_unique<ContainerWriter>();
    if (!writer->open(format, fd, ownsFd, track, why)) return nullptr;
    return writer;
#else
    if (ownsFd && fd >= 0) close(fd);
    (void)format, (void)track;
    *why = "this build has no FFmpeg (libavformat-dev) for MP4 and Matroska";
    return nullptr;
#endif
}
