#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace EtwTest
{

// Writes the event record's field forms by hand, little-endian, so that the
// tests state the expected bytes independently of the writer.
class RecordBytes
{
public:
    RecordBytes& U16(std::uint16_t value) { return Little(value, 2); }
    RecordBytes& U32(std::uint32_t value) { return Little(value, 4); }
    RecordBytes& U64(std::uint64_t value) { return Little(value, 8); }
    RecordBytes& Counted(const std::wstring& text)
    {
        U16(static_cast<std::uint16_t>(text.size()));
        for (wchar_t c : text)
        {
            U16(static_cast<std::uint16_t>(c));
        }
        return *this;
    }
    RecordBytes& Raw(const std::string& bytes)
    {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    RecordBytes& Little(std::uint64_t value, int count)
    {
        for (int i = 0; i < count; ++i)
        {
            bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
        return *this;
    }

    std::vector<std::uint8_t> bytes_;
};

} // namespace EtwTest
