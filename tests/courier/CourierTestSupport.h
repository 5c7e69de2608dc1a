#pragma once

#include "courier/CourierBus.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/WaitUntil.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace courier::test
{

// Courier.dll from the test's folder, with its exports, loaded the way the
// module loads it. Each test gets its own load; with every handle released
// the library really unloads once its threads have ended.
class CourierLibrary
{
public:
    CourierLibrary()
    {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder(path, length);
        folder.resize(folder.find_last_of(L'\\') + 1);
        module_ = LoadLibraryW((folder + L"Courier.dll").c_str());
        if (module_ == nullptr)
        {
            return;
        }
        createObject = proc<CourierCreateObjectFn>("CreateObject");
        releaseObject = proc<CourierReleaseObjectFn>("ReleaseObject");
        getVersionStr = proc<CourierGetVersionStrFn>("GetVersionStr");
        getVersionNum = proc<CourierGetVersionNumFn>("GetVersionNum");
        setTap = proc<CourierSetTapFn>("CourierSetTap");
        getStats = proc<CourierGetStatsFn>("CourierGetStats");
        if (createObject != nullptr)
        {
            table = createObject(kInterfaceVersion);
        }
    }
    ~CourierLibrary()
    {
        if (module_ != nullptr)
        {
            FreeLibrary(module_);
        }
    }
    CourierLibrary(const CourierLibrary&) = delete;
    CourierLibrary& operator=(const CourierLibrary&) = delete;

    bool complete() const
    {
        return table != nullptr && releaseObject && getVersionStr && getVersionNum && setTap && getStats;
    }

    CourierCreateObjectFn createObject = nullptr;
    CourierReleaseObjectFn releaseObject = nullptr;
    CourierGetVersionStrFn getVersionStr = nullptr;
    CourierGetVersionNumFn getVersionNum = nullptr;
    CourierSetTapFn setTap = nullptr;
    CourierGetStatsFn getStats = nullptr;
    const CourierFunctionTable* table = nullptr;

private:
    template <typename Function> Function proc(const char* name) const
    {
        // Through void*: the real signature is the export's, not FARPROC's.
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    HMODULE module_ = nullptr;
};

// A bus handle released at the end of its scope (unless released earlier).
class BusHandle
{
public:
    explicit BusHandle(const CourierFunctionTable* table) : table_(table)
    {
        status = table_->getHandle(&handle);
    }
    ~BusHandle() { release(); }
    BusHandle(const BusHandle&) = delete;
    BusHandle& operator=(const BusHandle&) = delete;
    CourierStatus release()
    {
        const CourierStatus result = handle ? table_->releaseHandle(handle) : 0;
        handle = nullptr;
        return result;
    }
    operator CourierHandle() const { return handle; }

    CourierHandle handle = nullptr;
    CourierStatus status = 0;

private:
    const CourierFunctionTable* table_;
};

using WardlineTest::allowLateArrivals;
using WardlineTest::waitUntil;

// A 108-byte version 2 record, or a 100-byte version 1 one.
struct Record
{
    unsigned char bytes[kRecordSizeV2] = {};

    explicit Record(std::uint16_t version = 2)
    {
        put<std::uint16_t>(kOffsetKind, 1);
        put<std::uint32_t>(kOffsetTotalSize, version == 2 ? 130 : 122);
        put<std::uint16_t>(kOffsetVersion, version);
        if (version == 2)
        {
            put<std::uint16_t>(100, 11);
            put<std::uint16_t>(102, 8);
        }
    }
    template <typename T> void put(std::size_t offset, T value)
    {
        std::memcpy(bytes + offset, &value, sizeof(T));
    }
    template <typename T> static T get(const void* record, std::size_t offset)
    {
        T value;
        std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof(T));
        return value;
    }
};

#define ASSERT_COURIER_LOADED(lib)                                                                           \
    ASSERT_TRUE((lib).complete()) << "Courier.dll or one of its exports is missing"

} // namespace courier::test
