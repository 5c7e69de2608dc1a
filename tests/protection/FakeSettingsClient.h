#pragma once

#include "settings/SettingsManagerClient.h"
#include "support/FakeMessageBus.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace WardlineTest
{

// A settings client that records the module's writes instead of sending
// them, and answers them as told. Only the wide-string setProperty is the
// module's; a write can be held until the test releases it.
class FakeSettingsClient : public Norvan::SettingsManagerClient
{
public:
    struct Write
    {
        std::wstring name;
        std::wstring value;
        std::chrono::milliseconds timeout;
    };

    FakeSettingsClient() : SettingsManagerClient(std::make_shared<FakeMessageBus>()) {}
    ~FakeSettingsClient() override
    {
        release();
        ::CloseHandle(entered_);
        ::CloseHandle(released_);
    }

    bool setProperty(const std::wstring& name, const std::wstring& value,
                     const std::chrono::milliseconds& timeout) override
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            writes_.push_back({name, value, timeout});
        }
        ::SetEvent(entered_);
        // A held write the test forgot, or never reached release() for,
        // ends unconfirmed instead of stalling the test program.
        if (::WaitForSingleObject(released_, kHoldLimitMs) != WAIT_OBJECT_0)
        {
            return false;
        }
        return confirm_;
    }

    void confirm(bool confirm) { confirm_ = confirm; }
    // Writes wait in setProperty until release(), for a minute at most.
    void hold() { ::ResetEvent(released_); }
    void release() { ::SetEvent(released_); }
    bool waitForWrite(DWORD ms) { return ::WaitForSingleObject(entered_, ms) == WAIT_OBJECT_0; }

    std::vector<Write> writes() const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return writes_;
    }

private:
    static constexpr DWORD kHoldLimitMs = 60000;
    mutable std::mutex mutex_;
    std::vector<Write> writes_;
    bool confirm_ = true;
    HANDLE entered_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE released_ = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
};

} // namespace WardlineTest
