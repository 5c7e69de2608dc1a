#pragma once

#include <windows.h>
#include <unknwn.h>

#include <chrono>
#include <string>

namespace Norvan
{

// The protection-manager service's interfaces as this client calls them.
// Only the slots it uses are named; the others keep the table's layout.

struct IKvProtectionManager2 : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Slot3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Slot4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Slot5() = 0;
    // The name is the caller's for the call's duration (not a BSTR).
    virtual HRESULT STDMETHODCALLTYPE TakeAlertAction(const wchar_t* alert, LONG action) = 0;
};

// The object the surrogate broker launches.
struct IKvLaunchedObject : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE CreateObject(const GUID* id, IKvProtectionManager2** manager) = 0;
};

struct IKvSurrogateBroker : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Slot3() = 0;
    virtual HRESULT STDMETHODCALLTYPE LaunchObject(const GUID* id, IKvLaunchedObject** object) = 0;
};

// The surrogate broker's class, created in the service's own process.
inline constexpr CLSID CLSID_KvSurrogateBroker = {
    0x20966775, 0x18A4, 0x4299, {0xB8, 0xE3, 0x77, 0x2C, 0x33, 0x6B, 0x52, 0xA7}};
inline constexpr IID IID_IKvSurrogateBroker = {
    0x8652BE3F, 0xEB78, 0x463B, {0x8E, 0x28, 0x2D, 0x2B, 0xD5, 0x8A, 0x74, 0xF2}};
// What the broker is asked to launch.
inline constexpr GUID KvLaunchedObjectId = {
    0xAD6E7ABF, 0xE06F, 0x4FF6, {0xB7, 0x34, 0xD0, 0x4F, 0x22, 0xDA, 0xE0, 0x42}};
// What the launched object is asked for: IKvProtectionManager2.
inline constexpr GUID KvProtectionManager2Id = {
    0xAD4969AA, 0x5ADE, 0x4EA8, {0xAA, 0x22, 0x45, 0x74, 0x3B, 0x95, 0x97, 0x03}};

// Client of the product's protection-manager COM service. Stateless: every
// call builds its objects anew and releases them before it returns. The
// caller initialises COM on its thread.
class ProtectionManager
{
public:
    // The action that ignores an alert; the only one this module sends.
    static constexpr LONG IgnoreAction = 2;

    // Broker, launched object, IKvProtectionManager2: stops at the first step
    // that fails or succeeds without its object, and returns that step's
    // HRESULT. On success *manager holds a reference the caller owns;
    // otherwise it is null.
    static HRESULT CreateProtectionManager2(IKvProtectionManager2** manager);

    // Sends the ignore action for the alert. E_FAIL when the interface cannot
    // be obtained; otherwise the service's HRESULT.
    static HRESULT takeAlertAction(const std::wstring& alert);

    // takeAlertAction on a thread of the call's own, in the multithreaded
    // apartment, waited for at most `limit` or until `abandon` (an event, may
    // be null) is set. A cross-process call has no time limit of its own and
    // cannot be cancelled here, so a service that does not answer costs that
    // thread, not its caller: the result is then RPC_E_TIMEOUT, and the call
    // goes on without a waiter until the service answers (the thread keeps
    // this library loaded until then). While such a call is out, further
    // calls answer RPC_E_TIMEOUT at once instead of leaving a thread each.
    // Needs no COM initialisation of the caller.
    static HRESULT takeAlertActionWithin(const std::wstring& alert, std::chrono::milliseconds limit,
                                         HANDLE abandon);
};

} // namespace Norvan
