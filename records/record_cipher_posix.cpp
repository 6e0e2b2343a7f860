// The record cipher on nettle (every system but Windows).
#include <nettle/arcfour.h>
#include <nettle/md5.h>

#include "records/record_cipher.h"

struct CRecordCipher::State {
    arcfour_ctx rc4;
};

CRecordCipher::CRecordCipher() : m_state(std::make_unique<State>()) {}
CRecordCipher::~CRecordCipher() = default;

// None of CryptoAPI's steps can fail here.
bool CRecordCipher::Start(const std::string& strPassword, CipherStep&, int&) {
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_ctx hash;
    md5_init(&hash);
    md5_update(&hash, strPassword.size(), reinterpret_cast<const uint8_t*>(strPassword.data()));
    md5_digest(&hash, sizeof(digest), digest);
    arcfour_set_key(&m_state->rc4, ARCFOUR128_KEY_SIZE, digest);
    return true;
}

bool CRecordCipher::Apply(unsigned char* data, size_t size, bool, bool, int&) {
    arcfour_crypt(&m_state->rc4, size, data, data);
    return true;
}
