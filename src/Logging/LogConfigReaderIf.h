#pragma once

#include <windows.h>

namespace ETWLogging
{

// Where the builder reads its configuration from when it is not the registry
// (an INI file, or a test). Results are Windows error numbers, 0 on success.
class CLogConfigReaderIf
{
public:
    virtual DWORD ReadDword(const wchar_t* name, DWORD* value) = 0;

protected:
    ~CLogConfigReaderIf() = default;
};

} // namespace ETWLogging
