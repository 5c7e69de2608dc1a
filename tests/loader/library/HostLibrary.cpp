// A library of the host framework's shape for the loader's tests: the four
// standard exports (one of them left out in a variant) and a table that
// CreateObject hands out.

#include <cstdint>

namespace
{
struct Table
{
    std::uint32_t askedVersion;
} g_table = {0};
} // namespace

extern "C"
{
    __declspec(dllexport) const void* CreateObject(std::uint32_t version)
    {
        g_table.askedVersion = version;
        return &g_table;
    }

    __declspec(dllexport) void ReleaseObject() {}

    __declspec(dllexport) const char* GetVersionStr()
    {
        return "1.2.3.4";
    }

#ifndef WITHOUT_GET_VERSION_NUM
    __declspec(dllexport) std::uint32_t GetVersionNum()
    {
        return 1002003;
    }
#endif
}
