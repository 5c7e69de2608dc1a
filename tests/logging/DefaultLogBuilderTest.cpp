#include <gtest/gtest.h>

#include "FakeWriters.h"
#include "Logging/DefaultLogBuilder.h"
#include "Logging/ETWLogging.h"
#include "wrappers/UniqueResource.h"

using namespace LoggingTest;
using ETWLogging::CDefaultLogBuilder;
using ETWLogging::CLoggingIf;

namespace
{

// Counts which factory the builder chose.
int g_fileFactoryCalls = 0;
int g_etwFactoryCalls = 0;
CLoggingIf* FileFactory()
{
    ++g_fileFactoryCalls;
    return new FakeWriter();
}
CLoggingIf* EtwFactory()
{
    ++g_etwFactoryCalls;
    return new FakeWriterEx();
}
CLoggingIf* NoWriter()
{
    return nullptr;
}

class ScriptedReader : public ETWLogging::CLogConfigReaderIf
{
public:
    ScriptedReader(DWORD result, DWORD value) : m_result(result), m_value(value) {}
    DWORD ReadDword(const wchar_t* name, DWORD* value) override
    {
        lastName = name;
        *value = m_value;
        return m_result;
    }
    std::wstring lastName;

private:
    DWORD m_result;
    DWORD m_value;
};

class DefaultLogBuilderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetScript();
        g_fileFactoryCalls = 0;
        g_etwFactoryCalls = 0;
    }
    void TearDown() override { delete built; }

    bool BuildEx(const wchar_t* profile, const wchar_t* app, const wchar_t* logName, int mechanism = 1,
                 ETWLogging::CLogConfigReaderIf* reader = nullptr)
    {
        return builder.BuildEx(profile, app, reinterpret_cast<HMODULE>(0x1234), logName, mechanism, &built,
                               reader);
    }

    CDefaultLogBuilder builder{FileFactory, EtwFactory};
    CLoggingIf* built = nullptr;
};

} // namespace

TEST_F(DefaultLogBuilderTest, StoresInitialisedWriterAndTakesOneReference)
{
    ASSERT_TRUE(BuildEx(L"ZEP", L"App", L"extra"));
    ASSERT_NE(nullptr, built);
    EXPECT_EQ(1, Script().initializeCalls); // the file writer has no extended interface
    EXPECT_EQ(0, Script().initializeExCalls);
    EXPECT_EQ(1, Script().addRefCalls);
    EXPECT_EQ(0, Script().destroyed);
    EXPECT_EQ(L"App", Script().lastApplication);
    EXPECT_EQ(L"extra", Script().lastLogName);
    EXPECT_EQ(reinterpret_cast<HMODULE>(0x1234), Script().lastModule);
}

TEST_F(DefaultLogBuilderTest, ExtendedWriterIsInitialisedWithProfileAndFallsBackToPlainInitialise)
{
    ScriptedReader etw(0, 2);
    ASSERT_TRUE(BuildEx(L"Profile", L"App", nullptr, 0, &etw));
    EXPECT_EQ(1, Script().initializeExCalls);
    EXPECT_EQ(0, Script().initializeCalls);
    EXPECT_EQ(L"Profile", Script().lastProfile);
    EXPECT_EQ(L"<null>", Script().lastLogName);
    delete built;
    built = nullptr;

    ResetScript();
    Script().initializeExResult = ERROR_GEN_FAILURE;
    ASSERT_TRUE(BuildEx(L"Profile", L"App", nullptr, 0, &etw));
    EXPECT_EQ(1, Script().initializeExCalls);
    EXPECT_EQ(1, Script().initializeCalls);
    EXPECT_EQ(1, Script().addRefCalls);
}

TEST_F(DefaultLogBuilderTest, FailedInitialisationDestroysTheWriter)
{
    Script().initializeExResult = ERROR_GEN_FAILURE;
    Script().initializeResult = ETWLogging::kErrorAlreadyInitialized;
    ScriptedReader etw(0, 0);
    EXPECT_FALSE(BuildEx(nullptr, L"App", nullptr, 0, &etw));
    EXPECT_EQ(nullptr, built);
    EXPECT_EQ(1, Script().created);
    EXPECT_EQ(1, Script().destroyed);
    EXPECT_EQ(0, Script().addRefCalls);
}

TEST_F(DefaultLogBuilderTest, WriterWhoseInitialisationThrowsIsDestroyed)
{
    Script().initializeThrows = true;
    ScriptedReader etw(0, 0);
    EXPECT_THROW(BuildEx(nullptr, L"App", nullptr, 1), std::runtime_error);       // Initialize
    EXPECT_THROW(BuildEx(nullptr, L"App", nullptr, 0, &etw), std::runtime_error); // InitializeEx
    EXPECT_EQ(nullptr, built);
    EXPECT_EQ(2, Script().created);
    EXPECT_EQ(2, Script().destroyed);
    EXPECT_EQ(0, Script().addRefCalls);
}

TEST_F(DefaultLogBuilderTest, RefusesEmptyNamesAndAnOccupiedOutPointer)
{
    EXPECT_FALSE(BuildEx(nullptr, L"", nullptr));
    EXPECT_FALSE(BuildEx(nullptr, L"App", L""));
    EXPECT_EQ(0, Script().created);

    // Null names are allowed.
    ASSERT_TRUE(BuildEx(nullptr, nullptr, nullptr));
    EXPECT_EQ(L"<null>", Script().lastApplication);
    CLoggingIf* first = built;
    EXPECT_FALSE(BuildEx(nullptr, L"App", nullptr));
    EXPECT_EQ(first, built);
    EXPECT_EQ(1, Script().created);

    // A null out pointer is refused rather than written through.
    EXPECT_FALSE(builder.BuildEx(nullptr, L"App", nullptr, nullptr, 1, nullptr, nullptr));
}

TEST_F(DefaultLogBuilderTest, BuildHandsANullProfileToBuildEx)
{
    ScriptedReader etw(0, 0);
    Script().lastProfile = L"unset";
    ASSERT_TRUE(builder.Build(L"App", nullptr, nullptr, 0, &built, &etw));
    EXPECT_EQ(1, Script().initializeExCalls);
    EXPECT_TRUE(Script().profileWasNull);
}

TEST_F(DefaultLogBuilderTest, MechanismFromOverrideOrConfigurationReader)
{
    ScriptedReader file(0, 1);
    ScriptedReader other(0, 7);
    ScriptedReader failing(ERROR_FILE_NOT_FOUND, 1);

    EXPECT_EQ(1u, CDefaultLogBuilder::ChooseMechanism(1, &other)); // the override wins
    EXPECT_EQ(1u, CDefaultLogBuilder::ChooseMechanism(0, &file));
    EXPECT_EQ(L"Logging Mechanism", file.lastName);
    EXPECT_EQ(7u, CDefaultLogBuilder::ChooseMechanism(2, &other));
    EXPECT_EQ(0u, CDefaultLogBuilder::ChooseMechanism(0, &failing)); // unreadable: ETW

    ASSERT_TRUE(BuildEx(nullptr, L"App", nullptr, 0, &file));
    EXPECT_EQ(1, g_fileFactoryCalls);
    delete built;
    built = nullptr;
    ASSERT_TRUE(BuildEx(nullptr, L"App", nullptr, 0, &other));
    EXPECT_EQ(1, g_etwFactoryCalls);
    delete built;
    built = nullptr;
    ASSERT_TRUE(BuildEx(nullptr, L"App", nullptr, 0, &failing));
    EXPECT_EQ(2, g_etwFactoryCalls);
}

TEST_F(DefaultLogBuilderTest, WithoutWritersTheBuildFailsCleanly)
{
    CDefaultLogBuilder none{NoWriter, NoWriter};
    EXPECT_FALSE(none.BuildEx(nullptr, L"App", nullptr, nullptr, 0, &built, nullptr));
    EXPECT_FALSE(none.Build(L"App", nullptr, nullptr, 1, &built, nullptr));
    EXPECT_EQ(nullptr, built);
}

TEST_F(DefaultLogBuilderTest, TheDefaultEtwFactoryBuildsTheEventWriter)
{
    CDefaultLogBuilder real;
    ASSERT_TRUE(real.BuildEx(nullptr, L"App", nullptr, nullptr, 0, &built, nullptr));
    EXPECT_NE(nullptr, dynamic_cast<ETWLogging::CETWLogging*>(built));
}

namespace
{

// Saves HKLM\SOFTWARE\Korvex\Logging's "Logging Mechanism" and puts it back.
class MechanismValueGuard
{
public:
    MechanismValueGuard()
    {
        Norvan::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath, 0, KEY_READ, key.put()) ==
            ERROR_SUCCESS)
        {
            m_keyExisted = true;
            DWORD size = sizeof(m_value);
            m_valueExisted = RegGetValueW(key.get(), nullptr, ETWLogging::kLoggingMechanismValue,
                                          RRF_RT_REG_DWORD, nullptr, &m_value, &size) == ERROR_SUCCESS;
        }
    }
    ~MechanismValueGuard()
    {
        if (m_valueExisted)
        {
            Set(m_value);
        }
        else if (m_keyExisted)
        {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                               ETWLogging::kLoggingMechanismValue);
        }
        else
        {
            DeleteKey();
        }
    }
    static bool Set(DWORD value)
    {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                               ETWLogging::kLoggingMechanismValue, REG_DWORD, &value,
                               sizeof(value)) == ERROR_SUCCESS;
    }
    static bool SetText(const wchar_t* text)
    {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                               ETWLogging::kLoggingMechanismValue, REG_SZ, text,
                               static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    static void DeleteKey() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath); }

private:
    bool m_keyExisted = false;
    bool m_valueExisted = false;
    DWORD m_value = 0;
};

} // namespace

TEST_F(DefaultLogBuilderTest, MechanismFromTheMachineRegistry)
{
    MechanismValueGuard guard;
    DWORD mechanism = 99;
    bool found = true;

    ASSERT_TRUE(MechanismValueGuard::Set(1));
    EXPECT_TRUE(ETWLogging::ReadLoggingMechanismFromRegistry(&mechanism, &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(1u, mechanism);
    ASSERT_TRUE(BuildEx(nullptr, L"App", nullptr, 0));
    EXPECT_EQ(1, g_fileFactoryCalls);
    delete built;
    built = nullptr;

    ASSERT_TRUE(MechanismValueGuard::Set(3));
    ASSERT_TRUE(BuildEx(nullptr, L"App", nullptr, 0));
    EXPECT_EQ(1, g_etwFactoryCalls);
    delete built;
    built = nullptr;

    // A value of the wrong type counts as missing.
    ASSERT_TRUE(MechanismValueGuard::SetText(L"1"));
    EXPECT_EQ(0u, CDefaultLogBuilder::ChooseMechanism(0, nullptr));

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                                ETWLogging::kLoggingMechanismValue));
    EXPECT_TRUE(ETWLogging::ReadLoggingMechanismFromRegistry(&mechanism, &found));
    EXPECT_FALSE(found);
    EXPECT_EQ(0u, CDefaultLogBuilder::ChooseMechanism(0, nullptr));

    MechanismValueGuard::DeleteKey();
    EXPECT_FALSE(ETWLogging::ReadLoggingMechanismFromRegistry(&mechanism, &found));
    ASSERT_TRUE(BuildEx(nullptr, L"App", nullptr, 0));
    EXPECT_EQ(2, g_etwFactoryCalls);
    EXPECT_EQ(1, g_fileFactoryCalls);
}
