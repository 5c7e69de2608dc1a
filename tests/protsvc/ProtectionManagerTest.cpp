#include "ServiceTestSupport.h"

#include "protection/ProtectionManager.h"
#include "support/LogCapture.h"
#include "wrappers/UniqueResource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ProtSvcTest;
using Norvan::ProtectionManager;
using ProtSvc::Step;
using WardlineTest::LogCapture;

namespace
{

constexpr const wchar_t kCreate[] = L"Norvan::ProtectionManager::CreateProtectionManager2";
constexpr const wchar_t kTake[] = L"Norvan::ProtectionManager::takeAlertAction";

struct CreationStep
{
    Step step;
    const wchar_t* line; // the log line's text before the HRESULT
};
const CreationStep kCreationSteps[] = {
    {Step::CreateInstance, L"We failed in KvCreateInstanceNoAuth for surrogate helper with Error "},
    {Step::LaunchObject, L"We failed in LaunchObject Error "},
    {Step::CreateObject, L"We failed in CreateObject for surrogate with Error "},
};

using ProtectionManagerTest = ServiceTest;

TEST_F(ProtectionManagerTest, TakeAlertActionSendsTheIgnoreActionThroughTheThreeSteps)
{
    LogCapture log;
    EXPECT_EQ(S_OK, ProtectionManager::takeAlertAction(L"0F167695-3F7C-421c-89E8-40544CE9D1A1_512"));

    const auto entries = ProtSvc::readRecord();
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ(Step::CreateInstance, entries[0].step);
    EXPECT_EQ(L"{8652BE3F-EB78-463B-8E28-2D2BD58A74F2}", entries[0].subject);
    EXPECT_EQ(Step::LaunchObject, entries[1].step);
    EXPECT_EQ(L"{AD6E7ABF-E06F-4FF6-B734-D04F22DAE042}", entries[1].subject);
    EXPECT_EQ(Step::CreateObject, entries[2].step);
    EXPECT_EQ(L"{AD4969AA-5ADE-4EA8-AA22-45743B959703}", entries[2].subject);
    EXPECT_EQ(Step::TakeAlertAction, entries[3].step);
    EXPECT_EQ(L"0F167695-3F7C-421c-89E8-40544CE9D1A1_512", entries[3].subject);
    EXPECT_EQ(2, entries[3].action);
    EXPECT_NE(::GetCurrentProcessId(), entries[3].processId);

    const auto lines = log.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(3u, lines[0].level);
    EXPECT_EQ(L"ProtectionManager", lines[0].file);
    EXPECT_EQ(kTake, lines[0].function);
    EXPECT_EQ(L"Alert '0F167695-3F7C-421c-89E8-40544CE9D1A1_512' with Action '2'", lines[0].text);
}

TEST_F(ProtectionManagerTest, ANullOutPointerIsAnInvalidArgument)
{
    LogCapture log;
    EXPECT_EQ(E_INVALIDARG, ProtectionManager::CreateProtectionManager2(nullptr));
    const auto lines = log.exactly(L"Error: Invalid argument");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(4u, lines[0].level);
    EXPECT_EQ(kCreate, lines[0].function);
    EXPECT_TRUE(ProtSvc::readRecord().empty());
}

TEST_F(ProtectionManagerTest, AFailingCreationStepStopsThereAndTakeAlertActionReportsEFail)
{
    const HRESULT results[] = {E_ACCESSDENIED, REGDB_E_CLASSNOTREG, E_UNEXPECTED};
    for (std::size_t i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(ProtSvc::stepName(kCreationSteps[i].step));
        ProtSvc::clearRecord();
        ScopedFailure failure(kCreationSteps[i].step, results[i]);
        wchar_t hex[16];
        swprintf(hex, 16, L"%lx", static_cast<unsigned long>(results[i]));

        LogCapture log;
        Norvan::com_ptr<Norvan::IKvProtectionManager2> manager;
        EXPECT_EQ(results[i], ProtectionManager::CreateProtectionManager2(manager.put()));
        EXPECT_FALSE(manager);
        EXPECT_EQ(1u, log.exactly(kCreationSteps[i].line + std::wstring(hex)).size());
        EXPECT_EQ(i + 1, ProtSvc::readRecord().size()) << "the steps after the failing one are not taken";

        log.clear();
        EXPECT_EQ(E_FAIL, ProtectionManager::takeAlertAction(L"alert"));
        EXPECT_EQ(1u, log.exactly(kCreationSteps[i].line + std::wstring(hex)).size());
        const auto creating = log.exactly(L"Error creating IKvProtectionManager2: hr 0x" + std::wstring(hex));
        ASSERT_EQ(1u, creating.size());
        EXPECT_EQ(4u, creating[0].level);
        EXPECT_EQ(kTake, creating[0].function);
        EXPECT_TRUE(recorded(Step::TakeAlertAction).empty());
    }
}

TEST_F(ProtectionManagerTest, AStepThatSucceedsWithoutItsObjectIsAFailedStep)
{
    for (const CreationStep& creation : kCreationSteps)
    {
        SCOPED_TRACE(ProtSvc::stepName(creation.step));
        ProtSvc::clearRecord();
        ScopedFailure failure(creation.step, S_OK);

        LogCapture log;
        Norvan::com_ptr<Norvan::IKvProtectionManager2> manager;
        EXPECT_EQ(S_OK, ProtectionManager::CreateProtectionManager2(manager.put()));
        EXPECT_FALSE(manager);
        EXPECT_EQ(1u, log.exactly(creation.line + std::wstring(L"0")).size());

        // Nothing to call TakeAlertAction on: a failed creation, not a crash.
        EXPECT_EQ(E_FAIL, ProtectionManager::takeAlertAction(L"alert"));
        EXPECT_EQ(1u, log.exactly(L"Error creating IKvProtectionManager2: hr 0x0").size());
        EXPECT_TRUE(recorded(Step::TakeAlertAction).empty());
    }
}

TEST_F(ProtectionManagerTest, ARefusedActionReturnsTheServicesHResult)
{
    ScopedFailure failure(Step::TakeAlertAction, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    LogCapture log;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), ProtectionManager::takeAlertAction(L"alert"));
    const auto lines = log.exactly(L"Error IKvProtectionManager2->TakeAlertAction: hr 0x80070020");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(4u, lines[0].level);
    EXPECT_EQ(1u, recorded(Step::TakeAlertAction).size());
}

TEST_F(ProtectionManagerTest, AlertNamesOfAnyLengthArriveWhole)
{
    std::wstring longName(100000, L'n');
    longName += L"\u00FC\u4E2D_512";
    ASSERT_EQ(S_OK, ProtectionManager::takeAlertAction(L""));
    ASSERT_EQ(S_OK, ProtectionManager::takeAlertAction(longName));

    const auto taken = recorded(Step::TakeAlertAction);
    ASSERT_EQ(2u, taken.size());
    EXPECT_EQ(L"", taken[0].subject);
    EXPECT_EQ(longName, taken[1].subject);
    EXPECT_EQ(2, taken[1].action);
}

} // namespace
