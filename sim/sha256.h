#pragma once
// SHA-256 of a byte stream, as lower-case hex: what the simulator reports of each image it took
// (nettle; CryptoAPI on Windows).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Reset();
    void Update(const uint8_t* data, size_t size);
    // The digest of everything since the last Reset; the stream starts anew afterwards.
    std::string HexDigest();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
