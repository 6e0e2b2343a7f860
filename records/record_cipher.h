#pragma once
// The key stream of the record files: RC4 keyed with the 16 bytes of MD5 over the pass phrase, as
// CryptDeriveKey(CALG_RC4, 128-bit key) makes it from a CALG_MD5 hash; one stream per file, running
// on across chunks. Windows uses CryptoAPI itself, other systems nettle (one file each).
#include <cstddef>
#include <memory>
#include <string>

#include "platform/non_copyable.h"

enum class CipherStep { AcquireContext, CreateHash, HashData, DeriveKey, Cipher };

class CRecordCipher : private plat::NonCopyable {
public:
    CRecordCipher();
    ~CRecordCipher();

    // Derives the key; false with the failed step and the system's error number.
    bool Start(const std::string& strPassword, CipherStep& failed, int& nError);
    // Enciphers or deciphers one chunk in place (the same operation for RC4); `bFinal` on the chunk
    // at which the source reached its end. False with the system's error number.
    bool Apply(unsigned char* data, size_t size, bool bFinal, bool bEncrypt, int& nError);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
