#pragma once

#include <windows.h>
#include <unknwn.h>

// In-process test classes for KvCreateInstanceNoAuth.
namespace TrustTestClass
{

// Exposes both unauthenticated factory interfaces.
constexpr CLSID kBothFactories = {
    0x8E0F4D10, 0x3A51, 0x4C7B, {0x9D, 0x20, 0x11, 0x52, 0x7A, 0x6B, 0x01, 0x01}};
// Exposes only the second one.
constexpr CLSID kSecondFactoryOnly = {
    0x8E0F4D10, 0x3A51, 0x4C7B, {0x9D, 0x20, 0x11, 0x52, 0x7A, 0x6B, 0x01, 0x02}};
// Exposes neither.
constexpr CLSID kNoFactory = {0x8E0F4D10, 0x3A51, 0x4C7B, {0x9D, 0x20, 0x11, 0x52, 0x7A, 0x6B, 0x01, 0x03}};

constexpr IID IID_ITestObject = {
    0x8E0F4D10, 0x3A51, 0x4C7B, {0x9D, 0x20, 0x11, 0x52, 0x7A, 0x6B, 0x02, 0x01}};

struct ITestObject : public IUnknown
{
    // 1 or 2: which factory interface created the object.
    virtual DWORD STDMETHODCALLTYPE FactoryInterface() = 0;
};

} // namespace TrustTestClass
