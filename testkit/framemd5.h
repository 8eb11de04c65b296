#ifndef QUORVANE_TESTKIT_FRAMEMD5_H
#define QUORVANE_TESTKIT_FRAMEMD5_H

#include <optional>
#include <string>
#include <vector>

#include "testkit/annexb.h"

// Decodes an Annex-B file (or, without a codec, any file ffmpeg recognises, e.g. a recording in
// a container) with the ffmpeg command-line tool and returns the MD5 of every decoded picture in
// output order (the last column of `ffmpeg -f framemd5`). Lets tests prove that data
// delivered by the library decodes to exactly the pictures of its source.
namespace testkit {

// Whether an `ffmpeg` program can be run.
bool ffmpegAvailable();

// False, with ffmpeg's complaint in `error`, when the file cannot be decoded.
bool decodeFrameMd5(const std::string& path, std::optional<VideoCodec> codec, std::vector<std::string>* md5s,
                    std::string* error);

// Runs a shell command and collects its standard output; false when it fails.
bool runCommand(const std::string& command, std::string* output);

}  // namespace testkit

#endif
