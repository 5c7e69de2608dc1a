#pragma once

// What the stress loads share: the two sizes (short in every test run, long on
// demand), a seeded random source, and a watchdog that ends a stuck run with
// the last step of every thread instead of letting it hang.

#include "support/StressSize.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Stress
{

// WARDLINE_STRESS_SEED replays a run; otherwise each load has a fixed seed,
// so that a failure in make test repeats.
inline std::uint64_t seed(std::uint64_t fixed)
{
    const char* text = std::getenv("WARDLINE_STRESS_SEED");
    return text != nullptr ? std::strtoull(text, nullptr, 0) : fixed;
}

// splitmix64: small, fast and good enough to pick states and delays.
class Random
{
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, bound).
    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }

private:
    std::uint64_t state_;
};

inline double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Where one thread is: the step it last entered and the item it works on.
// Written by its thread only; read by the watchdog. A thread that is busy is
// expected to move; one that is idle (done, or waiting for others by design)
// or passive (a callback that runs when traffic comes) is not watched.
class Track
{
public:
    explicit Track(std::string name, bool passive = false) : name_(std::move(name)), passive_(passive) {}

    void at(const char* step, std::uint64_t item = 0) { enter(step, item, false); }
    void idle(const char* step, std::uint64_t item = 0) { enter(step, item, true); }
    // Progress without a change of step (a loop's iterations, a callback).
    void tick() { progress_.fetch_add(1, std::memory_order_relaxed); }

    bool watched() const { return !passive_ && !idle_.load(std::memory_order_relaxed); }
    std::uint64_t progress() const { return progress_.load(std::memory_order_relaxed); }
    std::string describe() const
    {
        const char* step = step_.load(std::memory_order_relaxed);
        const std::uint64_t since = GetTickCount64() - since_.load(std::memory_order_relaxed);
        return name_ + ": " + (step != nullptr ? step : "not started") + " (item " +
               std::to_string(item_.load(std::memory_order_relaxed)) + ", progress " +
               std::to_string(progress()) + ", in this step for " + std::to_string(since / 1000) + " s)";
    }

private:
    void enter(const char* step, std::uint64_t item, bool idle)
    {
        step_.store(step, std::memory_order_relaxed);
        item_.store(item, std::memory_order_relaxed);
        since_.store(GetTickCount64(), std::memory_order_relaxed);
        idle_.store(idle, std::memory_order_relaxed);
        progress_.fetch_add(1, std::memory_order_relaxed);
    }

    std::string name_;
    bool passive_;
    std::atomic<const char*> step_{nullptr};
    std::atomic<std::uint64_t> item_{0};
    std::atomic<std::uint64_t> since_{GetTickCount64()};
    std::atomic<bool> idle_{true};
    std::atomic<std::uint64_t> progress_{0};
};

// Watches the tracks of a load. When a busy thread has not moved for
// `stall`, it prints where every thread is (and what the probes add, such as
// the bus's counters) and ends the process: a deadlocked thread cannot be
// unwound, and the test runner counts a run without its final line as
// failed.
class Watchdog
{
public:
    Watchdog(std::string load, std::chrono::seconds stall) : load_(std::move(load)), stall_(stall)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // A track that lives as long as the watchdog. It is watched from its
    // first step on.
    Track& track(const std::string& name, bool passive = false)
    {
        std::lock_guard<std::mutex> guard(lock_);
        watched_.push_back({});
        return tracks_.emplace_back(name, passive);
    }
    // A line of extra state for the report; called on the watchdog's thread.
    void probe(std::function<std::string()> describe)
    {
        std::lock_guard<std::mutex> guard(lock_);
        probes_.push_back(std::move(describe));
    }

private:
    struct Seen
    {
        std::uint64_t progress = ~0ull;
        std::chrono::steady_clock::time_point moved;
    };

    void run()
    {
        for (;;)
        {
            Sleep(250);
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_)
            {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            const Track* stuck = nullptr;
            for (std::size_t i = 0; i < tracks_.size(); ++i)
            {
                const std::uint64_t progress = tracks_[i].progress();
                if (progress != watched_[i].progress || !tracks_[i].watched())
                {
                    watched_[i] = {progress, now};
                }
                else if (now - watched_[i].moved >= stall_ && stuck == nullptr)
                {
                    stuck = &tracks_[i];
                }
            }
            if (stuck != nullptr)
            {
                report(*stuck);
            }
        }
    }

    void report(const Track& stuck)
    {
        std::printf("[  STALLED ] %s: a thread did not move for %lld s; where each one is:\n", load_.c_str(),
                    static_cast<long long>(stall_.count()));
        for (const Track& track : tracks_)
        {
            std::printf("  %s %s\n", &track == &stuck ? "->" : "  ", track.describe().c_str());
        }
        for (const auto& describe : probes_)
        {
            std::printf("    %s\n", describe().c_str());
        }
        std::printf("[  FAILED  ] %s: deadlocked or stuck, the run is ended here\n", load_.c_str());
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }

    std::string load_;
    std::chrono::seconds stall_;
    std::mutex lock_;
    bool stop_ = false;
    std::deque<Track> tracks_; // stable addresses
    std::vector<Seen> watched_;
    std::vector<std::function<std::string()>> probes_;
    std::thread thread_;
};

} // namespace Stress
