#include <nettle/sha2.h>

#include "sim/sha256.h"

struct Sha256::State {
    sha256_ctx ctx;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) { Reset(); }
Sha256::~Sha256() = default;

void Sha256::Reset() { sha256_init(&m_state->ctx); }

void Sha256::Update(const uint8_t* data, size_t size) { sha256_update(&m_state->ctx, size, data); }

std::string Sha256::HexDigest() {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&m_state->ctx, sizeof digest, digest);  // also starts the stream anew
    static const char* const d = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest) {
        hex += d[b >> 4];
        hex += d[b & 15];
    }
    return hex;
}
