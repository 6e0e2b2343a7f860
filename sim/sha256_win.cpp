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

std::string Sha256::HexDigest() {
    BYTE digest[32] = {};
    DWORD size = sizeof digest;
    if (m_state->hHash) CryptGetHashParam(m_state->hHash, HP_HASHVAL, digest, &size, 0);
    Reset();
    static const char* const d = "0123456789abcdef";
    std::string hex;
    for (BYTE b : digest) {
        hex += d[b >> 4];
        hex += d[b & 15];
    }
    return hex;
}
