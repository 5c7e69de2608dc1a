#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// What the protection-manager service, its tests and a person share: the
// service's identifiers, the step it can be told to fail, and the record of
// every call it served.
namespace ProtSvc
{

// The surrogate broker class, served through the unauthenticated class factory.
constexpr CLSID kBrokerClass = {0x20966775, 0x18A4, 0x4299, {0xB8, 0xE3, 0x77, 0x2C, 0x33, 0x6B, 0x52, 0xA7}};
// The only object the broker launches.
constexpr GUID kLaunchedObjectId = {
    0xAD6E7ABF, 0xE06F, 0x4FF6, {0xB7, 0x34, 0xD0, 0x4F, 0x22, 0xDA, 0xE0, 0x42}};
// The only object the launched object creates: the protection manager.
constexpr GUID kProtectionManagerId = {
    0xAD4969AA, 0x5ADE, 0x4EA8, {0xAA, 0x22, 0x45, 0x74, 0x3B, 0x95, 0x97, 0x03}};
// The proxy/stub class of the service's interfaces.
constexpr CLSID kProxyStubClass = {
    0x70A3473A, 0x032D, 0x4CF2, {0xB5, 0x98, 0x98, 0xAA, 0x9E, 0x7C, 0xF6, 0x21}};

// The action that ignores an alert.
constexpr LONG kIgnoreAction = 2;

enum class Step
{
    None,
    CreateInstance, // the no-auth class factory creating the broker
    LaunchObject,
    CreateObject,
    TakeAlertAction,
};

const wchar_t* stepName(Step step) noexcept;
// Case-insensitive; "none" gives Step::None.
std::optional<Step> parseStep(const std::wstring& text);

// The step the service is told to fail, read again at every call. The step
// returns `result` without doing its work; a success code there makes it
// report success without handing out an object (or without taking the action).
struct Failure
{
    Step step = Step::None;
    HRESULT result = E_FAIL;
};

// HKLM\Software\Wardline\ProtectionManager, values "FailStep" and "FailResult".
constexpr const wchar_t kControlKey[] = L"Software\\Wardline\\ProtectionManager";

Failure readFailure();
// Step::None removes the values. Returns a Windows error number.
LONG writeFailure(const Failure& failure);

// The step the service is told to hang in (value "HangStep"): a call of that
// step records that it hangs and then waits, without answering, while the
// switch still names it (at most kHangLimitMs); then it goes on as the
// failure switch says. It stands for a service that stopped answering.
constexpr DWORD kHangLimitMs = 5 * 60 * 1000;
Step readHang();
// Step::None removes the value. Returns a Windows error number.
LONG writeHang(Step step);

// One call the service served, in the order served.
struct Entry
{
    DWORD processId = 0;
    Step step = Step::None;
    // The requested interface (CreateInstance), the identifier (LaunchObject,
    // CreateObject) or the alert name (TakeAlertAction), whole.
    std::wstring subject;
    LONG action = 0; // TakeAlertAction only
    HRESULT result = S_OK;
    bool toldToFail = false;
    // Written when a call starts to hang; no result yet. The call's own
    // entry follows when it goes on.
    bool hanging = false;
};

// %ProgramData%\Wardline\ProtectionManager\record.txt: one line per entry,
// printable ASCII (every other character escaped), so that any alert name
// fits on one line and a person can read it with any viewer.
std::wstring recordPath();
std::string formatEntry(const Entry& entry);
std::optional<Entry> parseEntry(const std::string& line);
// Appends one line. Returns a Windows error number.
DWORD appendRecord(const Entry& entry);
// Every entry in the record; lines that do not parse are skipped.
std::vector<Entry> readRecord();
// Empties the record (a missing record is empty). Returns a Windows error number.
DWORD clearRecord();

std::wstring guidText(const GUID& guid);

} // namespace ProtSvc
