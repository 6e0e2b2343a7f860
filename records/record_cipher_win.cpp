// The record cipher on CryptoAPI: the default PROV_RSA_FULL provider, a CALG_MD5 hash of the
// pass phrase, CryptDeriveKey with CALG_RC4 and a 128-bit key.
#include <windows.h>
#include <wincrypt.h>

#include "records/record_cipher.h"

struct CRecordCipher::State {
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
};

CRecordCipher::CRecordCipher() : m_state(std::make_unique<State>()) {}

CRecordCipher::~CRecordCipher() {
    if (m_state->hKey) CryptDestroyKey(m_state->hKey);
    if (m_state->hProv) CryptReleaseContext(m_state->hProv, 0);
}

bool CRecordCipher::Start(const std::string& strPassword, CipherStep& failed, int& nError) {
    const auto fail = [&](CipherStep step) {
        failed = step;
        nError = static_cast<int>(GetLastError());
        return false;
    };
    // A user without the default key container gets a new one (and when another process made it
    // in the meantime, NTE_EXISTS, that one is taken).
    if (!CryptAcquireContextW(&m_state->hProv, nullptr, nullptr, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextW(&m_state->hProv, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
        !CryptAcquireContextW(&m_state->hProv, nullptr, nullptr, PROV_RSA_FULL, 0))
        return fail(CipherStep::AcquireContext);
    HCRYPTHASH hHash = 0;
    if (!CryptCreateHash(m_state->hProv, CALG_MD5, 0, 0, &hHash)) return fail(CipherStep::CreateHash);
    if (!CryptHashData(hHash, reinterpret_cast<const BYTE*>(strPassword.data()),
                       static_cast<DWORD>(strPassword.size()), 0)) {
        const bool ok = fail(CipherStep::HashData);
        CryptDestroyHash(hHash);
        return ok;
    }
    constexpr DWORD kKeyLength128 = 128u << 16;  // 0x00800000: the key length in the upper 16 bits
    const BOOL derived = CryptDeriveKey(m_state->hProv, CALG_RC4, hHash, kKeyLength128, &m_state->hKey);
    const DWORD error = GetLastError();
    CryptDestroyHash(hHash);
    if (!derived) {
        SetLastError(error);
        return fail(CipherStep::DeriveKey);
    }
    return true;
}

bool CRecordCipher::Apply(unsigned char* data, size_t size, bool bFinal, bool bEncrypt, int& nError) {
    DWORD length = static_cast<DWORD>(size);
    const BOOL ok = bEncrypt ? CryptEncrypt(m_state->hKey, 0, bFinal, 0, data, &length, length)
                             : CryptDecrypt(m_state->hKey, 0, bFinal, 0, data, &length);
    if (!ok) nError = static_cast<int>(GetLastError());
    return ok != 0;
}
