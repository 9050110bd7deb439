#include "vexa/io/Rijndael.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<char> fromHex(const std::string& hex)
{
    std::vector<char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string toHex(const std::vector<char>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

struct Vector
{
    unsigned blockBits;
    const char* key;
    const char* plain;
    const char* cipher;
};

void checkVector(const Vector& v)
{
    SCOPED_TRACE(std::string("block ") + std::to_string(v.blockBits) + ", key " + v.key);
    const Vexa::Rijndael rijndael(v.blockBits, fromHex(v.key));
    ASSERT_EQ(rijndael.getBlockSize(), v.blockBits / 8);
    const auto plain = fromHex(v.plain);
    std::vector<char> out = plain;
    rijndael.encryptBlock(out.data(), out.data()); // in place, both ways
    EXPECT_EQ(toHex(out), v.cipher);
    rijndael.decryptBlock(out.data(), out.data());
    EXPECT_EQ(out, plain);
}

TEST(Rijndael, MatchesTheAesKnownAnswersForEveryKeyLength)
{
    // FIPS-197, Appendix C.1 to C.3.
    const char* plain = "00112233445566778899aabbccddeeff";
    checkVector({128, "000102030405060708090a0b0c0d0e0f", plain, "69c4e0d86a7b0430d8cdb78070b4c55a"});
    checkVector({128, "000102030405060708090a0b0c0d0e0f1011121314151617", plain,
                 "dda97ca4864cdfe06eaf70a0ec0d7191"});
    checkVector({128, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", plain,
                 "8ea2b7ca516745bfeafc49904b496089"});
}

TEST(Rijndael, MatchesPublishedAnswersForTheLongerBlocks)
{
    // Known answers of the Rijndael proposal's block lengths (B. Gladman's vector set).
    const char* key128 = "2b7e151628aed2a6abf7158809cf4f3c";
    const char* key192 = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da5";
    const char* key256 = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe";
    const char* plain192 = "3243f6a8885a308d313198a2e03707344a4093822299f31d";
    const char* plain256 = "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8";
    checkVector({192, key128, plain192, "b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a"});
    checkVector({192, key192, plain192, "725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf"});
    checkVector({192, key256, plain192, "0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c"});
    checkVector({256, key128, plain256, "7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19"});
    checkVector({256, key192, plain256, "5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2"});
    checkVector({256, key256, plain256, "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a"});
}

TEST(Rijndael, RejectsOtherBlockAndKeyLengths)
{
    const std::vector<char> key16(16, 'k');
    for (unsigned blockBits : {0u, 127u, 160u, 512u})
        EXPECT_THROW(Vexa::Rijndael(blockBits, key16), std::runtime_error) << blockBits;
    for (std::size_t keyBytes : {0u, 15u, 17u, 20u, 33u})
        EXPECT_THROW(Vexa::Rijndael(128, std::vector<char>(keyBytes, 'k')), std::runtime_error) << keyBytes;
    try {
        Vexa::Rijndael(128, std::vector<char>(5, 'k'));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Rijndael: invalid block or key length");
    }
}

}
