#include <windows.h>
#include <wincrypt.h>

#include "sim/sha256.h"

struct Sha256::State {
    HCRYPTPROV hProv = 0;
    HCRYPTHASH hHash = 0;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    CryptAcquireContextW(&m_state->hProv, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    Reset();
}

Sha256::~Sha256() {
    if (m_state->hHash) CryptDestroyHash(m_state->hHash);
    if (m_state->hProv) CryptReleaseContext(m_state->hProv, 0);
}

void Sha256::Reset() {
    if (m_state->hHash) CryptDestroyHash(m_state->hHash);
    m_state->hHash = 0;
    if (m_state->hProv) CryptCreateHash(m_state->hProv, CALG_SHA_256, 0, 0, &m_state->hHash);
}

void Sha256::Update(const uint8_t* data, size_t size) {
    while (m_state->hHash && size > 0) {
        const DWORD n = static_cast<DWORD>(size > 0x40000000 ? 0x40000000 : size);
        CryptHashData(m_state->hHash, data, n, 0);
        data += n;
        size -= n;
    }
}

void Sha256::Finish(uint8_t (&digest)[DIGEST_SIZE]) {
    DWORD size = DIGEST_SIZE;
    if (m_state->hHash) CryptGetHashParam(m_state->hHash, HP_HASHVAL, digest, &size, 0);
    Reset();
}
