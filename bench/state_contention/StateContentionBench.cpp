// How state reports scale over the host's bus threads: N threads of this
// program call the real Wardline.dll's message callback in a loop, as a bus
// that delivers on N threads would, and the figure is the aggregate rate of
// 8 threads against the rate of 1 thread, measured in the same round. The
// machine may have fewer cores than threads; what is judged is that the
// threads do not make each other wait, so 8 of them should together handle
// about what one does.
//
// Reports that repeat the state (parse, lock, compare, nothing published) and
// reports that each change it (and are published):
//   BENCH state_contention_duplicate value=<k/s, 8 threads> baseline=<k/s, 1 thread> ratio=<r> target=>=0.5
//   holds=<yes|no> BENCH state_contention_changing value=<k/s, 8 threads> baseline=<k/s, 1 thread> ratio=<r>
//   target=>=0.5 holds=<yes|no>
// The rate of 2 threads is printed for the reader and not judged.

#include "BenchReport.h"
#include "RecordingBus.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr const wchar_t* kReportName = L"Core.Internal.Protection.State";
constexpr const wchar_t* kSource = L"ProtectionProducer";
constexpr int kMostThreads = 8;

// Threads that live for the whole run, as a bus's delivery threads do. Each
// measurement wakes the first `active` of them, releases them together, lets
// them call `work` until the time is up and counts the calls they finished.
class Workers
{
public:
    using Work = std::function<void(int thread)>;

    explicit Workers(int count)
    {
        for (int i = 0; i < count; ++i)
        {
            threads_.emplace_back([this, i] { run(i); });
        }
    }
    ~Workers()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            quit_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_)
        {
            thread.join();
        }
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Calls per second, all threads together; lastCalls() tells how many.
    double rate(int active, std::chrono::milliseconds duration, const Work& work)
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            work_ = &work;
            active_ = active;
            ready_ = 0;
            finished_ = 0;
            calls_ = 0;
            go_.store(false);
            stop_.store(false);
            ++generation_;
        }
        wake_.notify_all();
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [&] { return ready_ == active_; });
        }
        const auto start = std::chrono::steady_clock::now();
        go_.store(true);
        std::this_thread::sleep_for(duration);
        stop_.store(true);
        const auto end = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return finished_ == active_; });
        return calls_ / std::chrono::duration<double>(end - start).count();
    }

    std::uint64_t lastCalls()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }

private:
    void run(int index)
    {
        std::uint64_t seen = 0;
        for (;;)
        {
            const Work* work = nullptr;
            {
                std::unique_lock<std::mutex> guard(lock_);
                wake_.wait(guard, [&] { return quit_ || (generation_ != seen && index < active_); });
                if (quit_)
                {
                    return;
                }
                seen = generation_;
                work = work_;
                ++ready_;
            }
            changed_.notify_all();
            while (!go_.load())
            {
                std::this_thread::yield();
            }
            std::uint64_t calls = 0;
            while (!stop_.load())
            {
                (*work)(index);
                ++calls;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                calls_ += calls;
                ++finished_;
            }
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable changed_;
    std::uint64_t generation_ = 0;
    const Work* work_ = nullptr;
    int active_ = 0;
    int ready_ = 0;
    int finished_ = 0;
    std::uint64_t calls_ = 0;
    bool quit_ = false;
    std::atomic<bool> go_{false};
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

struct Figure
{
    const char* name;
    const char* description;
    const Workers::Work* work;
    // 8 threads against 1 thread, per round, in thousands per second.
    bench::Rounds eight;
    std::vector<double> two;
};

} // namespace

int main()
{
    constexpr int kRounds = 9;
    constexpr std::chrono::milliseconds kDuration(150);
    constexpr double kTarget = 0.5;

    bench::ModuleOnRecordingBus hosted("bench_state_contention", kReportName);
    if (!hosted.ready())
    {
        return 1;
    }
    bench::RecordingBus& bus = hosted.bus();

    std::atomic<long> failures{0};
    const auto report = [&](const wchar_t* payload)
    {
        if (bus.deliver(kReportName, kSource, payload) != 0)
        {
            ++failures;
        }
    };

    const std::wstring repeated = L"{\"state\":\"red\"}";
    report(repeated.c_str());
    const Workers::Work duplicate = [&](int) { report(repeated.c_str()); };

    // Each thread alternates between two states of its own, so every report
    // differs from the state before it, whoever set that: each one is
    // published, and the count of publications proves it.
    std::vector<std::wstring> changes;
    for (int i = 0; i < kMostThreads; ++i)
    {
        for (const wchar_t* variant : {L"a", L"b"})
        {
            changes.push_back(L"{\"state\":\"t" + std::to_wstring(i) + variant + L"\"}");
        }
    }
    std::vector<unsigned> nextChange(kMostThreads * 16, 0); // a cache line apart
    const Workers::Work changing = [&](int thread)
    {
        unsigned& next = nextChange[thread * 16];
        report(changes[thread * 2 + (next++ & 1)].c_str());
    };

    Figure figures[] = {{"state_contention_duplicate", "duplicate reports", &duplicate, {}, {}},
                        {"state_contention_changing", "changing reports", &changing, {}, {}}};
    Workers workers(kMostThreads);
    // Warm-up: every thread has called in before anything is timed.
    workers.rate(kMostThreads, std::chrono::milliseconds(50), duplicate);
    // Publications of changing measurements only: the first duplicate report
    // after them changes the state back, and is published too.
    std::uint64_t changingReports = 0;
    long changingPublished = 0;
    for (int round = 0; round < kRounds; ++round)
    {
        for (Figure& figure : figures)
        {
            const long publishedBefore = bus.published();
            const double one = workers.rate(1, kDuration, *figure.work);
            std::uint64_t calls = workers.lastCalls();
            const double two = workers.rate(2, kDuration, *figure.work);
            calls += workers.lastCalls();
            const double eight = workers.rate(kMostThreads, kDuration, *figure.work);
            calls += workers.lastCalls();
            if (figure.work == &changing)
            {
                changingReports += calls;
                changingPublished += bus.published() - publishedBefore;
            }
            figure.eight.add(eight / 1000, one / 1000);
            figure.two.push_back(two / 1000);
        }
    }

    if (failures.load() != 0 || static_cast<std::uint64_t>(changingPublished) != changingReports)
    {
        std::printf(
            "bench_state_contention: %ld failed reports, %ld publications for %llu changing reports\n",
            failures.load(), changingPublished, static_cast<unsigned long long>(changingReports));
        return 1;
    }
    for (Figure& figure : figures)
    {
        std::printf(
            "%s, thousands per second (medians of %d rounds of %lld ms): 1 thread %.1f, 2 threads %.1f, "
            "8 threads %.1f\n",
            figure.description, kRounds, static_cast<long long>(kDuration.count()),
            bench::median(figure.eight.baselines), bench::median(figure.two),
            bench::median(figure.eight.values));
        bench::printRateLine(figure.name, figure.eight, kTarget, "k/s");
    }
    return 0;
}
