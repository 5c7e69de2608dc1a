#include "wrappers/FileVersionInfo.h"

#include <cwchar>

namespace Plinth
{

bool FileVersionInfo::Load(const std::wstring& path)
{
    if (loaded_)
    {
        return false;
    }
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
    {
        return false;
    }
    buffer_.assign(size, 0);
    loaded_ = ::GetFileVersionInfoW(path.c_str(), 0, size, buffer_.data()) == TRUE;
    return loaded_;
}

void FileVersionInfo::GetString(std::wstring& value, const std::wstring& key)
{
    value.clear();
    if (!loaded_)
    {
        return;
    }
    const BYTE* begin = buffer_.data();
    const BYTE* end = begin + buffer_.size();
    // What VerQueryValueW points at must lie inside our buffer; a damaged
    // resource must not make us read past it.
    const auto inside = [&](const void* data, std::size_t bytes)
    {
        const BYTE* p = static_cast<const BYTE*>(data);
        return p >= begin && p <= end && bytes <= static_cast<std::size_t>(end - p);
    };

    void* translations = nullptr;
    UINT translationBytes = 0;
    if (!::VerQueryValueW(begin, L"\\VarFileInfo\\Translation", &translations, &translationBytes) ||
        translations == nullptr || !inside(translations, translationBytes))
    {
        return;
    }
    const WORD* pairs = static_cast<const WORD*>(translations);
    for (UINT i = 0; i + 1 < translationBytes / sizeof(WORD); i += 2)
    {
        wchar_t block[32];
        _snwprintf_s(block, _countof(block), _TRUNCATE, L"\\StringFileInfo\\%04X%04X\\", pairs[i],
                     pairs[i + 1]);
        const std::wstring query = block + key;
        void* text = nullptr;
        UINT length = 0;
        if (::VerQueryValueW(begin, query.c_str(), &text, &length) && text != nullptr && inside(text, 0))
        {
            const std::size_t room =
                static_cast<std::size_t>(end - static_cast<const BYTE*>(text)) / sizeof(wchar_t);
            const wchar_t* chars = static_cast<const wchar_t*>(text);
            value.assign(chars, wcsnlen(chars, length < room ? length : room));
            return;
        }
    }
}

} // namespace Plinth
