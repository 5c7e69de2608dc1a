// Time of one settings request and its reply: the module's settings client
// asks hubhost's settings service over the real Courier.dll, which carries
// the request to the service on one of its threads and the reply back on
// another. The baseline is the least any cross-thread request can cost: a
// promise handed to a waiting thread, fulfilled there, and its future waited
// for. Both are measured in the same process, interleaved, medians of rounds.
//
// A third path, printed for the reader and not judged, shows what the bus
// itself costs: a bare Courier request answered by a bare subscriber, its
// outcome awaited on an event, with neither the module's client nor the
// settings service.

#include "BenchReport.h"
#include "HostLibraries.h"
#include "QueueThread.h"
#include "ContextRecord.h"
#include "Output.h"
#include "SettingsService.h"
#include "SettingsStore.h"
#include "courier/CourierApi.h"

#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "settings/SettingsManagerClient.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

namespace
{

constexpr std::chrono::milliseconds kTimeout{5000};
constexpr int kRequests = 200;
constexpr int kRounds = 15;
constexpr double kTarget = 3.0;

// A thread that answers each promise it is handed.
class Answerer
{
public:
    std::wstring ask(const std::wstring& question)
    {
        std::promise<std::wstring> answer;
        std::future<std::wstring> future = answer.get_future();
        thread_.push({question, std::move(answer)});
        return future.get();
    }

private:
    using Question = std::pair<std::wstring, std::promise<std::wstring>>;
    bench::QueueThread<Question> thread_{[](Question& next) { next.second.set_value(next.first + L"=42"); }};
};

// A requester and an answerer on the bus with nothing of the module between:
// the answerer publishes the reply from its callback, the requester's reply
// callback sets an event.
class RawCourierRoundTrip
{
public:
    RawCourierRoundTrip(const CourierFunctionTable* table) : table_(table)
    {
        table_->getHandle(&answerer_);
        table_->getHandle(&requester_);
        subscription_ = table_->subscribe(answerer_, this, &RawCourierRoundTrip::onRequest, kName);
    }
    ~RawCourierRoundTrip()
    {
        table_->releaseHandle(requester_);
        table_->releaseHandle(answerer_);
        CloseHandle(replied_);
    }
    bool ask()
    {
        const std::vector<unsigned char> record =
            hubhost::makeRecord(hubhost::RecordOptions{}, kName, L"bench", L"{}");
        if (subscription_ == 0 || table_->request(requester_, ++index_, this, &RawCourierRoundTrip::onReply,
                                                  record.data(), kName, L"bench", L"{}", 5000) != 0)
        {
            return false;
        }
        return WaitForSingleObject(replied_, 5000) == WAIT_OBJECT_0 && status_ == 0;
    }

private:
    static constexpr const wchar_t* kName = L"Bench.Raw.Request";

    static CourierStatus onRequest(void* context, const void* record, const wchar_t* name, const wchar_t*,
                                   const wchar_t*)
    {
        auto* self = static_cast<RawCourierRoundTrip*>(context);
        const std::vector<unsigned char> reply = hubhost::makeReplyRecord(record, name, L"bench", L"{}");
        return self->table_->publish(self->answerer_, reply.data(), name, L"bench", L"{}");
    }
    static CourierStatus onReply(void* context, std::uint64_t, const void*, const wchar_t*, const wchar_t*,
                                 const wchar_t*, CourierStatus status)
    {
        auto* self = static_cast<RawCourierRoundTrip*>(context);
        self->status_ = status;
        SetEvent(self->replied_);
        return 0;
    }

    const CourierFunctionTable* table_;
    CourierHandle answerer_ = nullptr;
    CourierHandle requester_ = nullptr;
    std::uint32_t subscription_ = 0;
    std::uint64_t index_ = 0;
    CourierStatus status_ = 0;
    HANDLE replied_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

template <typename Request> double timeRound(std::vector<double>& rounds, Request request)
{
    bool failed = false;
    rounds.push_back(bench::timePerCall<std::micro>(kRequests, [&] { failed = failed || !request(); }));
    return failed ? -1 : rounds.back();
}

} // namespace

int main()
{
    HMODULE library = LoadLibraryW(bench::besideThisExe(L"Courier.dll").c_str());
    const auto create = library != nullptr ? reinterpret_cast<CourierCreateObjectFn>(reinterpret_cast<void*>(
                                                 GetProcAddress(library, "CreateObject")))
                                           : nullptr;
    const CourierFunctionTable* table = create != nullptr ? create(courier::kInterfaceVersion) : nullptr;
    if (table == nullptr)
    {
        std::printf("bench_settings: Courier.dll beside the benchmark cannot be loaded\n");
        return 1;
    }
    CourierHandle serviceHandle = nullptr;
    CourierHandle clientHandle = nullptr;
    table->getHandle(&serviceHandle);
    table->getHandle(&clientHandle);

    hubhost::Output output(false);
    hubhost::SettingsStore store(L""); // reads are what is timed; they never touch the file
    std::vector<std::string> notes;
    std::string error;
    hubhost::SettingsService service(output, store);
    if (!store.open(notes, error) || !service.start(table, serviceHandle, error))
    {
        std::printf("bench_settings: the settings service does not start: %s\n", error.c_str());
        return 1;
    }
    {
        auto shim = std::make_shared<Norvan::MessageBusShimImpl>(
            clientHandle, reinterpret_cast<const Norvan::MessageBusFunctionTable*>(table));
        Norvan::SettingsManagerClient client(std::make_shared<Norvan::MessageBusClient>(shim, nullptr));
        const std::wstring name = L"Core.Protection.IgnoreFirewall";
        if (!client.setProperty(name, std::wstring(L"{\"ignore_firewall\":true}"), kTimeout))
        {
            std::printf("bench_settings: the service did not confirm the setting\n");
            return 1;
        }
        Answerer answerer;
        RawCourierRoundTrip raw(table);
        std::wstring value;
        // Warm both paths: threads started, caches and allocators primed.
        for (int i = 0; i < 50; ++i)
        {
            client.getProperty(name, value, kTimeout);
            answerer.ask(name);
            raw.ask();
        }

        std::vector<double> gets;
        std::vector<double> volatileSets;
        std::vector<double> rawTrips;
        std::vector<double> baseline;
        for (int round = 0; round < kRounds; ++round)
        {
            timeRound(baseline, [&] { return !answerer.ask(name).empty(); });
            if (timeRound(rawTrips, [&] { return raw.ask(); }) < 0 ||
                timeRound(gets, [&] { return client.getProperty(name, value, kTimeout); }) < 0 ||
                timeRound(volatileSets,
                          [&] { return client.setVolatileProperty(L"Bench.Session", round, kTimeout); }) < 0)
            {
                std::printf("bench_settings: a request failed\n");
                return 1;
            }
        }
        bench::Rounds rawRounds{rawTrips, baseline};
        std::printf("bare Courier request and reply: %.1f us (%.2f baselines; not judged)\n",
                    bench::median(rawTrips), rawRounds.ratio());
        bench::printLine("settings_get_roundtrip", bench::Rounds{gets, baseline}, kTarget, "us");
        bench::printLine("settings_set_volatile_roundtrip", bench::Rounds{volatileSets, baseline}, kTarget,
                         "us");
    }
    service.stop();
    table->releaseHandle(clientHandle);
    table->releaseHandle(serviceHandle);
    FreeLibrary(library);
    return 0;
}
