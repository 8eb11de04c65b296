// What the library wrote to standard error (warnings, errors) and standard output (debug lines)
// while the object lived, once stop() was called. Every thread's lines are included.
#ifndef QUORVANE_TESTS_LOG_CAPTURE_H
#define QUORVANE_TESTS_LOG_CAPTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

class LogCapture {
public:
    LogCapture() {
        fflush(stdout);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
    }
    ~LogCapture() { stop(); }
    void stop() {
        if (mStopped) return;
        mStopped = true;
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }
    // Occurrences of `text` in what went to standard error / standard output.
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
    bool mStopped = false;
};

#endif
