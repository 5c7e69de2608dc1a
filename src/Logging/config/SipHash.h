#pragma once

#include <cstddef>
#include <cstdint>

namespace Plinth
{
namespace details
{

// SipHash-2-4 (Aumasson and Bernstein), the keyed hash behind the scrambled
// value form. The key is 16 bytes; the 128-bit variant writes 16 bytes.
std::uint64_t SipHash64(const std::uint8_t key[16], const std::uint8_t* data, std::size_t length) noexcept;
void SipHash128(const std::uint8_t key[16], const std::uint8_t* data, std::size_t length,
                std::uint8_t out[16]) noexcept;

} // namespace details
} // namespace Plinth
