#pragma once
// SHA-256 of a byte stream, as lower-case hex: what the simulator reports of each image it took
// (nettle; CryptoAPI on Windows).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/non_copyable.h"

class Sha256 : private plat::NonCopyable {
public:
    Sha256();
    ~Sha256();

    void Reset();
    void Update(const uint8_t* data, size_t size);
    // The digest of everything since the last Reset; the stream starts anew afterwards.
    std::string HexDigest();

private:
    static constexpr size_t DIGEST_SIZE = 32;
    // The digest of everything since the last Reset, then a Reset.
    void Finish(uint8_t (&digest)[DIGEST_SIZE]);

    struct State;
    std::unique_ptr<State> m_state;
};
