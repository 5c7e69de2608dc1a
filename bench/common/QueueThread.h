#pragma once

// The baselines' receiving side: a thread that takes items off a queue, in
// order, and does `work` with each outside the lock. The destructor lets it
// finish what is queued and joins it.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace bench
{

template <typename Item> class QueueThread
{
public:
    explicit QueueThread(std::function<void(Item&)> work) : work_(std::move(work)), thread_([this] { run(); })
    {
    }
    ~QueueThread()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        ready_.notify_one();
        thread_.join();
    }
    QueueThread(const QueueThread&) = delete;
    QueueThread& operator=(const QueueThread&) = delete;

    void push(Item item)
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            queue_.push_back(std::move(item));
        }
        ready_.notify_one();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;)
        {
            ready_.wait(guard, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
            {
                return;
            }
            Item next = std::move(queue_.front());
            queue_.pop_front();
            guard.unlock();
            work_(next);
            guard.lock();
        }
    }

    const std::function<void(Item&)> work_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Item> queue_;
    bool stop_ = false;
    std::thread thread_; // last: started once everything it uses exists
};

} // namespace bench
