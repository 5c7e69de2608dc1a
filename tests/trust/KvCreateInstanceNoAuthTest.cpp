#include <gtest/gtest.h>

#include <string>

#include "TrustTestSupport.h"
#include "testclass/TestClass.h"
#include "trust/KvCreateInstanceNoAuth.h"
#include "wrappers/ComApartment.h"
#include "wrappers/UniqueResource.h"

namespace
{

std::wstring clsidText(const CLSID& clsid)
{
    wchar_t text[64] = {};
    ::StringFromGUID2(clsid, text, 64);
    return text;
}

// Registers the test classes in the test prefix (HKLM\Software\Classes;
// Wine does not read per-user class registrations), in-process, and removes
// them again.
class KvCreateInstanceNoAuthTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        const std::wstring dll = TrustTest::fromBuildPath(TRUST_TESTCLASS_DLL);
        for (const CLSID* clsid : kClasses)
        {
            const std::wstring key = L"Software\\Classes\\CLSID\\" + clsidText(*clsid) + L"\\InprocServer32";
            HKEY h = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                                                       KEY_WRITE, nullptr, &h, nullptr));
            ::RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                             static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t)));
            ::RegSetValueExW(h, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"),
                             5 * sizeof(wchar_t));
            ::RegCloseKey(h);
        }
    }
    static void TearDownTestSuite()
    {
        for (const CLSID* clsid : kClasses)
        {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\CLSID\\" + clsidText(*clsid)).c_str());
        }
    }
    void SetUp() override { ASSERT_TRUE(com_.initialized()) << std::hex << com_.result(); }

    static constexpr const CLSID* kClasses[] = {
        &TrustTestClass::kBothFactories, &TrustTestClass::kSecondFactoryOnly, &TrustTestClass::kNoFactory,
        &TrustTestClass::kNullFactory};

private:
    Norvan::ComApartment com_;
};

TEST_F(KvCreateInstanceNoAuthTest, NullOutPointerIsEPointer)
{
    EXPECT_EQ(E_POINTER, Norvan::KvCreateInstanceNoAuth(TrustTestClass::kBothFactories, nullptr,
                                                        CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr));
}

TEST_F(KvCreateInstanceNoAuthTest, FirstFactoryInterfaceIsPreferred)
{
    Norvan::com_ptr<TrustTestClass::ITestObject> object;
    ASSERT_EQ(S_OK,
              Norvan::KvCreateInstanceNoAuth(TrustTestClass::kBothFactories, nullptr, CLSCTX_INPROC_SERVER,
                                             TrustTestClass::IID_ITestObject, object.put_void()));
    ASSERT_TRUE(object);
    EXPECT_EQ(1u, object->FactoryInterface());
}

TEST_F(KvCreateInstanceNoAuthTest, SecondFactoryInterfaceWhenFirstIsRefused)
{
    Norvan::com_ptr<TrustTestClass::ITestObject> object;
    ASSERT_EQ(S_OK, Norvan::KvCreateInstanceNoAuth(TrustTestClass::kSecondFactoryOnly, nullptr,
                                                   CLSCTX_INPROC_SERVER, TrustTestClass::IID_ITestObject,
                                                   object.put_void()));
    ASSERT_TRUE(object);
    EXPECT_EQ(2u, object->FactoryInterface());
}

TEST_F(KvCreateInstanceNoAuthTest, NeitherFactoryGivesTheSecondRequestsErrorAndNullOut)
{
    void* out = reinterpret_cast<void*>(0x1234);
    const HRESULT hr = Norvan::KvCreateInstanceNoAuth(TrustTestClass::kNoFactory, nullptr,
                                                      CLSCTX_INPROC_SERVER, IID_IUnknown, &out);
    EXPECT_EQ(E_NOINTERFACE, hr);
    EXPECT_EQ(nullptr, out);
}

TEST_F(KvCreateInstanceNoAuthTest, SuccessWithoutAFactoryIsNoInterface)
{
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, Norvan::KvCreateInstanceNoAuth(TrustTestClass::kNullFactory, nullptr,
                                                            CLSCTX_INPROC_SERVER, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(KvCreateInstanceNoAuthTest, UnregisteredClassReportsCoGetClassObjectError)
{
    const CLSID unknown = {0x8E0F4D10, 0x3A51, 0x4C7B, {0x9D, 0x20, 0x11, 0x52, 0x7A, 0x6B, 0x01, 0x7F}};
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              Norvan::KvCreateInstanceNoAuth(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(KvCreateInstanceNoAuthTest, InterfaceTheObjectLacksIsTheFactorysResult)
{
    void* out = nullptr;
    EXPECT_EQ(E_NOINTERFACE, Norvan::KvCreateInstanceNoAuth(TrustTestClass::kBothFactories, nullptr,
                                                            CLSCTX_INPROC_SERVER, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
}

} // namespace
