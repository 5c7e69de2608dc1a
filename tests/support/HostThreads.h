#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace WardlineTest
{

// Threads that outlive every load of the library, as a host's own threads do.
// runRound gives each of them the work once and returns when all are done.
class HostThreads
{
public:
    explicit HostThreads(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i)
        {
            threads_.emplace_back([this, i] { run(i); });
        }
    }
    ~HostThreads()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_)
        {
            thread.join();
        }
    }
    HostThreads(const HostThreads&) = delete;
    HostThreads& operator=(const HostThreads&) = delete;

    void runRound(const std::function<void(unsigned)>& work)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        work_ = &work;
        remaining_ = threads_.size();
        ++round_;
        wake_.notify_all();
        done_.wait(lock, [this] { return remaining_ == 0; });
        work_ = nullptr;
    }

private:
    void run(unsigned index)
    {
        std::uint64_t seen = 0;
        for (;;)
        {
            const std::function<void(unsigned)>* work = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || round_ != seen; });
                if (stop_)
                {
                    return;
                }
                seen = round_;
                work = work_;
            }
            (*work)(index);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--remaining_ == 0)
            {
                done_.notify_all();
            }
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(unsigned)>* work_ = nullptr;
    std::size_t remaining_ = 0;
    std::uint64_t round_ = 0;
    bool stop_ = false;
};

} // namespace WardlineTest
