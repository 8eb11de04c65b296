// What the library wrote while the object lived, once stop() was called, from every thread: its
// debug lines (switched on meanwhile) in `out`, warnings and errors in `err`. All of it goes to
// standard error; standard output must stay empty, as the application's. Unless asked for the
// library's limits, the log rate limiters let every line through meanwhile.
#ifndef QUORVANE_TESTS_LOG_CAPTURE_H
#define QUORVANE_TESTS_LOG_CAPTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "rtsp_log.h"
#include "utils/time_constants_internal.h"

class LogCapture {
public:
    explicit LogCapture(bool everyLine = true) : mLevel(rtspLogLevel()) {
        if (everyLine) quorvane_internal::timeConstants().logWindowNs = 0;
        fflush(stdout);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        setRtspLogLevel(RtspLogLevel::Debug);
    }
    ~LogCapture() { stop(); }
    void stop() {
        if (mStopped) return;
        mStopped = true;
        setRtspLogLevel(mLevel);
        quorvane_internal::timeConstants().logWindowNs =
            quorvane_internal::TimeConstants::kDefaultLogWindowNs;
        fflush(stdout);
        const std::string stdoutText = testing::internal::GetCapturedStdout();
        const std::string all = testing::internal::GetCapturedStderr();
        EXPECT_EQ(stdoutText, "") << "the library wrote to standard output";
        for (size_t at = 0; at < all.size();) {
            size_t end = all.find('\n', at);
            end = end == std::string::npos ? all.size() : end + 1;
            std::string line = all.substr(at, end - at);
            (line.find("] D/: ") != std::string::npos ? out : err) += line;
            at = end;
        }
    }
    // Occurrences of `text` in the warnings and errors / the debug lines.
    int errCount(const std::string& text) const { return count(err, text); }
    int outCount(const std::string& text) const { return count(out, text); }

    std::string err;
    std::string out;

private:
    static int count(const std::string& haystack, const std::string& text) {
        int n = 0;
        for (size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + 1))
            ++n;
        return n;
    }
    const RtspLogLevel mLevel;
    bool mStopped = false;
};

#endif
