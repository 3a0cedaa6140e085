// MD5 message digest (RFC 1321), the library's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace webreq {

class Md5 {
   public:
    Md5();
    void Update(const void *data, size_t size);
    // The 16 digest bytes; the object is finished afterwards.
    void Final(uint8_t digest[16]);
    // Final as 32 lowercase hexadecimal digits.
    std::string FinalHex();
    // 32 lowercase hexadecimal digits of the data's digest.
    static std::string Hex(const void *data, size_t size);

   private:
    void Block(const uint8_t block[64]);
    uint32_t state_[4];
    uint64_t bit_count_ = 0;
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};

}  // namespace webreq
