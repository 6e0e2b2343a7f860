#pragma once
// The SHA-256 of a file's bytes, as lower-case hex: the images the gateway received against
// those the tool extracted.
#include <cstdint>
#include <fstream>
#include <string>

#include "sim/sha256.h"

namespace tool_harness {

inline std::string Sha256Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Sha256 sha;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0)
        sha.Update(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(in.gcount()));
    return sha.HexDigest();
}

}  // namespace tool_harness
