#include "vexa/io/Rijndael.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace Vexa {

namespace {

using Byte = std::uint8_t;

Byte xtime(Byte x)
{
    return static_cast<Byte>((x << 1) ^ ((x & 0x80) ? 0x1b : 0x00));
}

Byte multiply(Byte a, Byte b)
{
    Byte result = 0;
    while (b) {
        if (b & 1)
            result ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return result;
}

Byte rotateLeft(Byte x, int n)
{
    return static_cast<Byte>((x << n) | (x >> (8 - n)));
}

struct SBoxes
{
    std::array<Byte, 256> forward{};
    std::array<Byte, 256> inverse{};
};

// The S-box is derived rather than tabulated: multiplicative inverse in GF(2^8) followed
// by the affine map. p walks the powers of the generator 3 and q the powers of its inverse,
// so q is always the inverse of p.
const SBoxes& sBoxes()
{
    static const SBoxes boxes = [] {
        SBoxes b;
        Byte p = 1, q = 1;
        do {
            p = static_cast<Byte>(p ^ xtime(p));
            q ^= static_cast<Byte>(q << 1);
            q ^= static_cast<Byte>(q << 2);
            q ^= static_cast<Byte>(q << 4);
            if (q & 0x80)
                q ^= 0x09;
            const Byte s = static_cast<Byte>(q ^ rotateLeft(q, 1) ^ rotateLeft(q, 2) ^ rotateLeft(q, 3) ^
                                             rotateLeft(q, 4) ^ 0x63);
            b.forward[p] = s;
        } while (p != 1);
        b.forward[0] = 0x63;
        for (int i = 0; i < 256; ++i)
            b.inverse[b.forward[i]] = static_cast<Byte>(i);
        return b;
    }();
    return boxes;
}

// Row r of the state moves left by shift(r) columns; the offsets depend on the block length.
unsigned shift(unsigned row, unsigned nb)
{
    if (nb == 8)
        return row == 0 ? 0 : (row == 1 ? 1 : row + 1);
    return row;
}

void addRoundKey(Byte* state, const Byte* key, unsigned bytes)
{
    for (unsigned i = 0; i < bytes; ++i)
        state[i] ^= key[i];
}

void subBytes(Byte* state, unsigned bytes, const std::array<Byte, 256>& box)
{
    for (unsigned i = 0; i < bytes; ++i)
        state[i] = box[state[i]];
}

void shiftRows(Byte* state, unsigned nb, bool inverse)
{
    Byte copy[32];
    std::memcpy(copy, state, 4 * nb);
    for (unsigned r = 1; r < 4; ++r) {
        const unsigned s = shift(r, nb);
        for (unsigned c = 0; c < nb; ++c) {
            const unsigned from = r + 4 * ((c + s) % nb);
            if (inverse)
                state[from] = copy[r + 4 * c];
            else
                state[r + 4 * c] = copy[from];
        }
    }
}

void mixColumns(Byte* state, unsigned nb, bool inverse)
{
    const Byte m[4] = {static_cast<Byte>(inverse ? 0x0e : 0x02), static_cast<Byte>(inverse ? 0x0b : 0x03),
                       static_cast<Byte>(inverse ? 0x0d : 0x01), static_cast<Byte>(inverse ? 0x09 : 0x01)};
    for (unsigned c = 0; c < nb; ++c) {
        Byte* col = state + 4 * c;
        const Byte a[4] = {col[0], col[1], col[2], col[3]};
        for (unsigned r = 0; r < 4; ++r)
            col[r] = static_cast<Byte>(multiply(a[r], m[0]) ^ multiply(a[(r + 1) % 4], m[1]) ^
                                       multiply(a[(r + 2) % 4], m[2]) ^ multiply(a[(r + 3) % 4], m[3]));
    }
}

bool validLength(std::size_t bits)
{
    return bits == 128 || bits == 192 || bits == 256;
}

}

Rijndael::Rijndael(unsigned blockBits, const std::vector<char>& key)
try {
    if (!validLength(blockBits) || !validLength(key.size() * 8))
        throw std::runtime_error("Rijndael: invalid block or key length");
    nb_ = blockBits / 32;
    const unsigned nk = static_cast<unsigned>(key.size() / 4);
    nr_ = std::max(nb_, nk) + 6;

    const auto& box = sBoxes().forward;
    const unsigned words = nb_ * (nr_ + 1);
    roundKeys_.assign(4 * words, 0);
    std::memcpy(roundKeys_.data(), key.data(), key.size());
    Byte rcon = 1;
    for (unsigned i = nk; i < words; ++i) {
        Byte t[4];
        std::memcpy(t, &roundKeys_[4 * (i - 1)], 4);
        if (i % nk == 0) {
            const Byte first = t[0];
            t[0] = static_cast<Byte>(box[t[1]] ^ rcon);
            t[1] = box[t[2]];
            t[2] = box[t[3]];
            t[3] = box[first];
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            for (Byte& b : t)
                b = box[b];
        }
        for (unsigned j = 0; j < 4; ++j)
            roundKeys_[4 * i + j] = static_cast<Byte>(roundKeys_[4 * (i - nk) + j] ^ t[j]);
    }
}
VEXA_RETHROW

void Rijndael::encryptBlock(const char* in, char* out) const noexcept
{
    const unsigned bytes = 4 * nb_;
    const auto& box = sBoxes().forward;
    Byte state[32];
    std::memcpy(state, in, bytes);
    addRoundKey(state, roundKeys_.data(), bytes);
    for (unsigned round = 1; round <= nr_; ++round) {
        subBytes(state, bytes, box);
        shiftRows(state, nb_, false);
        if (round != nr_)
            mixColumns(state, nb_, false);
        addRoundKey(state, roundKeys_.data() + round * bytes, bytes);
    }
    std::memcpy(out, state, bytes);
}

void Rijndael::decryptBlock(const char* in, char* out) const noexcept
{
    const unsigned bytes = 4 * nb_;
    const auto& box = sBoxes().inverse;
    Byte state[32];
    std::memcpy(state, in, bytes);
    addRoundKey(state, roundKeys_.data() + nr_ * bytes, bytes);
    for (unsigned round = nr_; round-- > 0;) {
        shiftRows(state, nb_, true);
        subBytes(state, bytes, box);
        addRoundKey(state, roundKeys_.data() + round * bytes, bytes);
        if (round != 0)
            mixColumns(state, nb_, true);
    }
    std::memcpy(out, state, bytes);
}

}
