#include "ServiceTestSupport.h"

#include "protsvc.h"
#include "trust/KvCreateInstanceNoAuth.h"
#include "wrappers/UniqueResource.h"

#include <gtest/gtest.h>

#include <string>

using namespace ProtSvcTest;
using Norvan::com_ptr;
using ProtSvc::Step;

namespace
{

constexpr GUID kUnknownId = {0x5D1E0B7A, 0x61C2, 0x4F0E, {0x9A, 0x11, 0x3B, 0x0C, 0x55, 0x7E, 0x21, 0x90}};

class ProtSvcServiceTest : public ServiceTest
{
protected:
    static HRESULT createBroker(com_ptr<IKvSurrogateBroker>& broker)
    {
        return Norvan::KvCreateInstanceNoAuth(ProtSvc::kBrokerClass, nullptr, CLSCTX_LOCAL_SERVER,
                                              IID_IKvSurrogateBroker, broker.put_void());
    }

    static void createManager(com_ptr<IKvProtectionManager2>& manager)
    {
        com_ptr<IKvSurrogateBroker> broker;
        ASSERT_EQ(S_OK, createBroker(broker));
        com_ptr<IKvLaunchedObject> launched;
        ASSERT_EQ(S_OK, broker->LaunchObject(ProtSvc::kLaunchedObjectId, launched.put()));
        ASSERT_EQ(S_OK, launched->CreateObject(ProtSvc::kProtectionManagerId, manager.put()));
    }
};

std::wstring imageName(DWORD processId)
{
    Norvan::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!process || !::QueryFullProcessImageNameW(process.get(), 0, path, &size))
    {
        return std::wstring();
    }
    const std::wstring full(path, size);
    return full.substr(full.find_last_of(L"\\/") + 1);
}

TEST_F(ProtSvcServiceTest, KvCreateInstanceNoAuthReachesTheServiceInAProcessOfItsOwn)
{
    com_ptr<IKvSurrogateBroker> broker;
    ASSERT_EQ(S_OK, createBroker(broker));
    ASSERT_TRUE(broker);

    DWORD serviceProcess = 0;
    ASSERT_EQ(S_OK, broker->GetServiceProcessId(&serviceProcess));
    EXPECT_NE(0u, serviceProcess);
    EXPECT_NE(::GetCurrentProcessId(), serviceProcess);
    EXPECT_EQ(L"protsvc.exe", imageName(serviceProcess)) << "process " << serviceProcess;

    const auto created = recorded(Step::CreateInstance);
    ASSERT_EQ(1u, created.size());
    EXPECT_EQ(serviceProcess, created[0].processId);
    EXPECT_EQ(ProtSvc::guidText(IID_IKvSurrogateBroker), created[0].subject);
}

TEST_F(ProtSvcServiceTest, WhatTheServiceLacksIsRefusedAcrossTheProcessBoundary)
{
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, Norvan::KvCreateInstanceNoAuth(ProtSvc::kBrokerClass, nullptr,
                                                            CLSCTX_LOCAL_SERVER, IID_IDispatch, &object));
    EXPECT_EQ(nullptr, object);

    com_ptr<IKvSurrogateBroker> broker;
    ASSERT_EQ(S_OK, createBroker(broker));
    com_ptr<IKvLaunchedObject> launched;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, broker->LaunchObject(kUnknownId, launched.put()));
    EXPECT_FALSE(launched);

    ASSERT_EQ(S_OK, broker->LaunchObject(ProtSvc::kLaunchedObjectId, launched.put()));
    com_ptr<IKvProtectionManager2> manager;
    EXPECT_EQ(E_NOINTERFACE, launched->CreateObject(kUnknownId, manager.put()));
    EXPECT_FALSE(manager);
}

TEST_F(ProtSvcServiceTest, TheManagerRemembersTheActionsItTook)
{
    com_ptr<IKvProtectionManager2> manager;
    ASSERT_NO_FATAL_FAILURE(createManager(manager));
    // The service outlives this run for a few seconds: a name of this run's own.
    const std::wstring alert = L"ServiceTest_remembers_" + std::to_wstring(::GetCurrentProcessId());

    LONG action = -1;
    EXPECT_EQ(S_FALSE, manager->GetAlertAction(alert.c_str(), &action));
    EXPECT_EQ(0, action);
    DWORD before = 0;
    ASSERT_EQ(S_OK, manager->GetActionCount(&before));

    ASSERT_EQ(S_OK, manager->TakeAlertAction(alert.c_str(), 7));
    EXPECT_EQ(S_OK, manager->GetAlertAction(alert.c_str(), &action));
    EXPECT_EQ(7, action);
    DWORD after = 0;
    ASSERT_EQ(S_OK, manager->GetActionCount(&after));
    EXPECT_EQ(before + 1, after);

    const auto taken = recorded(Step::TakeAlertAction);
    ASSERT_EQ(1u, taken.size());
    EXPECT_EQ(alert, taken[0].subject);
    EXPECT_EQ(7, taken[0].action);
    EXPECT_EQ(S_OK, taken[0].result);
    EXPECT_FALSE(taken[0].toldToFail);
}

TEST_F(ProtSvcServiceTest, EachStepCanBeToldToFail)
{
    {
        ScopedFailure failure(Step::CreateInstance, E_ACCESSDENIED);
        com_ptr<IKvSurrogateBroker> broker;
        EXPECT_EQ(E_ACCESSDENIED, createBroker(broker));
        EXPECT_FALSE(broker);
    }
    com_ptr<IKvSurrogateBroker> broker;
    ASSERT_EQ(S_OK, createBroker(broker));
    com_ptr<IKvLaunchedObject> launched;
    {
        ScopedFailure failure(Step::LaunchObject, E_OUTOFMEMORY);
        EXPECT_EQ(E_OUTOFMEMORY, broker->LaunchObject(ProtSvc::kLaunchedObjectId, launched.put()));
        EXPECT_FALSE(launched);
    }
    ASSERT_EQ(S_OK, broker->LaunchObject(ProtSvc::kLaunchedObjectId, launched.put()));
    com_ptr<IKvProtectionManager2> manager;
    {
        // A success code: the step answers without its object.
        ScopedFailure failure(Step::CreateObject, S_OK);
        EXPECT_EQ(S_OK, launched->CreateObject(ProtSvc::kProtectionManagerId, manager.put()));
        EXPECT_FALSE(manager);
    }
    ASSERT_EQ(S_OK, launched->CreateObject(ProtSvc::kProtectionManagerId, manager.put()));
    {
        ScopedFailure failure(Step::TakeAlertAction, E_UNEXPECTED);
        EXPECT_EQ(E_UNEXPECTED, manager->TakeAlertAction(L"ServiceTest_refused", 2));
    }
    LONG action = -1;
    EXPECT_EQ(S_FALSE, manager->GetAlertAction(L"ServiceTest_refused", &action))
        << "a refused action is not taken";

    int toldToFail = 0;
    for (const auto& entry : ProtSvc::readRecord())
    {
        toldToFail += entry.toldToFail ? 1 : 0;
    }
    EXPECT_EQ(4, toldToFail);
    const auto refused = recorded(Step::TakeAlertAction);
    ASSERT_EQ(1u, refused.size());
    EXPECT_EQ(E_UNEXPECTED, refused[0].result);
    EXPECT_TRUE(refused[0].toldToFail);
}

TEST_F(ProtSvcServiceTest, TheCommandLineSetsTheFailureAPersonAsksFor)
{
    const auto run = [](const std::wstring& arguments)
    { return runProcess(L"\"" + windowsPath(PROTSVC_EXE) + L"\" " + arguments).exitCode; };

    EXPECT_EQ(0u, run(L"fail launchobject 0x80070005"));
    ProtSvc::Failure failure = ProtSvc::readFailure();
    EXPECT_EQ(Step::LaunchObject, failure.step);
    EXPECT_EQ(E_ACCESSDENIED, failure.result);

    EXPECT_EQ(2u, run(L"fail LaunchObject 12abc"));
    EXPECT_EQ(2u, run(L"fail NoSuchStep"));
    EXPECT_EQ(E_ACCESSDENIED, ProtSvc::readFailure().result) << "a refused command changes nothing";

    EXPECT_EQ(0u, run(L"fail none"));
    EXPECT_EQ(Step::None, ProtSvc::readFailure().step);
}

// A client may take the class object and create its broker only later. The
// service's idle time (three seconds) passing meanwhile must not end the
// service under it, and the service still ends once the client let go.
TEST_F(ProtSvcServiceTest, AClientHoldingTheClassObjectIsServedAfterTheIdleTime)
{
    com_ptr<IKvClassFactoryNoAuth> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(ProtSvc::kBrokerClass, CLSCTX_LOCAL_SERVER, nullptr,
                                       IID_IKvClassFactoryNoAuth, factory.put_void()));
    ::Sleep(5000);
    com_ptr<IKvSurrogateBroker> broker;
    ASSERT_EQ(S_OK, factory->CreateInstance(IID_IKvSurrogateBroker, broker.put_void()));

    DWORD serviceProcess = 0;
    ASSERT_EQ(S_OK, broker->GetServiceProcessId(&serviceProcess));
    Norvan::unique_handle process(::OpenProcess(SYNCHRONIZE, FALSE, serviceProcess));
    ASSERT_TRUE(process);
    broker.reset();
    factory.reset();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 30000))
        << "the service did not end after its last client let go";
}

TEST(ProtSvcRecordTest, AnySubjectKeepsToOneLineAndReadsBackWhole)
{
    std::wstring subject = L"quote\" backslash\\ newline\n nul";
    subject.push_back(L'\0');
    subject += L" \u00E9 \xD800 end";
    subject += std::wstring(70000, L'x');

    ProtSvc::Entry entry;
    entry.processId = 4242;
    entry.step = Step::TakeAlertAction;
    entry.subject = subject;
    entry.action = -3;
    entry.result = E_FAIL;
    entry.toldToFail = true;

    const std::string line = ProtSvc::formatEntry(entry);
    EXPECT_EQ(std::string::npos, line.find_first_of("\r\n"));
    EXPECT_EQ(
        0u,
        line.find("pid=4242 TakeAlertAction \"quote\\\" backslash\\\\ newline\\u000A nul\\u0000 \\u00E9"));

    const auto parsed = ProtSvc::parseEntry(line);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(subject, parsed->subject);
    EXPECT_EQ(4242u, parsed->processId);
    EXPECT_EQ(-3, parsed->action);
    EXPECT_EQ(E_FAIL, parsed->result);
    EXPECT_TRUE(parsed->toldToFail);

    // Damaged lines are not read as entries.
    EXPECT_FALSE(ProtSvc::parseEntry(line.substr(0, 40)).has_value());
    EXPECT_FALSE(ProtSvc::parseEntry("pid=1 LaunchObject \"\\u00G1\" -> 0x00000000").has_value());
    EXPECT_FALSE(ProtSvc::parseEntry("pid=1 Unknown \"x\" -> 0x00000000").has_value());
    EXPECT_TRUE(ProtSvc::parseEntry("pid=1 LaunchObject \"x\" -> 0x00000000").has_value());
}

} // namespace
