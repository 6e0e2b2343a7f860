#pragma once
// The SHA-256 of a file's bytes, as lower-case hex: the images the gateway received against
// those the tool extracted.
#include <nettle/sha2.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace tool_harness {

inline std::string Sha256Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    sha256_ctx ctx;
    sha256_init(&ctx);
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0)
        sha256_update(&ctx, static_cast<size_t>(in.gcount()), reinterpret_cast<const uint8_t*>(buf));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    std::string hex;
    for (uint8_t b : digest) {
        static const char* d = "0123456789abcdef";
        hex += d[b >> 4];
        hex += d[b & 15];
    }
    return hex;
}

}  // namespace tool_harness
