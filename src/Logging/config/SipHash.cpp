#include "Logging/config/SipHash.h"

namespace Plinth
{
namespace details
{
namespace
{

std::uint64_t Rotl(std::uint64_t x, int b) noexcept
{
    return (x << b) | (x >> (64 - b));
}

std::uint64_t Load64(const std::uint8_t* p) noexcept
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
    {
        v = (v << 8) | p[i];
    }
    return v;
}

void Store64(std::uint64_t v, std::uint8_t* p) noexcept
{
    for (int i = 0; i < 8; ++i)
    {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

struct State
{
    std::uint64_t v0, v1, v2, v3;

    void Round() noexcept
    {
        v0 += v1;
        v1 = Rotl(v1, 13);
        v1 ^= v0;
        v0 = Rotl(v0, 32);
        v2 += v3;
        v3 = Rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = Rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = Rotl(v1, 17);
        v1 ^= v2;
        v2 = Rotl(v2, 32);
    }

    std::uint64_t Sum() const noexcept { return v0 ^ v1 ^ v2 ^ v3; }
};

State Absorb(const std::uint8_t key[16], const std::uint8_t* data, std::size_t length, bool wide) noexcept
{
    const std::uint64_t k0 = Load64(key);
    const std::uint64_t k1 = Load64(key + 8);
    State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
            k1 ^ 0x7465646279746573ULL};
    if (wide)
    {
        s.v1 ^= 0xee;
    }

    const std::size_t whole = length - (length % 8);
    for (std::size_t i = 0; i < whole; i += 8)
    {
        const std::uint64_t m = Load64(data + i);
        s.v3 ^= m;
        s.Round();
        s.Round();
        s.v0 ^= m;
    }

    std::uint64_t last = static_cast<std::uint64_t>(length & 0xff) << 56;
    for (std::size_t i = 0; i < length % 8; ++i)
    {
        last |= static_cast<std::uint64_t>(data[whole + i]) << (8 * i);
    }
    s.v3 ^= last;
    s.Round();
    s.Round();
    s.v0 ^= last;
    return s;
}

} // namespace

std::uint64_t SipHash64(const std::uint8_t key[16], const std::uint8_t* data, std::size_t length) noexcept
{
    State s = Absorb(key, data, length, false);
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i)
    {
        s.Round();
    }
    return s.Sum();
}

void SipHash128(const std::uint8_t key[16], const std::uint8_t* data, std::size_t length,
                std::uint8_t out[16]) noexcept
{
    State s = Absorb(key, data, length, true);
    s.v2 ^= 0xee;
    for (int i = 0; i < 4; ++i)
    {
        s.Round();
    }
    Store64(s.Sum(), out);
    s.v1 ^= 0xdd;
    for (int i = 0; i < 4; ++i)
    {
        s.Round();
    }
    Store64(s.Sum(), out + 8);
}

} // namespace details
} // namespace Plinth
