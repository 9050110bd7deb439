#pragma once
// The Rijndael block cipher with every block and key length of the original proposal
// (128, 192 or 256 bits each); with 128-bit blocks it is AES.
#include <cstdint>
#include <vector>

namespace Vexa {

class Rijndael
{
public:
    // Throws std::runtime_error unless blockBits and the key length (in bits) are each
    // 128, 192 or 256.
    Rijndael(unsigned blockBits, const std::vector<char>& key);

    // Block length in bytes (16, 24 or 32).
    unsigned getBlockSize() const noexcept { return 4 * nb_; }

    // Enciphers or deciphers one block of getBlockSize() bytes; in and out may be the same.
    void encryptBlock(const char* in, char* out) const noexcept;
    void decryptBlock(const char* in, char* out) const noexcept;

private:
    unsigned nb_ = 4;  // block length in 32-bit columns
    unsigned nr_ = 10; // number of rounds
    std::vector<std::uint8_t> roundKeys_;
};

}
