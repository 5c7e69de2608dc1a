#pragma once

#include "wrappers/UniqueResource.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Plinth
{
namespace internal
{

// The registry access behind CRegKey. The derived implementation only
// changes how raw value data becomes a DWORD or a string.
class CRegKeyImpl
{
public:
    // Largest value data that is read at all.
    static constexpr DWORD kMaxValueBytes = 1024 * 1024;

    virtual ~CRegKeyImpl() = default;

    DWORD Open(HKEY root, const wchar_t* path, REGSAM access);
    void Close() noexcept { key_.reset(); }
    HKEY Handle() const noexcept { return key_.get(); }

    DWORD ReadDword(const wchar_t* name, DWORD& value);
    DWORD ReadString(const wchar_t* name, std::wstring& value);
    DWORD ReadGuid(const wchar_t* name, GUID& value);

protected:
    virtual DWORD ToDword(DWORD type, const std::vector<BYTE>& data, DWORD& value);
    virtual DWORD ToString(DWORD type, const std::vector<BYTE>& data, std::wstring& value);

    static bool IsStringType(DWORD type) noexcept { return type == REG_SZ || type == REG_EXPAND_SZ; }
    // Registry string data as text: up to the first NUL or the end.
    static std::wstring TextOf(const std::vector<BYTE>& data);

private:
    DWORD QueryRaw(const wchar_t* name, DWORD& type, std::vector<BYTE>& data);
    // Queries the value and converts its data; `value` changes only on success.
    template <typename T, typename Convert>
    DWORD ReadAs(const wchar_t* name, T& value, Convert convert);

    Norvan::unique_hkey key_;
};

class CObfuscatedRegKeyImpl : public CRegKeyImpl
{
protected:
    DWORD ToDword(DWORD type, const std::vector<BYTE>& data, DWORD& value) override;
    DWORD ToString(DWORD type, const std::vector<BYTE>& data, std::wstring& value) override;
};

} // namespace internal
} // namespace Plinth
