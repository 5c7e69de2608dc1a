#include "Logging/config/ETWConfigurationListener.h"
#include "Logging/config/ScrambledValue.h"

#include "TestRegistry.h"
#include "support/FailingAllocation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ETWLogging::CETWConfigurationListener;
using ETWLogging::CLoggingIf;
using ETWLogging::internal::ETWAppProperties;
using LogConfigTest::TestKey;

namespace
{

// Records what the listener does to the writer, in order: "E1"/"E0" for
// SetEnabled, "S<n>" for SetSeverity.
class FakeWriter : public CLoggingIf
{
public:
    FakeWriter(const wchar_t* application, const wchar_t* source) : application_(application), source_(source)
    {
    }

    std::vector<std::string> calls;
    bool enabled = true;
    DWORD severity = 3;

    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, ETWLogging::LoggingConfigListenerIf*) override
    {
        return 0;
    }
    DWORD Prepare() override { return 0; }
    const wchar_t* GetSourceName() override { return source_; }
    const wchar_t* GetApplicationName() override { return application_; }
    DWORD Uninitialize() override { return 0; }
    void SetEnabled(bool value) override
    {
        enabled = value;
        calls.push_back(value ? "E1" : "E0");
    }
    bool IsEnabled() override { return enabled; }
    DWORD WriteFormatted(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override
    {
        return 0;
    }
    DWORD WritePreformatted(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t*) override { return 0; }
    bool IsLevelEnabled(DWORD level) override { return level >= severity; }
    DWORD SetMaxEntries(DWORD) override { return 0; }
    DWORD GetMaxEntries() override { return 0; }
    DWORD SetMaxSize(DWORD) override { return 0; }
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD value) override
    {
        const DWORD old = severity;
        severity = value;
        calls.push_back("S" + std::to_string(value));
        return old;
    }
    DWORD GetSeverity() override { return severity; }
    ULONG AddRef() override { return 0; }
    ULONG Release() override { return 0; }
    DWORD LogNormal(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogError(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogWarning(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogCritical(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogInformation(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }

private:
    const wchar_t* application_;
    const wchar_t* source_;
};

using Calls = std::vector<std::string>;

class ListenerTest : public ::testing::Test
{
protected:
    ListenerTest() : key_(L"WLCfgTest_Listener") {}

    void SetUp() override
    {
        key_.Create();
        key_.SetString(L"Session", L"Session ID Guid", L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
        key_.SetString(L"Session", L"Session Name", L"Listener.Session");
        key_.SetString(L"Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF00}");
        key_.SetString(L"Controller", L"Controller Path", L"");
        key_.SetString(L"Controller", L"Owner Mutex Name", L"Global\\ListenerOwner");
        ASSERT_TRUE(properties_.Load(L"WLCfgTest_Listener"));
    }

    TestKey key_;
    ETWAppProperties properties_;
};

} // namespace

TEST_F(ListenerTest, NothingHappensWithoutAWriterAndAttachIsOnceOnly)
{
    key_.SetDword(L"Provider", L"Severity", 2);
    FakeWriter writer(L"App", L"App\\Mod");
    FakeWriter other(L"App", L"App\\Mod");
    CETWConfigurationListener listener(properties_);
    listener.OnConfigurationChange(true, 5, 0);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              listener.ApplyRegistryOverrides(HKEY_LOCAL_MACHINE, properties_.ProviderKeyPath().c_str()));
    EXPECT_TRUE(writer.calls.empty());

    EXPECT_FALSE(listener.Attach(nullptr));
    EXPECT_TRUE(listener.Attach(&writer));
    EXPECT_FALSE(listener.Attach(&other));
    listener.OnConfigurationChange(true, 5, 0);
    EXPECT_EQ((Calls{"E1", "S5", "S2"}), writer.calls);
    EXPECT_TRUE(other.calls.empty());
}

TEST_F(ListenerTest, ProviderSeverityOverridesTheSessionLevel)
{
    key_.SetDword(L"Provider", L"Severity", 2);
    FakeWriter writer(L"App", L"App\\Mod");
    CETWConfigurationListener listener(properties_, &writer);
    listener.OnConfigurationChange(true, 5, 0);
    EXPECT_EQ(2u, writer.severity);
    EXPECT_TRUE(writer.enabled);
}

TEST_F(ListenerTest, ApplicationThenSourceSubkeysOverrideInThatOrder)
{
    key_.SetDword(L"Provider", L"Severity", 2);
    key_.SetDword(L"Provider", L"Enable", 1);
    key_.SetDword(L"Provider\\App", L"Severity", 4);
    key_.SetDword(L"Provider\\App", L"Enable", 0);
    key_.SetDword(L"Provider\\App\\Mod", L"Severity", 6);
    FakeWriter writer(L"App", L"App\\Mod");
    CETWConfigurationListener listener(properties_, &writer);

    listener.OnConfigurationChange(true, 3, 0);
    EXPECT_EQ((Calls{"E1", "S3", "E1", "S2", "E0", "S4", "S6"}), writer.calls);
    EXPECT_FALSE(writer.enabled);
    EXPECT_EQ(6u, writer.severity);

    // A disable request from the session is overridden the same way.
    writer.calls.clear();
    key_.SetDword(L"Provider\\App\\Mod", L"Enable", 7);
    listener.OnConfigurationChange(false, 6, 0);
    EXPECT_EQ((Calls{"E0", "S6", "E1", "S2", "E0", "S4", "E1", "S6"}), writer.calls);
    EXPECT_TRUE(writer.enabled);
}

TEST_F(ListenerTest, MissingKeysAndUnreadableValuesChangeNothing)
{
    // No "Provider" values, no subkeys at all.
    FakeWriter writer(L"App", L"App\\Mod");
    CETWConfigurationListener listener(properties_, &writer);
    listener.OnConfigurationChange(true, 4, 0);
    EXPECT_EQ((Calls{"E1", "S4"}), writer.calls);

    // Wrong types and refused scrambled values are skipped; good scrambled
    // values apply.
    std::wstring tampered = Plinth::CScrambledValue::ScrambleDword(1);
    tampered[36] = tampered[36] == L'A' ? L'B' : L'A';
    key_.SetString(L"Provider", L"Severity", L"2");
    key_.SetString(L"Provider", L"Enable", tampered);
    key_.SetString(L"Provider\\App", L"Severity", Plinth::CScrambledValue::ScrambleDword(5));
    writer.calls.clear();
    listener.OnConfigurationChange(true, 4, 0);
    EXPECT_EQ((Calls{"E1", "S4", "S5"}), writer.calls);
}

TEST_F(ListenerTest, EmptyWriterNamesSkipTheirSubkeys)
{
    key_.SetDword(L"Provider", L"Severity", 2);
    FakeWriter writer(L"", nullptr);
    CETWConfigurationListener listener(properties_, &writer);
    listener.OnConfigurationChange(true, 4, 0);
    // The provider key once, not again as "Provider\" + empty name.
    EXPECT_EQ((Calls{"E1", "S4", "S2"}), writer.calls);
}

TEST_F(ListenerTest, ProviderKeyComesFromTheCopiedProperties)
{
    FakeWriter writer(L"App", L"App\\Mod");
    CETWConfigurationListener listener(properties_, &writer);
    HKEY root = nullptr;
    std::wstring path;
    listener.GetProviderKey(root, path);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\WLCfgTest_Listener\\Provider", path);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              listener.ApplyRegistryOverrides(HKEY_LOCAL_MACHINE, (path + L"\\Nowhere").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              listener.ApplyRegistryOverrides(HKEY_LOCAL_MACHINE, L""));
    EXPECT_TRUE(writer.calls.empty());
}

// Out of memory while the overrides are read, the session's request stays
// applied; no half-read value is.
TEST_F(ListenerTest, OutOfMemoryLeavesTheSessionsRequestOrTheOverride)
{
    key_.SetDword(L"Provider\\App", L"Severity", 2);
    FakeWriter writer(L"App", L"App\\Mod");
    writer.calls.reserve(1000); // the record itself must not be what fails
    CETWConfigurationListener listener(properties_, &writer);
    EXPECT_GT(
        WardlineTest::FailEachAllocationInTurn([&] { listener.OnConfigurationChange(true, 5, 0); },
                                               [&](long n)
                                               {
                                                   EXPECT_TRUE(writer.severity == 5 || writer.severity == 2)
                                                       << "allocation " << n << ": " << writer.severity;
                                               }),
        0);
    EXPECT_EQ(2u, writer.severity);
}
