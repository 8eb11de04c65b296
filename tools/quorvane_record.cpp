// quorvane-record: records a camera's H.264 or H.265 stream with one RtspClient, through the
// library's public API only: whole frames with their timestamps go into an Annex-B file (or
// standard output), or into MP4 / Matroska through FFmpeg's libavformat, optionally cut into
// segments at keyframes; progress with loss and reconnects, until a duration, a frame count or
// Ctrl-C.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtsp_client.h"
#include "rtsp_log.h"
#include "tools/media_writer.h"
#include "tools/rtsp_url.h"
#include "tools/stop_signals.h"
#include "utils/h26x_sps_parser.h"
#include "utils/slog.h"
#include "utils/time_constants_internal.h"
#include "utils/utils.h"

namespace {

// Exit codes, one per way a recording can fail, so scripts can tell them apart.
enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,      // output cannot be written, or another failure
    kExitUsage = 2,        // bad command line
    kExitBadUrl = 3,       // the URL is not a usable rtsp:// URL
    kExitConnect = 4,      // connection refused, host unreachable or unknown, no answer
    kExitAuth = 5,         // the camera refused the credentials (401/403)
    kExitNoVideo = 6,      // connected, but no video arrived within the time-out
    kExitCameraError = 7,  // the camera answered with another error, or broke the protocol
};

const char* kUsage =
    "usage: quorvane-record URL [options]\n"
    "  URL                 rtsp://[user[:password]@]host[:port]/path, or rtsps:// for RTSP over\n"
    "                      TLS (port 322 by default), rtsph:// for RTSP tunnelled in HTTP (port 80\n"
    "                      by default); both always interleaved, as with --tcp\n"
    "  -o, --output FILE   write to FILE: .mp4 and .mkv as MP4 / Matroska, anything else as an\n"
    "                      Annex-B stream; '-' for standard output (Annex-B, or --format mkv)\n"
    "      --format F      annexb, mp4 or mkv, whatever the file name says\n"
    "      --segment S     a new file at the first keyframe after every S seconds; the file names\n"
    "                      get the start time in UTC (FILE-YYYYmmdd-HHMMSS.mmm.ext); a change of\n"
    "                      codec or picture size starts a new file too (without --segment:\n"
    "                      FILE-2.ext, FILE-3.ext, ...); no existing file is overwritten\n"
    "      --library-defaults  the library's default client options instead of the mixed-fleet preset\n"
    "      --user U        user name (overrides one in the URL)\n"
    "      --password P    password (overrides one in the URL)\n"
    "      --tcp | --udp   RTP interleaved in the RTSP connection, or over UDP (default)\n"
    "      --tls-ca FILE   rtsps: trust the certificates of this PEM file instead of the system's\n"
    "      --tls-pin PIN   rtsps: accept only this public key (sha256//BASE64; ';' between several),\n"
    "                      self-signed certificates included\n"
    "      --tls-insecure  rtsps: accept any certificate (INSECURE: for trying out a camera)\n"
    "      --http-tunnel   tunnel RTSP in HTTP on the URL's port (as rtsph:// does)\n"
    "      --multicast     ask the camera for RTP over UDP to a multicast group and join it\n"
    "      --duration S    stop after S seconds of recording\n"
    "      --frames N      stop after N pictures\n"
    "      --timeout S     give up when no video arrives within S seconds (default 10)\n"
    "      --audio         record the camera's sound too (MP4: AAC and Opus; Matroska: also G.711\n"
    "                      and G.726)\n"
    "      --info          connect, print codec, size and parameter sets, and exit\n"
    "  -q, --quiet         no progress line\n"
    "  -v, --verbose       also show the library's log\n"
    "exit codes: 0 done, 1 failure, 2 usage, 3 bad URL, 4 cannot connect, 5 authentication failed,\n"
    "            6 no video in time, 7 camera error\n";

struct Options {
    std::string url;
    std::string user;
    std::string password;
    bool userGiven = false;
    bool passwordGiven = false;
    bool tcp = false;
    std::string output;
    std::string format;  // --format as given
    double segment = 0;
    double duration = 0;
    uint64_t frames = 0;
    double timeout = 10;
    bool info = false;
    bool quiet = false;
    bool verbose = false;
    bool libraryDefaults = false;
    bool udpGiven = false;
    std::string tlsCa;
    std::string tlsPin;
    bool tlsInsecure = false;
    bool httpTunnel = false;
    bool multicast = false;
    bool audio = false;
};

double nowSeconds() {
    return static_cast<double>(Utils::getBeginTimestamp()) / 1e9;
}

bool parseNumber(const char* text, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0)) return false;
    *out = v;
    return true;
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && strcasecmp(s.c_str() + s.size() - suffix.size(), suffix.c_str()) == 0;
}

// The container the output is written in: --format, else the file name's extension.
MediaFormat outputFormat(const Options& o) {
    if (o.format == "mp4") return MediaFormat::Mp4;
    if (o.format == "mkv") return MediaFormat::Matroska;
    if (o.format == "annexb" || o.output == "-") return MediaFormat::AnnexB;
    if (endsWith(o.output, ".mp4")) return MediaFormat::Mp4;
    if (endsWith(o.output, ".mkv")) return MediaFormat::Matroska;
    return MediaFormat::AnnexB;
}

// False (after a message) when the command line cannot be used.
bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "quorvane-record: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            exit(kExitOk);
        } else if (a == "-o" || a == "--output") {
            if (!value(&v)) return false;
            o->output = v;
        } else if (a == "--format") {
            if (!value(&v)) return false;
            o->format = v;
            if (o->format != "annexb" && o->format != "mp4" && o->format != "mkv") {
                fprintf(stderr, "quorvane-record: --format wants annexb, mp4 or mkv, not '%s'\n", v);
                return false;
            }
        } else if (a == "--user") {
            if (!value(&v)) return false;
            o->user = v;
            o->userGiven = true;
        } else if (a == "--password") {
            if (!value(&v)) return false;
            o->password = v;
            o->passwordGiven = true;
        } else if (a == "--tcp") {
            o->tcp = true;
        } else if (a == "--udp") {
            o->tcp = false;
            o->udpGiven = true;
        } else if (a == "--tls-ca" || a == "--tls-pin") {
            if (!value(&v)) return false;
            (a == "--tls-ca" ? o->tlsCa : o->tlsPin) = v;
        } else if (a == "--tls-insecure") {
            o->tlsInsecure = true;
        } else if (a == "--http-tunnel") {
            o->httpTunnel = true;
        } else if (a == "--multicast") {
            o->multicast = true;
        } else if (a == "--duration" || a == "--timeout" || a == "--segment") {
            double d = 0;
            if (!value(&v)) return false;
            if (!parseNumber(v, &d)) {
                fprintf(stderr, "quorvane-record: %s wants a positive number of seconds, not '%s'\n",
                        a.c_str(), v);
                return false;
            }
            (a == "--duration" ? o->duration : a == "--timeout" ? o->timeout : o->segment) = d;
        } else if (a == "--frames") {
            double d = 0;
            if (!value(&v)) return false;
            if (!parseNumber(v, &d) || d != static_cast<double>(static_cast<uint64_t>(d))) {
                fprintf(stderr, "quorvane-record: --frames wants a positive whole number, not '%s'\n", v);
                return false;
            }
            o->frames = static_cast<uint64_t>(d);
        } else if (a == "--info") {
            o->info = true;
        } else if (a == "--audio") {
            o->audio = true;
        } else if (a == "--library-defaults") {
            o->libraryDefaults = true;
        } else if (a == "-q" || a == "--quiet") {
            o->quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            o->verbose = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            fprintf(stderr, "quorvane-record: unknown option %s\n", a.c_str());
            return false;
        } else if (o->url.empty()) {
            o->url = a;
        } else {
            fprintf(stderr, "quorvane-record: unexpected argument '%s'\n", a.c_str());
            return false;
        }
    }
    if (o->url.empty()) {
        fputs("quorvane-record: no camera URL given\n", stderr);
        return false;
    }
    if (!o->info && o->output.empty()) {
        fputs("quorvane-record: no output given: -o FILE, or -o - for standard output\n", stderr);
        return false;
    }
    if (o->output == "-" && outputFormat(*o) == MediaFormat::Mp4) {
        fputs("quorvane-record: MP4 cannot be streamed to standard output; use --format mkv\n", stderr);
        return false;
    }
    if (o->audio && !o->info && outputFormat(*o) == MediaFormat::AnnexB) {
        fputs("quorvane-record: --audio needs an MP4 or Matroska output (.mp4, .mkv or --format)\n", stderr);
        return false;
    }
    if (o->output == "-" && o->segment > 0) {
        fputs("quorvane-record: --segment needs a file name, not standard output\n", stderr);
        return false;
    }
    return true;
}

const char* codecName(RtspVideoCodec c) {
    return c == RtspVideoCodec::H264 ? "H.264" : c == RtspVideoCodec::H265 ? "H.265" : "-";
}

// NAL units of an Annex-B buffer whose units all start with 00 00 00 01 or 00 00 01, as the
// library hands them over: (offset, length) of each unit without its start code.
std::vector<std::pair<size_t, size_t>> nalUnits(const uint8_t* data, size_t size) {
    std::vector<std::pair<size_t, size_t>> units;
    size_t i = 0, begin = 0;
    bool inUnit = false;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (inUnit) {
                size_t end = i;
                while (end > begin && data[end - 1] == 0) --end;
                units.emplace_back(begin, end - begin);
            }
            i += 3;
            begin = i;
            inUnit = true;
        } else {
            ++i;
        }
    }
    if (inUnit && size > begin) units.emplace_back(begin, size - begin);
    return units;
}

// Decode times for pictures that arrive in decode order with their presentation times. When no
// picture has more than N pictures before it in decode order that are shown after it, the
// (N+1)-th largest presentation time seen so far rises strictly with every picture and is never
// later than the picture's own: a decode time as muxers want it. Streams without B-frames have
// N = 0 and keep dts = pts. N is learnt from the first pictures of a stream (a camera keeps its
// picture structure), which wait in a short queue meanwhile.
class DecodeClock {
public:
    static constexpr size_t kLearnPictures = 16;  // pictures held while N is learnt
    static constexpr size_t kMaxDepth = 15;

    bool decided() const { return mDecided; }
    void reset() {
        mDecided = false;
        mTop.clear();
        mLastDts = INT64_MIN;
    }
    // Learns N from the first pictures' presentation times and returns their decode times.
    std::vector<int64_t> decide(const std::vector<int64_t>& pts) {
        size_t depth = 0;
        for (size_t j = 0; j < pts.size(); ++j) {
            size_t later = 0;
            for (size_t i = 0; i < j; ++i) later += pts[i] > pts[j];
            depth = std::max(depth, later);
        }
        mDepth = std::min(depth, kMaxDepth);
        mDecided = true;
        std::vector<int64_t> sorted(pts);
        std::sort(sorted.begin(), sorted.end());
        int64_t step = 0;
        for (size_t i = 1; i < sorted.size(); ++i)
            if (sorted[i] > sorted[i - 1] && (step == 0 || sorted[i] - sorted[i - 1] < step))
                step = sorted[i] - sorted[i - 1];
        if (step == 0) step = 3600;
        std::vector<int64_t> dts(pts.size());
        std::vector<int64_t> ptsCopy(pts);
        for (size_t j = 0; j < pts.size(); ++j) dts[j] = next(&ptsCopy[j]);
        // The first N have fewer than N+1 pictures before them: they go a picture interval apart
        // before the first one that has.
        const size_t known = std::min(mDepth, pts.size() - 1);
        for (size_t j = known; j-- > 0;) dts[j] = std::min(dts[j + 1] - step, pts[j]);
        return dts;
    }
    // The decode time of the next picture. A picture shown earlier than the learnt depth allows
    // cannot get a decode time both rising and no later than its presentation time: its
    // presentation time moves up to it, and the depth grows for the pictures after it.
    int64_t next(int64_t* pts) {
        const bool full = mTop.size() == mDepth + 1;
        if (!full || (*pts < mTop[0] && mDepth < kMaxDepth)) {
            if (full) ++mDepth;
            mTop.insert(std::upper_bound(mTop.begin(), mTop.end(), *pts), *pts);
        } else if (*pts > mTop[0]) {
            mTop[0] = *pts;
            for (size_t i = 1; i < mTop.size() && mTop[i - 1] > mTop[i]; ++i) std::swap(mTop[i - 1], mTop[i]);
        }
        int64_t dts = mTop[0];
        if (mTop.size() < mDepth + 1) return dts;  // one of the first N: decide() spaces them
        if (mLastDts != INT64_MIN && dts <= mLastDts) dts = mLastDts + 1;
        if (*pts < dts) *pts = dts;
        mLastDts = dts;
        return dts;
    }

private:
    bool mDecided = false;
    size_t mDepth = 0;
    std::vector<int64_t> mTop;  // the N+1 largest presentation times, ascending
    int64_t mLastDts = INT64_MIN;
};

// What the frame callback found and wrote; shared between the packet thread and the main thread.
class Recorder {
public:
    struct Target {
        MediaFormat format = MediaFormat::AnnexB;
        std::string path;     // the file, or the name segments are derived from
        FILE* out = nullptr;  // Annex-B output opened by main (not segmented)
        int fd = -1;          // standard output's copy for a container
        bool flushEachFrame = false;
        double segment = 0;
        bool writeNothing = false;  // --info: the parameter sets are all that is wanted
        int wakeFd = -1;            // an eventfd the main thread waits on
    };

    // A jump of the camera's timestamps by more than this within a session (a clock set, a
    // restarted encoder) continues the timeline by the wall-clock time instead.
    static constexpr int64_t kMaxJumpTicks = 5 * 90000;

    Recorder(Target target, uint64_t frameLimit, double duration)
        : mTarget(std::move(target)), mFrameLimit(frameLimit), mDuration(duration) {
        size_t slash = mTarget.path.rfind('/');
        size_t dot = mTarget.path.rfind('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
            dot = mTarget.path.size();
        mStem = mTarget.path.substr(0, dot);
        mExtension = mTarget.path.substr(dot);
    }

    // With --audio: where the audio track's description comes from when a file is opened.
    void setAudioSource(std::function<RtspAudioStreamInfo()> source) { mAudioSource = std::move(source); }

    // One frame of the camera's sound: written on the file's timeline, which the video's RTP
    // timestamps make; the sound is placed by its presentation time against the latest picture's.
    void onAudio(const RtspAudioFrame& a) {
        if (a.data == nullptr || a.size == 0) return;
        std::lock_guard<std::mutex> lock(mMutex);
        if (mClosed || mDone || mWriteFailed) return;
        if (!mWriter) {
            // Sound that arrives before the file's first picture may belong with it: the latest
            // is kept until the file opens.
            if (!mAudioSource || mStarted) return;
            mEarlyAudio.push_back({std::vector<uint8_t>(a.data, a.data + a.size), a});
            if (mEarlyAudio.size() > kEarlyAudioFrames) mEarlyAudio.pop_front();
            return;
        }
        writeAudioLocked(a, a.data, a.size);
    }

    void onFrame(const RtspFrame& f) {
        if (f.data == nullptr || f.size == 0 || f.codec == RtspVideoCodec::Unknown) return;
        mDataSeen = true;
        std::lock_guard<std::mutex> lock(mMutex);
        if (mClosed || mDone || mWriteFailed) return;
        if (f.codec != mCodec) {
            // Parameter sets of another codec must not describe this one's track.
            mVps.clear(), mSps.clear(), mPps.clear();
            mCodec = f.codec;
            mSpsInfo = H26xSpsInfo();
        }
        if (f.parameterSets) keepParameterSets(f);
        // A file must begin with the parameter sets and a keyframe, or no player can decode it;
        // a new session begins with a keyframe too (what came before it is not there).
        if (!mStarted) {
            if (!f.parameterSets || !f.keyframe || mSps.empty()) return;
            mStarted = true;
            mUseRtpTime = f.hasRtpTimestamp;
            notifyMain();
        }
        if (mTarget.writeNothing) return;
        if (f.session != mSession) {
            mSession = f.session;
            mRebase = true;
            mNeedKeyframe = true;
        }
        if (mNeedKeyframe && !f.keyframe) return;
        mNeedKeyframe = false;
        const double now = static_cast<double>(f.arrivalNs) / 1e9;
        // The duration runs from the first picture; one that arrives about when it ends is the
        // first of the next span: the cut is half a picture interval early, so 10 s at 25 fps
        // are 250 pictures whatever the jitter.
        if (mFrames == 0) mStartTime = now;
        double interval =
            mFrames > 1 ? (mLastPictureTime - mStartTime) / static_cast<double>(mFrames - 1) : 0;
        if ((mFrameLimit != 0 && mFrames >= mFrameLimit) ||
            (mDuration > 0 && mFrames > 0 && now - mStartTime >= mDuration - interval / 2)) {
            finish();
            return;
        }
        int64_t pts = timelinePts(f);
        mLastArrivalNs = f.arrivalNs;
        // Another codec or picture size needs a file whose header says so: the next segment, or
        // a numbered continuation.
        const bool changed = mWriter && (f.codec != mFileCodec ||
                                         (f.parameterSets && mSpsInfo.width != 0 &&
                                          (mSpsInfo.width != mFileWidth || mSpsInfo.height != mFileHeight)));
        if (changed) {
            // Another stream: its picture order is learnt again.
            if (!f.keyframe || !f.parameterSets) {
                if (!finishWriter()) return;
                mClock.reset();
                mNeedKeyframe = true;
                return;
            }
            if (mTarget.out != nullptr && mTarget.flushEachFrame && f.codec == mFileCodec) {
                // Annex-B on standard output carries a new size in band.
                mFileWidth = mSpsInfo.width;
                mFileHeight = mSpsInfo.height;
            } else if (mTarget.flushEachFrame) {
                fail("the camera changed its codec or picture size; standard output holds one stream");
                return;
            } else if (!finishWriter()) {
                return;
            }
            mClock.reset();
        }
        // A segment ends at the first keyframe at or after its length (within half a frame, so
        // that arrival jitter does not push the cut one keyframe later).
        if (mWriter && mTarget.segment > 0 && f.keyframe &&
            static_cast<double>(pts - mSegmentStart + mInterval / 2) >= mTarget.segment * 90000.0) {
            if (!finishWriter()) return;
        }
        if (!mWriter) {
            // A file opens with a keyframe and the parameter sets of its codec.
            if (!f.keyframe || mSps.empty()) return;
            if (!openWriter(f)) return;
            mSegmentStart = pts;
        }
        if (!mClock.decided()) {
            mQueue.push_back(Queued{std::vector<uint8_t>(f.data, f.data + f.size), pts, f.keyframe});
            if (mQueue.size() >= DecodeClock::kLearnPictures && !writeQueue()) return;
        } else if (!writeFrame(f.data, f.size, pts, mClock.next(&pts), f.keyframe)) {
            return;
        }
        // The sound is placed against this picture: its time in the file, and its clocks.
        mAnchor = {pts - mSegmentStart, f.presentationNs, f.arrivalNs, f.presentationFromSenderReport, true};
        if (!mEarlyAudio.empty()) {
            std::deque<EarlyAudio> early;
            early.swap(mEarlyAudio);
            for (EarlyAudio& e : early) writeAudioLocked(e.frame, e.bytes.data(), e.bytes.size());
        }
        ++mFrames;
        mLastPictureTime = now;
        mBytes += f.size;
        if (mFrames == 1) notifyMain();
        if (mFrameLimit != 0 && mFrames >= mFrameLimit) finish();
    }

    // No more writes after this; returns false when a write or finishing the file failed.
    bool close() {
        std::lock_guard<std::mutex> lock(mMutex);
        mClosed = true;
        if (mWriter) finishWriter();
        return !mWriteFailed;
    }

    struct Snapshot {
        bool dataSeen, started, done, writeFailed;
        std::string writeError;
        uint64_t frames, bytes;
        double startTime, lastPictureTime;
        RtspVideoCodec codec;
        std::vector<uint8_t> vps, sps, pps;
        std::vector<std::string> files;
        uint64_t audioFrames;
    };
    Snapshot snapshot() {
        std::lock_guard<std::mutex> lock(mMutex);
        return Snapshot{
            mDataSeen.load(), mStarted, mDone, mWriteFailed, mWriteError, mFrames, mBytes,      mStartTime,
            mLastPictureTime, mCodec,   mVps,  mSps,         mPps,        mFiles,  mAudioFrames};
    }

private:
    struct Queued {
        std::vector<uint8_t> data;
        int64_t pts;
        bool keyframe;
    };

    // The frame's presentation time on the recording's one timeline, in 1/90000 s: its RTP
    // timestamp (the camera's pace, B-frames included) moved by an offset that is set again at
    // every new session and at every jump of the camera's clock, so that the timeline goes on
    // from the latest picture by the time that passed on the wall clock. Without RTP timestamps:
    // the SPS's frame rate, else the arrival time.
    int64_t timelinePts(const RtspFrame& f) {
        int64_t ticks;
        if (mUseRtpTime && f.hasRtpTimestamp) {
            ticks = static_cast<int64_t>(f.rtpTimestamp);
        } else if (mSpsInfo.fps > 0) {
            mMaxPts = mFrames == 0 ? 0 : mMaxPts + std::llround(90000.0 / mSpsInfo.fps);
            return mMaxPts;
        } else {
            ticks = f.arrivalNs / 1000 * 9 / 100;
        }
        if (mFrames == 0 && mQueue.empty()) {
            mOffset = -ticks;
            mMaxPts = 0;
            mRebase = false;
            return 0;
        }
        int64_t pts = ticks + mOffset;
        if (mRebase || pts > mMaxPts + kMaxJumpTicks || pts < mMaxPts - kMaxJumpTicks) {
            int64_t gap = (f.arrivalNs - mLastArrivalNs) / 1000 * 9 / 100;
            pts = mMaxPts + std::max(mInterval, gap);
            mOffset = pts - ticks;
            mRebase = false;
            mStepped = true;
        }
        mMaxPts = std::max(mMaxPts, pts);
        return pts;
    }

    bool writeFrame(const uint8_t* data, size_t size, int64_t pts, int64_t dts, bool keyframe) {
        // The file's first picture (a keyframe) is shown at 0; pictures decoded before it is shown
        // (B-frames) get negative decode times, which the muxers keep (MP4 with an edit list).
        if (!mFileOriginSet) {
            mFileOrigin = pts;
            mFileOriginSet = true;
        }
        // The picture interval: decode times rise by one a picture (B-frames or not), except
        // across a gap in the timeline.
        if (mLastDtsSet && !mStepped && dts - mLastDts > 0 && dts - mLastDts <= 90000)
            mInterval = dts - mLastDts;
        mStepped = false;
        mLastDts = dts;
        mLastDtsSet = true;
        if (!mWriter->write(data, size, pts - mFileOrigin, dts - mFileOrigin, mInterval, keyframe)) {
            fail(mWriter->error);
            return false;
        }
        return true;
    }

    // Learns the decode order from the pictures queued so far and writes them.
    bool writeQueue() {
        if (mQueue.empty()) return true;
        std::vector<int64_t> pts;
        for (const Queued& q : mQueue) pts.push_back(q.pts);
        std::vector<int64_t> dts = mClock.decide(pts);
        for (size_t i = 0; i < mQueue.size(); ++i) {
            const Queued& q = mQueue[i];
            if (!writeFrame(q.data.data(), q.data.size(), std::max(q.pts, dts[i]), dts[i], q.keyframe)) {
                mQueue.clear();
                return false;
            }
        }
        mQueue.clear();
        return true;
    }

    void finish() {
        mDone = true;
        notifyMain();
    }

    void notifyMain() {
        uint64_t one = 1;
        if (mTarget.wakeFd >= 0 && write(mTarget.wakeFd, &one, sizeof(one)) < 0) {
            // The counter is far from full: nothing to do.
        }
    }

    void keepParameterSets(const RtspFrame& f) {
        const bool h264 = f.codec == RtspVideoCodec::H264;
        for (auto unit : nalUnits(f.data, f.size)) {
            const uint8_t* nal = f.data + unit.first;
            if (unit.second == 0) continue;
            int type = h264 ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
            int index = h264 ? (type == 7   ? 1
                                : type == 8 ? 2
                                            : -1)
                             : (type >= 32 && type <= 34 ? type - 32 : -1);
            if (index < 0) continue;
            std::vector<uint8_t>* sets[] = {&mVps, &mSps, &mPps};
            sets[index]->assign(nal, nal + unit.second);
            if (index == 1) {
                H26xSpsInfo info;
                if ((h264 ? H26xSpsParser::parseH264 : H26xSpsParser::parseH265)(nal, unit.second, &info))
                    mSpsInfo = info;
            }
        }
    }

    // Parameter sets in Annex-B form, for a container's codec record.
    std::vector<uint8_t> parameterSetsAnnexB() const {
        std::vector<uint8_t> out;
        for (const std::vector<uint8_t>* set : {&mVps, &mSps, &mPps}) {
            if (set->empty()) continue;
            out.insert(out.end(), {0, 0, 0, 1});
            out.insert(out.end(), set->begin(), set->end());
        }
        return out;
    }

    // Creates the next file that does not exist yet: a segment named after the system clock
    // (UTC, to the millisecond), or a numbered continuation of the output. Never overwrites: a
    // name that is taken gets a counter. Returns the descriptor, or -1 after a failure.
    int createNextFile(std::string* path) {
        std::string base;
        if (mTarget.segment > 0) {
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            struct tm utc;
            gmtime_r(&ts.tv_sec, &utc);
            char stamp[48];
            size_t n = strftime(stamp, sizeof(stamp), "-%Y%m%d-%H%M%S", &utc);
            snprintf(stamp + n, sizeof(stamp) - n, ".%03ld", ts.tv_nsec / 1000000);
            base = mStem + stamp;
        }
        for (int n = 1; n < 10000; ++n) {
            if (base.empty() && n == 1) n = static_cast<int>(mFiles.size()) + 1;  // out-2, out-3, ...
            *path = base.empty() ? mStem + "-" + std::to_string(n) + mExtension
                                 : (n == 1 ? base : base + "-" + std::to_string(n)) + mExtension;
            int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0 || errno != EEXIST) {
                if (fd < 0) fail("cannot create " + *path + ": " + strerror(errno));
                return fd;
            }
        }
        fail("cannot create a file next to " + mTarget.path + ": every name is taken");
        return -1;
    }

    bool openWriter(const RtspFrame& f) {
        mFileOriginSet = false;
        mFileCodec = f.codec;
        mFileWidth = mSpsInfo.width;
        mFileHeight = mSpsInfo.height;
        // The first file of a recording without segments is the output itself (main opened it
        // for Annex-B); later ones, after a change of codec or size, are new files.
        const bool ownFile = mTarget.segment > 0 || !mFiles.empty();
        std::string path = mTarget.path;
        int fd = mTarget.fd;
        if (ownFile && (fd = createNextFile(&path)) < 0) return false;
        if (mTarget.format == MediaFormat::AnnexB) {
            FILE* out = mTarget.out;
            if (ownFile) {
                mSegmentFile.reset(fdopen(fd, "wb"));
                out = mSegmentFile.get();
                if (out == nullptr) {
                    ::close(fd);
                    remove(path.c_str());
                    return fail("cannot open " + path + ": " + strerror(errno));
                }
            }
            mWriter = openAnnexBWriter(out, mTarget.flushEachFrame);
        } else {
            MediaTrack track;
            track.h265 = f.codec == RtspVideoCodec::H265;
            track.width = mSpsInfo.width;
            track.height = mSpsInfo.height;
            track.parameterSets = parameterSetsAnnexB();
            if (mAudioSource) track.audio = audioTrack();
            mAudioMap = AudioMap();
            mAudioEnd = -1;
            mAnchor = Anchor();
            std::string why;
            bool ownsFd = ownFile;
            if (fd < 0) {
                fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd < 0) return fail("cannot write " + path + ": " + strerror(errno));
                ownsFd = true;
            }
            mWriter = openContainerWriter(mTarget.format, fd, ownsFd, track, &why);
            if (!mWriter) {
                if (ownFile) remove(path.c_str());
                return fail("cannot write " + (mTarget.fd >= 0 ? std::string("standard output") : path) +
                            ": " + why);
            }
        }
        if (path != "-") mFiles.push_back(path);
        return true;
    }

    bool finishWriter() {
        bool ok = writeQueue();
        ok = mWriter->close() && ok;
        if (!ok) fail(mWriter->error);
        mWriter.reset();
        if (mSegmentFile && fclose(mSegmentFile.release()) != 0 && ok) ok = fail(strerror(errno));
        return ok;
    }

    // The audio stream of the file about to be opened; none (with one message) when the camera
    // offers no sound this recorder keeps, or the container has no place for its codec.
    MediaAudioTrack audioTrack() {
        const RtspAudioStreamInfo info = mAudioSource();
        MediaAudioTrack audio;
        const char* names[] = {"-", "AAC", "G.711 mu-law", "G.711 A-law", "G.726", "Opus"};
        const char* name = names[static_cast<int>(info.codec)];
        if (info.codec == RtspAudioCodec::Unknown) {
            note("the camera sends no sound this recorder can keep: recording video only");
        } else if (!mediaFormatHoldsAudio(mTarget.format, info.codec)) {
            note(std::string("MP4 has no place for ") + name +
                 " sound: recording video only (.mkv keeps it)");
        } else if (info.codec == RtspAudioCodec::Aac && info.configSize == 0) {
            note("the camera's AAC configuration is not known yet: recording video only");
        } else {
            audio.codec = info.codec;
            audio.sampleRate = info.sampleRate;
            audio.channels = info.channels;
            audio.bitsPerSample = info.bitsPerSample;
            audio.config.assign(info.config, info.config + info.configSize);
        }
        mAudioInFile = audio.codec != RtspAudioCodec::Unknown;
        return audio;
    }

    void note(const std::string& text) {
        if (text == mLastNote) return;
        mLastNote = text;
        fprintf(stderr, "quorvane-record: %s\n", text.c_str());
    }

    void writeAudioLocked(const RtspAudioFrame& a, const uint8_t* data, size_t size) {
        if (!mAudioInFile || a.sampleRate == 0 || a.clockRate == 0 || !mAnchor.set) return;
        // Where the clocks put the frame against the latest picture: both on the camera's clock
        // (sender reports) or both on arrival, the difference of the presentation times; else the
        // difference of the arrival times.
        const bool cameraClock = a.presentationFromSenderReport && mAnchor.fromSenderReport;
        const int64_t deltaNs = a.presentationFromSenderReport == mAnchor.fromSenderReport
                                    ? a.presentationNs - mAnchor.presentationNs
                                    : a.arrivalNs - mAnchor.arrivalNs;
        const double placed = static_cast<double>(mAnchor.pts) + static_cast<double>(deltaNs) * 9e-5;
        // The sound then runs on its own RTP clock, without gaps or jitter. It is placed again
        // when both tracks first have sender reports and it is more than kAudioSlack off, and
        // when its timestamps jump (a new session).
        const double following =
            mAudioMap.pts +
            static_cast<double>(static_cast<int64_t>(a.rtpTimestamp - mAudioMap.rtp)) * 90000.0 / a.clockRate;
        if (!mAudioMap.set || std::fabs(placed - following) > 90000 ||
            (cameraClock && !mAudioMap.cameraClock && std::fabs(placed - following) > kAudioSlack)) {
            mAudioMap = {true, cameraClock, a.rtpTimestamp, placed};
        }
        mAudioMap.cameraClock = mAudioMap.cameraClock || cameraClock;
        const double pts =
            mAudioMap.pts +
            static_cast<double>(static_cast<int64_t>(a.rtpTimestamp - mAudioMap.rtp)) * 90000.0 / a.clockRate;
        if (pts < 0 || (mAudioEnd >= 0 && pts < mAudioEnd - 90)) return;  // before the file, or overlapping
        const uint32_t samples = a.samples != 0 ? a.samples : a.sampleRate / 50;
        const double duration = samples * 90000.0 / a.sampleRate;
        std::vector<uint8_t> msbFirst;
        if (a.codec == RtspAudioCodec::G726) {
            msbFirst = g726MsbFirst(data, size, a.bitsPerSample);
            data = msbFirst.data();
        }
        if (!mWriter->writeAudio(data, size, std::llround(pts), std::llround(duration))) {
            fail(mWriter->error);
            return;
        }
        mAudioEnd = pts + duration;
        ++mAudioFrames;
    }

    // G.726 code words packed from the least significant bit (RFC 3551) repacked from the most
    // significant one, as the WAVE / Matroska G.726 format holds them.
    static std::vector<uint8_t> g726MsbFirst(const uint8_t* data, size_t size, uint32_t bits) {
        std::vector<uint8_t> out(size, 0);
        if (bits < 2 || bits > 5) return out;
        const size_t words = size * 8 / bits;
        for (size_t i = 0; i < words; ++i) {
            uint32_t word = 0;
            for (uint32_t b = 0; b < bits; ++b) {
                const size_t bit = i * bits + b;
                word |= ((data[bit / 8] >> (bit % 8)) & 1u) << b;
            }
            for (uint32_t b = 0; b < bits; ++b) {
                const size_t bit = i * bits + b;
                if ((word >> (bits - 1 - b)) & 1u) out[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
            }
        }
        return out;
    }

    bool fail(const std::string& why) {
        if (!mWriteFailed) mWriteError = why;
        mWriteFailed = true;
        notifyMain();
        return false;
    }

    struct FileCloser {
        void operator()(FILE* f) const {
            if (f != nullptr) fclose(f);
        }
    };

    std::mutex mMutex;  // guards everything but mDataSeen
    Target mTarget;
    uint64_t mFrameLimit;
    double mDuration;
    std::string mStem, mExtension;  // of the output's name
    std::unique_ptr<MediaWriter> mWriter;
    std::unique_ptr<FILE, FileCloser> mSegmentFile;
    std::vector<std::string> mFiles;  // created so far, in order
    std::atomic<bool> mDataSeen{false};
    bool mStarted = false;
    bool mDone = false;
    bool mClosed = false;
    bool mWriteFailed = false;
    std::string mWriteError;
    bool mUseRtpTime = false;
    // The timeline.
    uint32_t mSession = 0;
    bool mRebase = false;
    bool mNeedKeyframe = false;
    int64_t mOffset = 0;       // timeline minus RTP timestamp in this stretch
    int64_t mMaxPts = 0;       // the latest picture's presentation time so far
    int64_t mInterval = 3600;  // between pictures, 1/90000 s
    bool mStepped = false;     // the timeline stepped over a gap since the latest picture written
    int64_t mLastDts = 0;
    bool mLastDtsSet = false;
    int64_t mLastArrivalNs = 0;
    DecodeClock mClock;
    std::vector<Queued> mQueue;  // pictures waiting while the clock learns their order
    // The file being written.
    RtspVideoCodec mFileCodec = RtspVideoCodec::Unknown;
    uint32_t mFileWidth = 0, mFileHeight = 0;
    int64_t mSegmentStart = 0;
    int64_t mFileOrigin = 0;  // timeline time of the file's first picture
    bool mFileOriginSet = false;
    uint64_t mFrames = 0;
    uint64_t mBytes = 0;
    double mStartTime = 0;  // arrival of the first picture written
    double mLastPictureTime = 0;
    RtspVideoCodec mCodec = RtspVideoCodec::Unknown;
    H26xSpsInfo mSpsInfo;  // of the latest SPS
    std::vector<uint8_t> mVps, mSps, mPps;

    // The sound (--audio).
    static constexpr size_t kEarlyAudioFrames = 32;
    static constexpr double kAudioSlack = 1800;  // 20 ms in 1/90000 s
    struct Anchor {
        int64_t pts = 0;  // of the latest picture, in the file
        int64_t presentationNs = 0;
        int64_t arrivalNs = 0;
        bool fromSenderReport = false;
        bool set = false;
    } mAnchor;
    struct EarlyAudio {
        std::vector<uint8_t> bytes;
        RtspAudioFrame frame;
    };
    std::function<RtspAudioStreamInfo()> mAudioSource;
    std::deque<EarlyAudio> mEarlyAudio;
    bool mAudioInFile = false;
    struct AudioMap {
        bool set = false;
        bool cameraClock = false;  // placed with both tracks' sender reports
        uint64_t rtp = 0;          // this RTP timestamp of the sound ...
        double pts = 0;            // ... is here in the file
    } mAudioMap;
    double mAudioEnd = -1;  // where the latest audio frame written ends
    uint64_t mAudioFrames = 0;
    std::string mLastNote;
};

std::string hex(const std::vector<uint8_t>& b) {
    std::string s;
    char two[4];
    for (size_t i = 0; i < b.size(); ++i) {
        snprintf(two, sizeof(two), i == 0 ? "%02x" : " %02x", b[i]);
        s += two;
    }
    return s;
}

std::string base64(const std::vector<uint8_t>& b) {
    std::vector<char> out(4 * ((b.size() + 2) / 3) + 1, '\0');
    Utils::base64encode(b.data(), b.size(), out.data());
    return std::string(out.data());
}

std::string bytesText(uint64_t bytes) {
    char s[32];
    if (bytes >= 10ull * 1024 * 1024)
        snprintf(s, sizeof(s), "%.1f MB", bytes / 1048576.0);
    else if (bytes >= 10ull * 1024)
        snprintf(s, sizeof(s), "%.1f kB", bytes / 1024.0);
    else
        snprintf(s, sizeof(s), "%" PRIu64 " B", bytes);
    return s;
}

// Why the first connection attempt failed, as a message and an exit code.
int explainConnectFailure(const RtspConnectStatus& status, const RtspUrl& url, bool haveCredentials,
                          bool multicast) {
    const RtspRequestResult& f = status.failure;
    std::string where = url.host + ":" + std::to_string(url.port);
    // A SETUP answered 461, or with a transport the library cannot receive by multicast; an error
    // of the system while joining the group.
    if (multicast && f.request == "SETUP" && f.curlCode == 0 && (f.status == 461 || f.status < 400)) {
        if (f.osErrno != 0)
            fprintf(stderr, "quorvane-record: cannot join the camera's multicast group: %s\n",
                    strerror(f.osErrno));
        else
            fprintf(stderr,
                    "quorvane-record: %s does not send this stream by multicast (run without --multicast)\n",
                    where.c_str());
        return kExitCameraError;
    }
    // libcurl result codes (curl/curl.h).
    enum {
        kUnsupportedProtocol = 1,
        kUrlMalformat = 3,
        kCouldNotResolve = 6,
        kCouldNotConnect = 7,
        kWeirdReply = 8,
        kTimedOut = 28,
        kSslConnectError = 35,
        kPeerFailedVerification = 60,
        kGotNothing = 52,
        kRecvError = 56
    };
    if (f.request.empty()) {
        fprintf(stderr, "quorvane-record: the library refused the URL %s\n", url.display.c_str());
        return kExitBadUrl;
    }
    if (f.curlCode == kUnsupportedProtocol || f.curlCode == kUrlMalformat) {
        fprintf(stderr, "quorvane-record: bad URL %s\n", url.display.c_str());
        return kExitBadUrl;
    }
    if (f.curlCode == kCouldNotResolve) {
        fprintf(stderr, "quorvane-record: cannot resolve host name '%s'\n", url.host.c_str());
        return kExitConnect;
    }
    if (f.curlCode == kCouldNotConnect) {
        if (f.osErrno == ECONNREFUSED)
            fprintf(stderr,
                    "quorvane-record: connection refused by %s (is the camera running, is the port right?)\n",
                    where.c_str());
        else
            fprintf(stderr, "quorvane-record: cannot connect to %s: %s\n", where.c_str(),
                    f.osErrno != 0 ? strerror(f.osErrno) : "connection failed");
        return kExitConnect;
    }
    if (f.curlCode == kPeerFailedVerification) {
        fprintf(stderr,
                "quorvane-record: the certificate of %s is not trusted (--tls-ca FILE or --tls-pin PIN to "
                "accept it; run with -v for the reason)\n",
                where.c_str());
        return kExitConnect;
    }
    if (f.curlCode == kSslConnectError) {
        fprintf(stderr, "quorvane-record: no TLS session with %s (is it an rtsps:// port?)\n", where.c_str());
        return kExitConnect;
    }
    if (f.curlCode == kTimedOut) {
        fprintf(stderr, "quorvane-record: no answer from %s to %s within 3 s\n", where.c_str(),
                f.request.c_str());
        return kExitConnect;
    }
    if (f.status == 401 || f.status == 403) {
        if (haveCredentials)
            fprintf(stderr,
                    "quorvane-record: authentication failed: %s refused the user name or password (%s %ld)\n",
                    where.c_str(), f.request.c_str(), f.status);
        else
            fprintf(stderr,
                    "quorvane-record: authentication required: %s wants a user name and password "
                    "(--user/--password or user:password@ in the URL)\n",
                    where.c_str());
        return kExitAuth;
    }
    if (f.status >= 400) {
        fprintf(stderr, "quorvane-record: the camera answered %s with status %ld%s\n", f.request.c_str(),
                f.status, f.status == 404 ? " (no such stream: check the path)" : "");
        return kExitCameraError;
    }
    if (f.curlCode == kWeirdReply || f.curlCode == kGotNothing || f.curlCode == kRecvError) {
        fprintf(stderr, "quorvane-record: %s broke off or answered garbage during %s (libcurl error %d)\n",
                where.c_str(), f.request.c_str(), f.curlCode);
        return kExitCameraError;
    }
    fprintf(stderr, "quorvane-record: %s failed (libcurl error %d, status %ld)\n", f.request.c_str(),
            f.curlCode, f.status);
    return kExitCameraError;
}

std::string elapsedText(double s) {
    char t[32];
    long total = static_cast<long>(s);
    snprintf(t, sizeof(t), "%02ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return t;
}

int printInfo(const RtspClient& client, const Recorder::Snapshot& snap) {
    RtspStreamInfo info = client.streamInfo();
    const RtspConnectStatus status = client.connectStatus();
    static const char* const kPaths[] = {"RTP over UDP", "RTP interleaved in TCP", "RTSP over TLS (rtsps)",
                                         "RTSP tunnelled in HTTP", "RTP over UDP multicast"};
    printf("path: %s, %s\n", kPaths[static_cast<int>(status.path)], status.ipv6 ? "IPv6" : "IPv4");
    printf("codec: %s\n", codecName(snap.codec));
    if (info.width != 0) printf("resolution: %ux%u\n", info.width, info.height);
    if (info.fps > 0) printf("frame rate: %ld fps\n", std::lround(info.fps));
    if (snap.codec == RtspVideoCodec::H264) {
        const std::vector<uint8_t>& sps = snap.sps;
        if (sps.size() >= 4) printf("profile-level-id: %02x%02x%02x\n", sps[1], sps[2], sps[3]);
        printf("sps: %s\n", hex(snap.sps).c_str());
        printf("pps: %s\n", hex(snap.pps).c_str());
        printf("sprop-parameter-sets=%s,%s\n", base64(snap.sps).c_str(), base64(snap.pps).c_str());
    } else {
        printf("vps: %s\n", hex(snap.vps).c_str());
        printf("sps: %s\n", hex(snap.sps).c_str());
        printf("pps: %s\n", hex(snap.pps).c_str());
        printf("sprop-vps=%s; sprop-sps=%s; sprop-pps=%s\n", base64(snap.vps).c_str(),
               base64(snap.sps).c_str(), base64(snap.pps).c_str());
    }
    const RtspAudioStreamInfo audio = client.audioStreamInfo();
    const char* names[] = {"-", "AAC", "G.711 mu-law", "G.711 A-law", "G.726", "Opus"};
    if (audio.codec != RtspAudioCodec::Unknown)
        printf("audio: %s, %u Hz, %u channel%s\n", names[static_cast<int>(audio.codec)], audio.sampleRate,
               audio.channels, audio.channels == 1 ? "" : "s");
    fflush(stdout);
    return kExitOk;
}

std::string sizeText(const RtspStreamInfo& info) {
    if (info.width == 0) return "";
    return " " + std::to_string(info.width) + "x" + std::to_string(info.height);
}

// For the tool tests only: QUORVANE_TEST_TIME_SCALE=F (0 < F < 1) runs the library's silence,
// UDP receive and request time-outs at F times their length, so that a test of a camera outage
// need not wait whole seconds. Unset (or anything else), the library's own values hold.
void applyTestTimeScale() {
    const char* text = getenv("QUORVANE_TEST_TIME_SCALE");
    if (text == nullptr) return;
    char* end = nullptr;
    const double f = strtod(text, &end);
    if (end == text || *end != '\0' || !(f > 0 && f < 1)) return;
    using Defaults = quorvane_internal::TimeConstants;
    auto& t = quorvane_internal::timeConstants();
    t.tcpSilenceNs = static_cast<int64_t>(static_cast<double>(Defaults::kDefaultTcpSilenceNs) * f);
    t.udpReceiveTimeoutMs = std::max(1, static_cast<int>(Defaults::kDefaultUdpReceiveTimeoutMs * f));
    t.requestTimeoutMs = std::max<int64_t>(
        1, static_cast<int64_t>(static_cast<double>(Defaults::kDefaultRequestTimeoutMs) * f));
}

}  // namespace

int main(int argc, char** argv) {
    applyTestTimeScale();
    Options opt;
    if (!parseOptions(argc, argv, &opt)) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    RtspUrl url;
    std::string why;
    if (!parseRtspUrl(opt.url, &url, &why)) {
        fprintf(stderr, "quorvane-record: bad URL '%s': %s\n", maskUrlText(opt.url).c_str(), why.c_str());
        return kExitBadUrl;
    }
    if (!opt.userGiven) opt.user = url.user;
    if (!opt.passwordGiven) opt.password = url.password;
    const bool interleavedOnly = url.tls || url.tunnel || opt.httpTunnel;
    if (interleavedOnly && opt.udpGiven) {
        fputs(
            "quorvane-record: rtsps://, rtsph:// and --http-tunnel carry the video inside the RTSP "
            "connection; "
            "--udp cannot be used\n",
            stderr);
        return kExitUsage;
    }
    if (opt.multicast && (interleavedOnly || opt.tcp)) {
        fputs(
            "quorvane-record: --multicast receives RTP over UDP; it cannot go with --tcp, rtsps://, rtsph:// "
            "or "
            "--http-tunnel\n",
            stderr);
        return kExitUsage;
    }
    if (interleavedOnly) opt.tcp = true;
    const MediaFormat format = outputFormat(opt);
    if (!opt.info && !mediaFormatAvailable(format)) {
        fprintf(stderr,
                "quorvane-record: cannot write %s: this build has no FFmpeg (libavformat-dev) for MP4 and "
                "Matroska; write .264/.265 instead\n",
                opt.output.c_str());
        return kExitFailure;
    }

    sigset_t stopSignals = blockStopSignals();

    // The library writes its debug lines to standard output; when the video goes there, they
    // go to standard error instead.
    Recorder::Target target;
    target.format = format;
    target.path = opt.output;
    target.segment = opt.segment;
    target.writeNothing = opt.info;
    FILE* out = nullptr;
    bool toStdout = opt.output == "-";
    bool createdFile = false;
    if (!opt.info) {
        if (toStdout) {
            int videoFd = dup(STDOUT_FILENO);
            if (videoFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
                perror("quorvane-record: standard output");
                return kExitFailure;
            }
            fcntl(videoFd, F_SETFD, FD_CLOEXEC);
            if (format == MediaFormat::AnnexB) {
                out = fdopen(videoFd, "wb");
            } else {
                target.fd = videoFd;
            }
            target.flushEachFrame = true;
        } else if (format == MediaFormat::AnnexB && opt.segment <= 0) {
            struct stat st;
            createdFile = stat(opt.output.c_str(), &st) != 0;
            out = fopen(opt.output.c_str(), "wb");
        }
        if (out == nullptr && target.fd < 0 &&
            (toStdout || (format == MediaFormat::AnnexB && opt.segment <= 0))) {
            fprintf(stderr, "quorvane-record: cannot open %s: %s\n",
                    toStdout ? "standard output" : opt.output.c_str(), strerror(errno));
            return kExitFailure;
        }
        target.out = out;
    }
    // The main thread sleeps until a signal, the recorder's news (done, failed, first picture)
    // or its next own deadline.
    int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signalFd < 0 || wakeFd < 0) {
        perror("quorvane-record: signalfd/eventfd");
        return kExitFailure;
    }
    target.wakeFd = wakeFd;
    SLog::setEnable(opt.verbose);
    if (opt.verbose) setRtspLogLevel(RtspLogLevel::Debug);  // the library's debug lines are off by default
    bool interactive = isatty(STDERR_FILENO) == 1;
    bool showProgress = !opt.quiet && !opt.info;
    const std::string outputName = toStdout ? "standard output" : opt.output;

    int exitCode = kExitOk;
    std::vector<std::string> files;
    {
        // The recorder outlives the client, whose callback uses it.
        Recorder recorder(target, opt.frames, opt.duration);
        RtspClientOptions clientOptions =
            opt.libraryDefaults ? RtspClientOptions() : RtspClientOptions::mixedFleet();
        clientOptions.tlsCaFile = opt.tlsCa;
        clientOptions.tlsPinnedPublicKey = opt.tlsPin;
        clientOptions.tlsInsecureNoVerify = opt.tlsInsecure;
        clientOptions.httpTunnel = opt.httpTunnel;
        clientOptions.multicast = opt.multicast;
        clientOptions.receiveAudio = opt.audio;
        RtspClient client(url.withoutCredentials, opt.user, opt.password, opt.tcp, clientOptions);
        client.setFrameCallback([&recorder](const RtspFrame& frame) { recorder.onFrame(frame); });
        if (opt.audio && !opt.info) {
            recorder.setAudioSource([&client] { return client.audioStreamInfo(); });
            client.setAudioCallback([&recorder](const RtspAudioFrame& frame) { recorder.onAudio(frame); });
        }

        double start = nowSeconds();
        if (!opt.quiet)
            fprintf(stderr, "quorvane-record: connecting to %s over %s\n", url.display.c_str(),
                    opt.tcp         ? "TCP"
                    : opt.multicast ? "UDP multicast"
                                    : "UDP");
        client.enable();
        RtspConnectStatus first = client.connectStatus();
        bool ok = first.connected;
        if (!ok)
            exitCode =
                explainConnectFailure(first, url, !opt.user.empty() || !opt.password.empty(), opt.multicast);

        double lastTick = nowSeconds();
        uint64_t lastFrames = 0, lastBytes = 0;
        double progressEvery = interactive ? 1.0 : 5.0;
        bool lineOpen = false;
        const char* stopReason = nullptr;
        double stoppedAt = 0;
        Recorder::Snapshot snap = recorder.snapshot();
        while (ok) {
            // Until the earliest of: no video in time, the stall guard of --duration, the next
            // progress line.
            double now = nowSeconds();
            double until = -1;
            auto deadline = [&until](double at) { until = until < 0 ? at : std::min(until, at); };
            if (!snap.started) deadline(start + opt.timeout);
            if (snap.frames > 0 && opt.duration > 0) deadline(snap.startTime + opt.duration + 0.5);
            if (showProgress) deadline(lastTick + progressEvery);
            int waitMs = until < 0 ? -1 : static_cast<int>(std::max(0.0, std::ceil((until - now) * 1000)));
            pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, waitMs) < 0 && errno != EINTR) {
                perror("quorvane-record: poll");
                exitCode = kExitFailure;
                break;
            }
            if (fds[0].revents & POLLIN) {
                signalfd_siginfo info;
                if (read(signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                    stopReason = info.ssi_signo == SIGINT ? "interrupted" : "terminated";
                    break;
                }
            }
            uint64_t news = 0;
            if ((fds[1].revents & POLLIN) && read(wakeFd, &news, sizeof(news)) < 0) {
                // Nothing was pending after all: look again anyway.
            }
            snap = recorder.snapshot();
            now = nowSeconds();
            if (snap.writeFailed) {
                if (lineOpen) fputc('\n', stderr);
                fprintf(stderr, "quorvane-record: %s\n", snap.writeError.c_str());
                exitCode = kExitFailure;
                break;
            }
            if (opt.info && snap.started && !snap.sps.empty() && !snap.pps.empty() &&
                (snap.codec == RtspVideoCodec::H264 || !snap.vps.empty())) {
                exitCode = printInfo(client, snap);
                break;
            }
            if (!snap.started && now - start >= opt.timeout) {
                if (lineOpen) fputc('\n', stderr);
                RtspConnectStatus st = client.connectStatus();
                if (snap.dataSeen)
                    fprintf(stderr,
                            "quorvane-record: video arrived but no parameter sets (%s) within %g s; "
                            "nothing was written\n",
                            snap.codec == RtspVideoCodec::H265 ? "VPS" : "SPS", opt.timeout);
                else if (!st.connected)
                    fprintf(stderr,
                            "quorvane-record: no video within %g s: the camera dropped the session and "
                            "%u reconnect attempts failed\n",
                            opt.timeout, st.attempts - 1);
                else
                    fprintf(stderr,
                            "quorvane-record: no video within %g s (the camera accepted PLAY but sent no "
                            "H.264/H.265 RTP%s)\n",
                            opt.timeout,
                            opt.tcp ? "" : "; over UDP a firewall or NAT may drop it, try --tcp");
                exitCode = kExitNoVideo;
                break;
            }
            if (snap.done) {
                stopReason =
                    opt.frames != 0 && snap.frames >= opt.frames ? "frame count reached" : "duration reached";
                break;
            }
            // The callback ends the recording at the first frame past the duration; a stream that
            // stalls right then must not keep the recorder waiting.
            if (snap.frames > 0 && opt.duration > 0 && now - snap.startTime >= opt.duration + 0.5) {
                stopReason = "duration reached";
                break;
            }
            if (showProgress && now - lastTick >= progressEvery) {
                RtspStreamInfo info = client.streamInfo();
                RtspStatistics stats = client.statistics();
                double span = now - lastTick;
                char line[256];
                snprintf(line, sizeof(line),
                         "%s%s | frames %" PRIu64 " | %.1f fps | %.0f kbit/s | %s written | lost %" PRIu64
                         " | reconnects %u | %s",
                         codecName(info.codec), sizeText(info).c_str(), snap.frames,
                         (snap.frames - lastFrames) / span, (snap.bytes - lastBytes) * 8 / span / 1000,
                         bytesText(snap.bytes).c_str(), stats.packetsLost, stats.reconnects,
                         elapsedText(now - start).c_str());
                if (interactive) {
                    fprintf(stderr, "\r%s\033[K", line);
                    lineOpen = true;
                } else {
                    fprintf(stderr, "%s\n", line);
                }
                lastTick = now;
                lastFrames = snap.frames;
                lastBytes = snap.bytes;
            }
        }
        if (lineOpen) fputc('\n', stderr);
        stoppedAt = nowSeconds();

        // TEARDOWN, then no more data reaches the file.
        client.disable();
        bool flushed = recorder.close();
        snap = recorder.snapshot();
        files = snap.files;
        if (!flushed && exitCode == kExitOk) {
            fprintf(stderr, "quorvane-record: %s\n", snap.writeError.c_str());
            exitCode = kExitFailure;
        }
        if (stopReason != nullptr && !opt.quiet) {
            RtspStreamInfo info = client.streamInfo();
            RtspStatistics stats = client.statistics();
            // The rate between the first and the last picture written.
            double span = snap.frames > 1 ? snap.lastPictureTime - snap.startTime : 0;
            fprintf(stderr, "quorvane-record: %s: %" PRIu64 " frames of %s%s", stopReason, snap.frames,
                    codecName(info.codec), sizeText(info).c_str());
            std::string where =
                opt.segment > 0 || files.size() > 1 ? std::to_string(files.size()) + " files" : outputName;
            fprintf(stderr, ", %s to %s in %.1f s (%.1f fps), %" PRIu64 " packets lost, %u reconnects\n",
                    bytesText(snap.bytes).c_str(), where.c_str(), stoppedAt - start,
                    span > 0 ? (snap.frames - 1) / span : 0.0, stats.packetsLost, stats.reconnects);
        }
        if (exitCode != kExitOk && createdFile && snap.bytes == 0) remove(opt.output.c_str());
    }
    if (out != nullptr) fclose(out);
    if (target.fd >= 0) close(target.fd);
    close(signalFd);
    close(wakeFd);
    return exitCode;
}
