#pragma once

#include <windows.h>

#include <atomic>

#include "Logging/LogBuilderIf.h"
#include "Logging/LoggingHandler.h"
#include "Logging/LoggingIf.h"

namespace ETWLogging
{

// Marks the calling thread as running the library's entry point for a
// scope. There the loader lock is held, and at process exit the other
// threads have been ended wherever they were, a writer's lock perhaps still
// theirs: logging done there waits for nobody, and a line that would have to
// wait is dropped.
class CEntryPointScope
{
public:
    CEntryPointScope() noexcept;
    ~CEntryPointScope();
    CEntryPointScope(const CEntryPointScope&) = delete;
    CEntryPointScope& operator=(const CEntryPointScope&) = delete;

private:
    DWORD previous_;
};

// True on a thread inside a CEntryPointScope.
bool InEntryPoint() noexcept;

// An exclusive hold on a logging lock. Inside the entry point the lock is
// only tried, for some 50 ms: a thread that process exit ended while it held
// the lock never gives it back.
class CEntryPointAwareHold
{
public:
    explicit CEntryPointAwareHold(SRWLOCK& lock) noexcept;
    ~CEntryPointAwareHold();
    CEntryPointAwareHold(const CEntryPointAwareHold&) = delete;
    CEntryPointAwareHold& operator=(const CEntryPointAwareHold&) = delete;

    bool Owns() const noexcept { return owns_; }

private:
    SRWLOCK& lock_;
    bool owns_ = false;
};

// The process-wide owner of the one logging implementation. Created once, on
// first use, from the log properties; torn down with the library's statics.
class CLogManager
{
public:
    // Creates the manager on the first call. An exception during creation
    // reaches the caller and the next call tries again.
    static CLogManager* Get();
    // The manager if it has been created, never creating it.
    static CLogManager* Existing();

    // Null when building failed. The manager destroys it with delete at
    // teardown, whatever its reference count says: a writer needs a public
    // virtual destructor.
    CLoggingIf* Implementation() const { return m_implementation.load(); }

    // Forgets the remembered handler if it is this one; true when it was.
    bool TakeRegisteredHandler(Plinth::ILoggingHandler* handler);
    Plinth::ILoggingHandler* RegisteredHandler() const { return m_handler.load(); }

    // --- Test only -------------------------------------------------------
    // Puts an implementation in place (creating the manager if needed) and
    // returns the previous one, which the caller then owns. The manager owns
    // the new one: it is destroyed with the manager unless swapped out again.
    static CLoggingIf* ReplaceImplementationForTest(CLoggingIf* implementation);
    // The builder used by the next creation; null restores the default one.
    // The caller keeps ownership and keeps it alive while it is installed.
    static void SetBuilderForTest(CLogBuilderIf* builder);
    // Tears the manager down as process exit does, and lets the next Get
    // create it again from the current log properties.
    static void ResetForTest();

    CLogManager(const CLogManager&) = delete;
    CLogManager& operator=(const CLogManager&) = delete;

private:
    CLogManager() = default;
    ~CLogManager() = default;

    static void Create();
    static void Teardown();
    // Unregisters the manager's handler and deletes it with its implementation.
    static void Destroy(CLogManager* manager);
    void SetImplementation(CLoggingIf* implementation);
    void RememberHandler(Plinth::ILoggingHandler* handler);

    friend struct CLogManagerTeardown;

    std::atomic<CLoggingIf*> m_implementation{nullptr};
    std::atomic<Plinth::ILoggingHandler*> m_handler{nullptr};
};

} // namespace ETWLogging
