#include "sim/sha256.h"

std::string Sha256::HexDigest() {
    uint8_t digest[DIGEST_SIZE] = {};
    Finish(digest);
    static const char* const d = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest) {
        hex += d[b >> 4];
        hex += d[b & 15];
    }
    return hex;
}
