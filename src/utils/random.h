// Cryptographically strong pseudo-random words (ChaCha20 keystream), seeded
// from the operating system's entropy. Every random state of the system comes
// from a fresh generator, so keys never repeat between evaluators or runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace larkspan {

class Rng {
  public:
    // A new generator keyed with 32 bytes from getrandom().
    static Rng from_os();
    // Deterministic stream for a given key (tests of the generator itself).
    explicit Rng(const std::array<uint8_t, 32> &seed);

    uint64_t next_u64() {
        if (pos_ + 2 > 16) refill();
        uint64_t lo = buf_[pos_], hi = buf_[pos_ + 1];
        pos_ += 2;
        return lo | (hi << 32);
    }
    // Uniform in [0, 1): the top 53 bits of one word.
    double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

  private:
    void refill();

    uint32_t key_[8];
    uint64_t counter_ = 0;
    uint32_t buf_[16];
    unsigned pos_ = 16;
};

// Fills `out` with `len` bytes of operating-system entropy; fatal error when
// the kernel cannot provide them.
void os_entropy(void *out, size_t len);

}  // namespace larkspan
