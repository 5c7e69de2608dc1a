// protsvc.exe: the product's protection-manager service, as a COM local
// server of its own. COM starts it with -Embedding; a person or a test uses
// the other commands to register it, to tell it to fail a step and to read
// what it did.

#include "Service.h"
#include "protsvc/ServiceControl.h"

#include "common/Path.h"
#include "wrappers/UniqueResource.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace
{

// How long the service stays after its last object went away and its last
// call was answered. Clients that call again soon (a test suite, a person
// repeating a request) find it running and skip the first activation's
// second.
constexpr DWORD kLingerMs = 3000;
constexpr DWORD kPollMs = 100;

constexpr const wchar_t kProxyStubDll[] = L"protsvc_ps.dll";
constexpr const wchar_t kClassName[] = L"Wardline protection-manager service (surrogate broker)";

void usage()
{
    std::printf("usage: protsvc.exe COMMAND\n"
                "  -Embedding             serve (COM starts the service this way)\n"
                "  /RegServer             register the service class (HKLM) and its proxy/stub\n"
                "  /UnregServer           remove both registrations\n"
                "  record                 print every call the service served\n"
                "  clear                  empty the record\n"
                "  fail                   show the step the service is told to fail\n"
                "  fail STEP [HRESULT]    fail STEP (CreateInstance, LaunchObject, CreateObject,\n"
                "                         TakeAlertAction) with HRESULT (default 0x80004005);\n"
                "                         a success code makes the step succeed without its object\n"
                "  fail none              fail nothing\n"
                "  hang                   show the step the service is told to hang in\n"
                "  hang STEP              hang in STEP without answering until told otherwise\n"
                "                         (at most five minutes), then go on as 'fail' says\n"
                "  hang none              hang nowhere (a hanging call goes on)\n");
}

bool isOption(const wchar_t* argument, const wchar_t* name)
{
    return (argument[0] == L'-' || argument[0] == L'/') && ::_wcsicmp(argument + 1, name) == 0;
}

std::wstring modulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length < path.size())
        {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Returns once nothing has happened for kLingerMs: no object alive, none
// handed out, no call waiting for its answer.
void waitForQuiet()
{
    LONG seen = ProtSvc::createdObjects();
    DWORD quietSince = ::GetTickCount();
    for (;;)
    {
        ::Sleep(kPollMs);
        const LONG created = ProtSvc::createdObjects();
        if (ProtSvc::liveObjects() > 0 || ProtSvc::callsInProgress() > 0 || created != seen)
        {
            seen = created;
            quietSince = ::GetTickCount();
        }
        else if (::GetTickCount() - quietSince >= kLingerMs)
        {
            return;
        }
    }
}

int serve()
{
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
    {
        return 1;
    }
    DWORD cookie = 0;
    const HRESULT hr = ::CoRegisterClassObject(ProtSvc::kBrokerClass, ProtSvc::brokerFactory(),
                                               CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr))
    {
        ::CoUninitialize();
        return 1;
    }

    for (;;)
    {
        waitForQuiet();
        // From here on COM starts a new service process for new clients;
        // an activation already under way gets a moment to land here, and
        // one that did keeps this process.
        ::CoSuspendClassObjects();
        const LONG created = ProtSvc::createdObjects();
        ::Sleep(2 * kPollMs);
        if (ProtSvc::liveObjects() == 0 && ProtSvc::callsInProgress() == 0 &&
            ProtSvc::createdObjects() == created)
        {
            break;
        }
        ::CoResumeClassObjects();
    }

    // A client that took the class object before the suspension may call it
    // only now: its connection keeps the process, and so do the objects it
    // gets, to the end.
    ::CoRevokeClassObject(cookie);
    while (ProtSvc::liveObjects() > 0 || ProtSvc::callsInProgress() > 0 || ProtSvc::factoryConnections() > 0)
    {
        ::Sleep(kPollMs);
    }
    ::CoUninitialize();
    return 0;
}

// The proxy/stub library beside the executable registers itself.
HRESULT callProxyStub(const char* entry)
{
    const std::wstring dll = Norvan::internal::folderOf(modulePath()) + L"\\" + kProxyStubDll;
    Norvan::unique_hmodule module(::LoadLibraryW(dll.c_str()));
    if (!module)
    {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto function =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(module.get(), entry)));
    return function != nullptr ? function() : HRESULT_FROM_WIN32(::GetLastError());
}

std::wstring classKey()
{
    return L"Software\\Classes\\CLSID\\" + ProtSvc::guidText(ProtSvc::kBrokerClass);
}

LONG setDefault(const std::wstring& keyPath, const std::wstring& value)
{
    Norvan::unique_hkey key;
    LONG error = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                   key.put(), nullptr);
    if (error == ERROR_SUCCESS)
    {
        error = ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    return error;
}

// Under HKLM: Wine does not read per-user class registrations.
int registerServer()
{
    LONG error = setDefault(classKey(), kClassName);
    if (error == ERROR_SUCCESS)
    {
        error = setDefault(classKey() + L"\\LocalServer32", L"\"" + modulePath() + L"\"");
    }
    if (error != ERROR_SUCCESS)
    {
        std::printf("protsvc: registering the class failed: error %ld\n", error);
        return 1;
    }
    const HRESULT hr = callProxyStub("DllRegisterServer");
    if (FAILED(hr))
    {
        std::printf("protsvc: registering %ls failed: 0x%08lX\n", kProxyStubDll,
                    static_cast<unsigned long>(hr));
        return 1;
    }
    std::printf("protsvc: registered %ls\n", modulePath().c_str());
    return 0;
}

int unregisterServer()
{
    const LONG error = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey().c_str());
    const HRESULT hr = callProxyStub("DllUnregisterServer");
    if ((error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) || FAILED(hr))
    {
        std::printf("protsvc: unregistering failed: error %ld, 0x%08lX\n", error,
                    static_cast<unsigned long>(hr));
        return 1;
    }
    std::printf("protsvc: unregistered\n");
    return 0;
}

int printRecord()
{
    const auto entries = ProtSvc::readRecord();
    std::printf("protsvc record %ls: %zu call(s)\n", ProtSvc::recordPath().c_str(), entries.size());
    for (const auto& entry : entries)
    {
        std::printf("%s\n", ProtSvc::formatEntry(entry).c_str());
    }
    return 0;
}

void printFailure(const ProtSvc::Failure& failure)
{
    if (failure.step == ProtSvc::Step::None)
    {
        std::printf("protsvc fails no step\n");
        return;
    }
    std::printf("protsvc fails %ls with 0x%08lX\n", ProtSvc::stepName(failure.step),
                static_cast<unsigned long>(failure.result));
}

int fail(int argc, wchar_t** argv)
{
    if (argc == 2)
    {
        printFailure(ProtSvc::readFailure());
        return 0;
    }
    ProtSvc::Failure failure;
    const auto step = ProtSvc::parseStep(argv[2]);
    if (!step || argc > 4)
    {
        usage();
        return 2;
    }
    failure.step = *step;
    if (argc == 4)
    {
        wchar_t* end = nullptr;
        const unsigned long value = std::wcstoul(argv[3], &end, 0);
        if (end == argv[3] || *end != L'\0')
        {
            std::printf("protsvc: '%ls' is not an HRESULT\n", argv[3]);
            return 2;
        }
        failure.result = static_cast<HRESULT>(value);
    }
    const LONG error = ProtSvc::writeFailure(failure);
    if (error != ERROR_SUCCESS)
    {
        std::printf("protsvc: writing the control key failed: error %ld\n", error);
        return 1;
    }
    printFailure(failure);
    return 0;
}

void printHang(ProtSvc::Step step)
{
    if (step == ProtSvc::Step::None)
    {
        std::printf("protsvc hangs in no step\n");
        return;
    }
    std::printf("protsvc hangs in %ls\n", ProtSvc::stepName(step));
}

int hang(int argc, wchar_t** argv)
{
    if (argc == 2)
    {
        printHang(ProtSvc::readHang());
        return 0;
    }
    const auto step = ProtSvc::parseStep(argv[2]);
    if (!step || argc > 3)
    {
        usage();
        return 2;
    }
    const LONG error = ProtSvc::writeHang(*step);
    if (error != ERROR_SUCCESS)
    {
        std::printf("protsvc: writing the control key failed: error %ld\n", error);
        return 1;
    }
    printHang(*step);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        usage();
        return 2;
    }
    const wchar_t* command = argv[1];
    if (isOption(command, L"Embedding"))
    {
        return serve();
    }
    if (isOption(command, L"RegServer"))
    {
        return registerServer();
    }
    if (isOption(command, L"UnregServer"))
    {
        return unregisterServer();
    }
    if (std::wcscmp(command, L"record") == 0)
    {
        return printRecord();
    }
    if (std::wcscmp(command, L"clear") == 0)
    {
        const DWORD error = ProtSvc::clearRecord();
        std::printf(error == ERROR_SUCCESS ? "protsvc record cleared\n" : "protsvc: clearing failed\n");
        return error == ERROR_SUCCESS ? 0 : 1;
    }
    if (std::wcscmp(command, L"fail") == 0)
    {
        return fail(argc, argv);
    }
    if (std::wcscmp(command, L"hang") == 0)
    {
        return hang(argc, argv);
    }
    usage();
    return 2;
}
