#pragma once

#include <thread>

namespace WardlineTest
{

// A thread joined at the end of its scope: a test that returns early (a
// failed ASSERT) waits for it instead of ending the whole test program in
// std::terminate. Its work must end on its own in bounded time.
class JoiningThread
{
public:
    template <typename Work> explicit JoiningThread(Work&& work) : thread_(work) {}
    JoiningThread(JoiningThread&&) noexcept = default;
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
