// SipHash-1-3 with both keys zero, fed as a byte stream. Every value hash of
// the system (gates, instructions, circuits, state vectors) goes through it,
// so integers are always fed little-endian regardless of the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace larkspan {

class SipHasher13 {
  public:
    SipHasher13();
    void write(const void *data, size_t len);
    void write_u8(uint8_t v) { write(&v, 1); }
    void write_u16(uint16_t v);
    void write_u32(uint32_t v);
    void write_u64(uint64_t v);
    void write_i64(int64_t v) { write_u64(static_cast<uint64_t>(v)); }
    // Machine words are always fed as 8 bytes so hashes do not depend on the platform.
    void write_usize(uint64_t v) { write_u64(v); }
    uint64_t finish() const;

  private:
    void compress(uint64_t m);
    uint64_t v0_, v1_, v2_, v3_;
    uint64_t tail_ = 0;  // pending bytes, little-endian
    size_t ntail_ = 0;
    uint64_t length_ = 0;
};

uint64_t siphash13(const void *data, size_t len);

}  // namespace larkspan
