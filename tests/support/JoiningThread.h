#pragma once

#include <thread>
#include <utility>

namespace WardlineTest
{

// A thread that is joined when it goes out of scope. A test that returns
// early (a failed ASSERT) then waits for it, instead of ending the whole
// test program in std::terminate. Its work must end on its own in bounded
// time.
class JoiningThread
{
public:
    JoiningThread() = default;
    template <typename Work> explicit JoiningThread(Work&& work) : thread_(std::forward<Work>(work)) {}
    JoiningThread(JoiningThread&&) noexcept = default;
    JoiningThread& operator=(JoiningThread&& other) noexcept
    {
        join();
        thread_ = std::move(other.thread_);
        return *this;
    }
    ~JoiningThread() { join(); }

    void join()
    {
        if (thread_.joinable())
        {
            thread_.join();
        }
    }

private:
    std::thread thread_;
};

} // namespace WardlineTest
