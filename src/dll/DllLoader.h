#pragma once

#include "wrappers/DllAPI.h"

#include <memory>
#include <string>

namespace Norvan
{

// Loading and symbol lookup as logged results, over the replaceable DllAPI.
class DllLoader
{
public:
    // An empty DllAPI gets the real one.
    explicit DllLoader(std::shared_ptr<DllAPI> api = nullptr);
    virtual ~DllLoader();

    // A library this process already has is taken as it is (its reference
    // count raised); any other is loaded through the trust check.
    virtual bool loadDLL(const std::wstring& path, HMODULE* module);
    // Null when the library has no such export.
    virtual FARPROC getProcAddress(HMODULE module, const char* name);
    virtual bool freeDLL(HMODULE module);

private:
    std::shared_ptr<DllAPI> api_;
};

} // namespace Norvan
