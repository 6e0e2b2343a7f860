#include <nettle/sha2.h>

#include "sim/sha256.h"

struct Sha256::State {
    sha256_ctx ctx;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) { Reset(); }
Sha256::~Sha256() = default;

void Sha256::Reset() { sha256_init(&m_state->ctx); }

void Sha256::Update(const uint8_t* data, size_t size) { sha256_update(&m_state->ctx, size, data); }

void Sha256::Finish(uint8_t (&digest)[DIGEST_SIZE]) {
    static_assert(DIGEST_SIZE == SHA256_DIGEST_SIZE);
    sha256_digest(&m_state->ctx, DIGEST_SIZE, digest);  // also starts the stream anew
}
