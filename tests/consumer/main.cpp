// A program as an application would write it, built against the installed package only.
#include <quorvane_rtsp/rtsp_client.h>
#include <quorvane_rtsp/utils/utils.h>

#include <cstdio>
#include <cstring>

int main() {
    const unsigned char in[] = {'q', 'e', 'l'};
    char out[8];
    Utils::base64encode(in, sizeof(in), out);
    if (strcmp(out, "cWVs") != 0) {
        fprintf(stderr, "unexpected Base64 text %s\n", out);
        return 1;
    }
    // Built and destroyed without enable(): no connection, no thread.
    RtspClient camera("rtsp://127.0.0.1:1/stream", "user", "password", true);
    unsigned long seen = 0;
    camera.setDataCallback([&seen](unsigned char*, unsigned long len) { seen += len; });
    unsigned char nal[] = {0, 0, 0, 1, 0x67};
    if (camera.onTransmitIn(nal, sizeof(nal), 0, 0) != sizeof(nal) || seen != sizeof(nal)) {
        fprintf(stderr, "data callback not reached\n");
        return 1;
    }
    printf("consumer ok\n");
    return 0;
}
