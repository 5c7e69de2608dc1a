#include "Logging/LogManager.h"

#include "Logging/DefaultLogBuilder.h"
#include "Logging/Log.h"
#include "Logging/LogProperties.h"
#include "Logging/Logger.h"
#include "Logging/PlinthLogHandler.h"
#include "wrappers/SrwLock.h"

namespace ETWLogging
{

namespace
{

std::atomic<CLogManager*> g_manager{nullptr};
// Set once creation has finished; after that the pointer is read unlocked.
std::atomic<bool> g_created{false};
// The thread inside creation: a writer that logs while it is being built must
// get the half-made manager instead of waiting for itself.
std::atomic<DWORD> g_creatingThread{0};
SRWLOCK g_createLock = SRWLOCK_INIT;

// The thread running the library's entry point, if any: the loader runs one
// entry point at a time.
std::atomic<DWORD> g_entryPointThread{0};

CDefaultLogBuilder* g_defaultBuilder = nullptr;
std::atomic<CLogBuilderIf*> g_testBuilder{nullptr};

HMODULE ModuleOfLoggingCode()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleOfLoggingCode), &module);
    return module;
}

const wchar_t* NullableText(const std::wstring& text, bool present)
{
    return present ? text.c_str() : nullptr;
}

} // namespace

CEntryPointScope::CEntryPointScope() noexcept : previous_(g_entryPointThread.exchange(GetCurrentThreadId()))
{
}

CEntryPointScope::~CEntryPointScope()
{
    g_entryPointThread.store(previous_);
}

bool InEntryPoint() noexcept
{
    return g_entryPointThread.load() == GetCurrentThreadId();
}

CEntryPointAwareHold::CEntryPointAwareHold(SRWLOCK& lock) noexcept : lock_(lock)
{
    if (!InEntryPoint())
    {
        ::AcquireSRWLockExclusive(&lock_);
        owns_ = true;
        return;
    }
    for (int attempt = 0; attempt < 50 && !owns_; ++attempt)
    {
        owns_ = ::TryAcquireSRWLockExclusive(&lock_) != FALSE;
        if (!owns_)
        {
            ::Sleep(1);
        }
    }
}

CEntryPointAwareHold::~CEntryPointAwareHold()
{
    if (owns_)
    {
        ::ReleaseSRWLockExclusive(&lock_);
    }
}

// Runs with the library's other static destructors, after the entry point
// has handled the detach.
struct CLogManagerTeardown
{
    ~CLogManagerTeardown() { CLogManager::Teardown(); }
};
static CLogManagerTeardown g_teardown;

CLogManager* CLogManager::Existing()
{
    return g_manager.load();
}

CLogManager* CLogManager::Get()
{
    if (g_created.load())
    {
        return g_manager.load();
    }
    if (g_creatingThread.load() == GetCurrentThreadId())
    {
        return g_manager.load();
    }
    // A thread ended at process exit may have been creating it.
    CEntryPointAwareHold lock(g_createLock);
    if (!lock.Owns())
    {
        return g_manager.load();
    }
    if (!g_created.load())
    {
        g_creatingThread.store(GetCurrentThreadId());
        try
        {
            Create();
        }
        catch (...)
        {
            g_creatingThread.store(0);
            throw;
        }
        g_creatingThread.store(0);
        g_created.store(true);
    }
    return g_manager.load();
}

void CLogManager::Create()
{
    const LogProperties properties = CopyLogProperties();

    CLogManager* manager = new CLogManager();
    g_manager.store(manager);
    try
    {
        CLogBuilderIf* builder = g_testBuilder.load();
        if (builder == nullptr)
        {
            if (g_defaultBuilder == nullptr)
            {
                g_defaultBuilder = new CDefaultLogBuilder();
            }
            builder = g_defaultBuilder;
        }

        HMODULE module = properties.module != nullptr ? properties.module : ModuleOfLoggingCode();
        CLoggingIf* built = nullptr;
        const wchar_t* profileName = NullableText(properties.profileName, properties.hasProfileName);
        const wchar_t* applicationName =
            NullableText(properties.applicationName, properties.hasApplicationName);
        const wchar_t* logName = NullableText(properties.logName, properties.hasLogName);
        bool ok = false;
        if (CLogBuilderIf_ex* extended = dynamic_cast<CLogBuilderIf_ex*>(builder))
        {
            ok = extended->BuildEx(profileName, applicationName, module, logName,
                                   properties.mechanismOverride, &built, nullptr);
        }
        else
        {
            ok = builder->Build(applicationName, module, logName, properties.mechanismOverride, &built,
                                nullptr);
        }
        if (ok && built != nullptr)
        {
            manager->SetImplementation(built);
        }

        CPlinthLogHandler& bridge = CPlinthLogHandler::Instance();
        if (Plinth::CLogger::RegisterHandler(&bridge) == ERROR_SUCCESS)
        {
            manager->RememberHandler(&bridge);
        }
    }
    catch (...)
    {
        // Leave nothing half made behind: the next call starts afresh.
        g_manager.store(nullptr);
        Destroy(manager);
        throw;
    }
}

void CLogManager::Teardown()
{
    if (CLogManager* manager = g_manager.exchange(nullptr))
    {
        Destroy(manager);
    }
    delete g_defaultBuilder;
    g_defaultBuilder = nullptr;
}

void CLogManager::Destroy(CLogManager* manager)
{
    if (Plinth::ILoggingHandler* handler = manager->m_handler.exchange(nullptr))
    {
        Plinth::CLogger::UnregisterHandler(handler);
    }
    delete manager->m_implementation.exchange(nullptr);
    delete manager;
}

void CLogManager::SetImplementation(CLoggingIf* implementation)
{
    CLoggingIf* previous = m_implementation.exchange(implementation);
    if (previous != implementation)
    {
        delete previous;
    }
}

void CLogManager::RememberHandler(Plinth::ILoggingHandler* handler)
{
    Plinth::ILoggingHandler* previous = m_handler.exchange(handler);
    if (previous != nullptr && previous != handler)
    {
        Plinth::CLogger::UnregisterHandler(previous);
    }
}

bool CLogManager::TakeRegisteredHandler(Plinth::ILoggingHandler* handler)
{
    Plinth::ILoggingHandler* expected = handler;
    return handler != nullptr && m_handler.compare_exchange_strong(expected, nullptr);
}

CLoggingIf* CLogManager::ReplaceImplementationForTest(CLoggingIf* implementation)
{
    CLogManager* manager = Get();
    if (manager == nullptr)
    {
        return nullptr;
    }
    return manager->m_implementation.exchange(implementation);
}

void CLogManager::SetBuilderForTest(CLogBuilderIf* builder)
{
    g_testBuilder.store(builder);
}

void CLogManager::ResetForTest()
{
    Norvan::srw_exclusive_guard lock(g_createLock);
    Teardown();
    g_created.store(false);
}

} // namespace ETWLogging
