#include "utils/siphash.h"

#include <cstring>

namespace larkspan {

namespace {
inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
}  // namespace

SipHasher13::SipHasher13()
    : v0_(0x736f6d6570736575ULL), v1_(0x646f72616e646f6dULL), v2_(0x6c7967656e657261ULL),
      v3_(0x7465646279746573ULL) {}

void SipHasher13::compress(uint64_t m) {
    v3_ ^= m;
    // one compression round
    v0_ += v1_; v1_ = rotl(v1_, 13); v1_ ^= v0_; v0_ = rotl(v0_, 32);
    v2_ += v3_; v3_ = rotl(v3_, 16); v3_ ^= v2_;
    v0_ += v3_; v3_ = rotl(v3_, 21); v3_ ^= v0_;
    v2_ += v1_; v1_ = rotl(v1_, 17); v1_ ^= v2_; v2_ = rotl(v2_, 32);
    v0_ ^= m;
}

void SipHasher13::write(const void *data, size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    length_ += len;
    while (len > 0) {
        tail_ |= static_cast<uint64_t>(*p) << (8 * ntail_);
        ++p;
        --len;
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
}

void SipHasher13::write_u16(uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    write(b, 2);
}

void SipHasher13::write_u32(uint32_t v) {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    write(b, 4);
}

void SipHasher13::write_u64(uint64_t v) {
    // Hot path of instruction and circuit hashes: whole words compress directly.
    if (ntail_ == 0) {
        length_ += 8;
        compress(v);
        return;
    }
    // Misaligned stream (e.g. after a u32 length): the word completes the
    // pending bytes and its high bytes become the new tail.
    unsigned shift = 8 * static_cast<unsigned>(ntail_);
    length_ += 8;
    compress(tail_ | (v << shift));
    tail_ = v >> (64 - shift);
}

uint64_t SipHasher13::finish() const {
    SipHasher13 s = *this;
    uint64_t b = (s.length_ & 0xff) << 56 | s.tail_;
    s.compress(b);
    s.v2_ ^= 0xff;
    for (int i = 0; i < 3; ++i) {
        s.v0_ += s.v1_; s.v1_ = rotl(s.v1_, 13); s.v1_ ^= s.v0_; s.v0_ = rotl(s.v0_, 32);
        s.v2_ += s.v3_; s.v3_ = rotl(s.v3_, 16); s.v3_ ^= s.v2_;
        s.v0_ += s.v3_; s.v3_ = rotl(s.v3_, 21); s.v3_ ^= s.v0_;
        s.v2_ += s.v1_; s.v1_ = rotl(s.v1_, 17); s.v1_ ^= s.v2_; s.v2_ = rotl(s.v2_, 32);
    }
    return s.v0_ ^ s.v1_ ^ s.v2_ ^ s.v3_;
}

uint64_t siphash13(const void *data, size_t len) {
    SipHasher13 h;
    h.write(data, len);
    return h.finish();
}

}  // namespace larkspan
