#ifndef QUORVANE_RTSP_LOG_H
#define QUORVANE_RTSP_LOG_H

#include <functional>
#include <string>

#include "quorvane_export.h"

// Where the library's log lines go. Every line is formed as "[time] D/: text", "[time] W/:
// (function in file:line): text" or "[time] E/: (function in file:line): text", ending in "\n".
// Lines a camera's packets can trigger pass a per-client limiter first (a few a second, followed
// by a count of those held back).
//
// By default lines of level Warning and above go to standard error (and, for warnings and errors,
// to the log file an application opened with SLog::createNewLog); debug lines are off. Nothing is
// ever written to standard output. All of this is process-wide and may be changed at any time,
// from any thread.
enum class RtspLogLevel { Debug = 0, Warning = 1, Error = 2, Off = 3 };

// Receives each line at or above the minimum level, whole, on the library thread that wrote it;
// several threads may call it at once. It must not call setRtspLogSink. While a sink is set,
// nothing goes to standard error; the log file copy stays.
using RtspLogSink = std::function<void(RtspLogLevel level, const std::string& line)>;

// Routes the lines into the application's own logging; an empty function restores standard error.
QUORVANE_EXPORT void setRtspLogSink(RtspLogSink sink);
// The least severe level written anywhere (Warning by default; Debug turns debug lines on, Off
// silences the library, the log file included).
QUORVANE_EXPORT void setRtspLogLevel(RtspLogLevel minimum);
QUORVANE_EXPORT RtspLogLevel rtspLogLevel();

#endif
