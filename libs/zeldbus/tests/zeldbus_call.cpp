// A one-shot zeldbus client for tests that need a second process on the
// library: makes one synchronous call and prints what came back.
// Usage: zeldbus_call <own name> <destination> <interface> <member> [hex bytes]
// Prints "status=<s> length=<n> buffer=<none|hex...>" and exits 0.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zeldbus.h"

int main(int argc, char** argv)
{
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: %s <own name> <destination> <interface> <member> [hex]\n", argv[0]);
        return 2;
    }
    std::vector<unsigned char> bytes;
    for (const char* p = argc == 6 ? argv[5] : ""; p[0] != '\0' && p[1] != '\0'; p += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(std::string(p, 2), nullptr, 16)));

    if (zeldbus_init("/", argv[1], 0, nullptr, 0) != 0 || zeldbus_connect() != 0)
        return 1;
    unsigned char* answer = nullptr;
    int length = -1;
    int status = zeldbus_sendMessageSync(argv[2], argv[3], argv[4], bytes.data(),
                                         static_cast<int>(bytes.size()), &answer, &length);
    std::printf("status=%d length=%d buffer=", status, length);
    if (answer == nullptr) {
        std::printf("none");
    } else {
        for (int i = 0; i < length; ++i)
            std::printf("%02x", answer[i]);
    }
    std::printf("\n");
    free(answer);
    zeldbus_disconnect();
    return 0;
}
