#ifndef QUORVANE_TESTKIT_MD5_H
#define QUORVANE_TESTKIT_MD5_H

#include <string>

// RFC 1321 MD5 of `data` as 32 lower-case hex digits: what RTSP Digest authentication
// (RFC 2617) hashes. Test support only; not for anything that needs a secure hash.
std::string md5Hex(const std::string& data);

#endif
