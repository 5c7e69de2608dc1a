// The library's boundary: the four standard exports, the function table and
// the tap. Nothing thrown inside the bus crosses it.

#include "Bus.h"
#include "courier/CourierBus.h"

#include <windows.h>

#include <new>

namespace
{
using courier::detail::Bus;

template <typename Call> CourierStatus guarded(Call&& call) noexcept
{
    try
    {
        return call();
    }
    catch (const std::bad_alloc&)
    {
        return courier::kStatusNoMemory;
    }
    catch (...)
    {
        return courier::kStatusUnsuccessful;
    }
}

CourierStatus getHandle(CourierHandle* handle)
{
    return guarded([&] { return Bus::instance().getHandle(handle); });
}

CourierStatus releaseHandle(CourierHandle handle)
{
    return guarded([&] { return Bus::instance().releaseHandle(handle); });
}

CourierStatus publish(CourierHandle handle, const void* record, const wchar_t* name, const wchar_t* source,
                      const wchar_t* payload)
{
    return guarded([&] { return Bus::instance().publish(handle, record, name, source, payload); });
}

CourierStatus request(CourierHandle handle, std::uint64_t index, void* replyContext,
                      CourierReplyCallback replyCallback, const void* record, const wchar_t* name,
                      const wchar_t* source, const wchar_t* payload, std::uint64_t timeoutMs)
{
    return guarded(
        [&]
        {
            return Bus::instance().request(handle, index, replyContext, replyCallback, record, name, source,
                                           payload, timeoutMs);
        });
}

std::uint32_t subscribeAny(CourierHandle handle, void* context, CourierMessageCallback callback,
                           const wchar_t* text, bool isPattern) noexcept
{
    try
    {
        return Bus::instance().subscribe(handle, context, callback, text, isPattern);
    }
    catch (...)
    {
        return 0;
    }
}

std::uint32_t subscribe(CourierHandle handle, void* context, CourierMessageCallback callback,
                        const wchar_t* name)
{
    return subscribeAny(handle, context, callback, name, false);
}

std::uint32_t subscribeFilter(CourierHandle handle, void* context, CourierMessageCallback callback,
                              const wchar_t* pattern)
{
    return subscribeAny(handle, context, callback, pattern, true);
}

CourierStatus unsubscribe(CourierHandle handle, std::uint32_t id)
{
    return guarded([&] { return Bus::instance().unsubscribe(handle, id); });
}

CourierStatus removeReplyCallback(CourierHandle handle, CourierReplyCallback callback)
{
    return guarded([&] { return Bus::instance().removeReplyCallback(handle, callback); });
}

const CourierFunctionTable kTable = {
    getHandle, releaseHandle, publish, request, subscribe, subscribeFilter, unsubscribe, removeReplyCallback,
    publish, // publishEx: the same operation
    request, // requestEx: the same operation
};
} // namespace

#if defined(__GLIBCXX__)
namespace __gnu_cxx
{
// libstdc++'s hook for memory checkers: frees the emergency exception pool.
void __freeres() noexcept;
} // namespace __gnu_cxx
#endif

extern "C"
{

    const CourierFunctionTable* CreateObject(std::uint32_t version)
    {
        return version == courier::kInterfaceVersion ? &kTable : nullptr;
    }

    void ReleaseObject() {}

    const char* GetVersionStr()
    {
        return "2.1.0";
    }

    std::uint32_t GetVersionNum()
    {
        return courier::kInterfaceVersion;
    }

    CourierStatus CourierSetTap(CourierTapCallback callback, void* tapContext)
    {
        return guarded([&] { return Bus::instance().setTap(callback, tapContext); });
    }

    CourierStatus CourierGetStats(CourierStats* stats)
    {
        return guarded([&] { return Bus::instance().getStats(stats); });
    }

    BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
    {
        switch (reason)
        {
        case DLL_PROCESS_ATTACH:
            return Bus::createInstance() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            // On FreeLibrary no bus thread is left (each holds a reference on the
            // library). At process exit threads were killed wherever they stood,
            // possibly holding the bus lock: leave the bus alone then.
            if (reserved == nullptr)
            {
                Bus::destroyInstance();
#if defined(__GLIBCXX__)
                // libstdc++ keeps its emergency exception pool (about 73 KB)
                // for the life of the process; a bus library that modules load
                // and unload again and again must give it back.
                __gnu_cxx::__freeres();
#endif
            }
            return TRUE;
        default:
            return TRUE;
        }
    }

} // extern "C"
