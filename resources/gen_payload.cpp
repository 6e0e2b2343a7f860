// Writes N pseudo-random bytes from a fixed seed: the deterministic payload of the stand-in images.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: gen_payload SIZE SEED OUT\n");
        return 2;
    }
    const unsigned long size = std::strtoul(argv[1], nullptr, 10);
    uint64_t state = 0x9E3779B97F4A7C15ull * (std::strtoull(argv[2], nullptr, 10) + 1);
    std::FILE* f = std::fopen(argv[3], "wb");
    if (!f) return 1;
    std::vector<unsigned char> buf(size);
    for (unsigned long i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        buf[i] = static_cast<unsigned char>(state >> 24);
    }
    const bool ok = std::fwrite(buf.data(), 1, size, f) == size;
    return (std::fclose(f) == 0 && ok) ? 0 : 1;
}
