#include "wrappers/Promise.h"
#include "wrappers/Sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

TEST(Sync, CallOnceTriesAgainAfterAThrowAndRunsOnceAfterSuccess)
{
    Norvan::once_flag flag;
    int runs = 0;
    EXPECT_THROW(Norvan::call_once(flag,
                                   [&]
                                   {
                                       ++runs;
                                       throw std::runtime_error("first attempt");
                                   }),
                 std::runtime_error);
    Norvan::call_once(flag, [&] { ++runs; });
    Norvan::call_once(flag, [&] { ++runs; });
    EXPECT_EQ(2, runs);
}

TEST(Sync, RecursiveMutexIsRecursiveForItsOwnerUntilItsLastUnlock)
{
    Norvan::recursive_mutex mutex;
    const auto otherThreadGetsIt = [&]
    {
        bool got = false;
        std::thread(
            [&]
            {
                got = mutex.try_lock();
                if (got)
                {
                    mutex.unlock();
                }
            })
            .join();
        return got;
    };
    mutex.lock();
    EXPECT_TRUE(mutex.try_lock());
    mutex.lock();
    mutex.unlock();
    mutex.unlock();
    EXPECT_FALSE(otherThreadGetsIt()) << "released before the owner's last unlock";
    mutex.unlock();
    EXPECT_TRUE(otherThreadGetsIt());
}

TEST(Sync, SrwMutexLetsReadersShareAndKeepsAWriterOut)
{
    Norvan::srw_mutex mutex;
    std::shared_lock<Norvan::srw_mutex> reader(mutex);
    bool secondReader = false;
    bool writer = true;
    std::thread(
        [&]
        {
            secondReader = mutex.try_lock_shared();
            if (secondReader)
            {
                mutex.unlock_shared();
            }
            writer = mutex.try_lock();
            if (writer)
            {
                mutex.unlock();
            }
        })
        .join();
    EXPECT_TRUE(secondReader);
    EXPECT_FALSE(writer);
}

TEST(Sync, ConditionWaitForEndsAtItsTimeOrWhenTheConditionHolds)
{
    Norvan::srw_mutex mutex;
    Norvan::condition_variable condition;
    bool ready = false;
    std::unique_lock<Norvan::srw_mutex> lock(mutex);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(condition.wait_for(lock, 100ms, [&] { return ready; }));
    // The tick count may step by up to ~16 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms);

    std::thread notifier(
        [&]
        {
            std::lock_guard<Norvan::srw_mutex> hold(mutex);
            ready = true;
            condition.notify_all();
        });
    EXPECT_TRUE(condition.wait_for(lock, 60s, [&] { return ready; }));
    lock.unlock();
    notifier.join();
}

TEST(Promise, AbandonedPromiseAndMisuseAreReported)
{
    Norvan::future<int> orphan;
    {
        Norvan::promise<int> promise;
        orphan = promise.get_future();
        EXPECT_THROW(promise.get_future(), std::logic_error);
    }
    EXPECT_TRUE(orphan.wait_for(0ms));
    EXPECT_THROW(orphan.get(), Norvan::broken_promise);
    EXPECT_FALSE(orphan.valid());

    Norvan::promise<int> twice;
    twice.set_value(1);
    EXPECT_THROW(twice.set_value(2), std::logic_error);
}

TEST(Promise, AnEmptyExceptionIsRefusedAndLeavesThePromiseUnsatisfied)
{
    Norvan::promise<int> promise;
    Norvan::future<int> future = promise.get_future();
    EXPECT_THROW(promise.set_exception(nullptr), std::invalid_argument);
    promise.set_value(7);
    EXPECT_EQ(7, future.get());
}
