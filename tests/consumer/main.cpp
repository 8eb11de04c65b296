// A program as an application would write it, built against the installed package only.
#include <cstdio>
#include <cstring>

#include "utils/utils.h"

int main() {
    const unsigned char in[] = {'q', 'e', 'l'};
    char out[8];
    Utils::base64encode(in, sizeof(in), out);
    if (strcmp(out, "cWVs") != 0) {
        fprintf(stderr, "unexpected Base64 text %s\n", out);
        return 1;
    }
    printf("consumer ok\n");
    return 0;
}
