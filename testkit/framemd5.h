#ifndef QUORVANE_TESTKIT_FRAMEMD5_H
#define QUORVANE_TESTKIT_FRAMEMD5_H

#include <string>
#include <vector>

#include "testkit/annexb.h"

// Decodes an Annex-B file with the ffmpeg command-line tool and returns the MD5 of every decoded
// picture in output order (the last column of `ffmpeg -f framemd5`). Lets tests prove that data
// delivered by the library decodes to exactly the pictures of its source.
namespace testkit {

// Whether an `ffmpeg` program can be run.
bool ffmpegAvailable();

// False, with ffmpeg's complaint in `error`, when the file cannot be decoded.
bool decodeFrameMd5(const std::string& annexbPath, VideoCodec codec, std::vector<std::string>* md5s,
                    std::string* error);

}  // namespace testkit

#endif
