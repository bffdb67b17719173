#include "utils/random.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/random.h>

#include "utils/fatal.h"

namespace larkspan {

namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter(uint32_t *s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] = rotl(s[d] ^ s[a], 16);
    s[c] += s[d]; s[b] = rotl(s[b] ^ s[c], 12);
    s[a] += s[b]; s[d] = rotl(s[d] ^ s[a], 8);
    s[c] += s[d]; s[b] = rotl(s[b] ^ s[c], 7);
}

inline uint32_t load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void os_entropy(void *out, size_t len) {
    auto *p = static_cast<uint8_t *>(out);
    while (len > 0) {
        ssize_t got = getrandom(p, len, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            fatal(std::string("Failed to obtain entropy from the operating system: ") + std::strerror(errno));
        }
        p += got;
        len -= static_cast<size_t>(got);
    }
}

Rng Rng::from_os() {
    std::array<uint8_t, 32> seed;
    os_entropy(seed.data(), seed.size());
    Rng r(seed);
    std::memset(seed.data(), 0, seed.size());
    return r;
}

Rng::Rng(const std::array<uint8_t, 32> &seed) {
    for (int i = 0; i < 8; ++i) key_[i] = load_le32(seed.data() + 4 * i);
}

// One ChaCha20 block in the original layout: 64-bit block counter, zero 64-bit nonce.
void Rng::refill() {
    uint32_t in[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) in[4 + i] = key_[i];
    in[12] = static_cast<uint32_t>(counter_);
    in[13] = static_cast<uint32_t>(counter_ >> 32);
    in[14] = in[15] = 0;
    ++counter_;
    uint32_t s[16];
    std::memcpy(s, in, sizeof s);
    for (int round = 0; round < 10; ++round) {
        quarter(s, 0, 4, 8, 12);
        quarter(s, 1, 5, 9, 13);
        quarter(s, 2, 6, 10, 14);
        quarter(s, 3, 7, 11, 15);
        quarter(s, 0, 5, 10, 15);
        quarter(s, 1, 6, 11, 12);
        quarter(s, 2, 7, 8, 13);
        quarter(s, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) buf_[i] = s[i] + in[i];
    pos_ = 0;
}

}  // namespace larkspan
