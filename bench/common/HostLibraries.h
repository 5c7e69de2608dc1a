#pragma once

// The host's side of the benchmarks that drive the real Wardline.dll: the
// libraries loaded from the benchmark's folder, the module table as a host
// declares it, and one module created and initialised over a bus table the
// benchmark passes.

#include "ModuleHost.h"
#include "common/Path.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace bench
{

// The module table as the host reads it: hubhost's declaration.
using ModuleTable = hubhost::ModuleFunctionTable;

inline std::wstring besideThisExe(const wchar_t* fileName)
{
    return Norvan::internal::folderOf(Norvan::internal::moduleFileName(nullptr)) + L"\\" + fileName;
}

// A library beside the benchmark, freed at the end of its scope.
class Library
{
public:
    explicit Library(const wchar_t* fileName) : module_(LoadLibraryW(besideThisExe(fileName).c_str())) {}
    ~Library()
    {
        if (module_ != nullptr)
        {
            FreeLibrary(module_);
        }
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    template <typename Function> Function get(const char* name) const
    {
        // Through void*: the real signature is the export's, not FARPROC's.
        return module_ == nullptr
                   ? nullptr
                   : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

// One Wardline module on the bus the caller describes, destroyed at the end
// of its scope.
class HostedModule
{
public:
    HostedModule(const ModuleTable& table, void* busHandle, const void* busFunctions) : table_(table)
    {
        status = table_.NewModule(&handle_, L"BenchHost");
        if (status == 0)
        {
            status = table_.InitializeModuleV2(handle_, L"Wardline", L"", 0, nullptr, nullptr, nullptr,
                                               nullptr, busHandle, busFunctions);
        }
    }
    ~HostedModule()
    {
        if (handle_ != nullptr)
        {
            table_.DestroyModule(handle_);
        }
    }
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    std::uint32_t status = 0;

private:
    const ModuleTable& table_;
    void* handle_ = nullptr;
};

inline const ModuleTable* wardlineTable(const Library& wardline)
{
    const auto create = wardline.get<const void* (*)()>("CreateObject");
    return create != nullptr ? static_cast<const ModuleTable*>(create()) : nullptr;
}

} // namespace bench
