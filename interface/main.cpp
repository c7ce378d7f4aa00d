// demosaic INPUT KEY: restores the unmasked pictures that a privacy-masked H.264/HEVC video
// carries and writes them, with the input's audio, into a new file beside the input.
#include <cstdio>
#include <cstring>

#include "interface/pqMosaicInterface.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        printf("intput argc is error\n");
        return -1;
    }
    char message[256];
    std::memset(message, 0, sizeof(message));
    const int result = pq_mosaic_interface_input(argv[1], argv[2], message);
    printf("mosaic_ResultCode=%d;mosaic_errStr=%s;\n", result, message);
    return result;
}
