#pragma once

#include "wrappers/Sync.h"

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace Norvan
{

// What future::get throws when its promise went away without an outcome.
class broken_promise : public std::logic_error
{
public:
    broken_promise() : std::logic_error("broken promise") {}
};

namespace details
{

template <typename T> struct promise_state
{
    srw_mutex mutex;
    condition_variable ready;
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    bool retrieved = false;
};

} // namespace details

template <typename T> class promise;

// The receiving end of a promise<T>, as std::future<T> for one consumer: get
// gives the value or throws what the promise was given, once.
template <typename T> class future
{
public:
    future() noexcept = default;
    future(future&&) noexcept = default;
    future& operator=(future&&) noexcept = default;

    bool valid() const noexcept { return state_ != nullptr; }

    // True when the outcome is there (a negative time only looks). Needs a
    // valid future.
    bool wait_for(std::chrono::milliseconds timeout) const
    {
        std::unique_lock<srw_mutex> lock(state_->mutex);
        return state_->ready.wait_for(lock, timeout, [this] { return state_->done; });
    }

    // Waits for the outcome; the future is no longer valid afterwards.
    T get()
    {
        std::shared_ptr<details::promise_state<T>> state = std::move(state_);
        std::unique_lock<srw_mutex> lock(state->mutex);
        state->ready.wait(lock, [&state] { return state->done; });
        if (state->error)
        {
            std::rethrow_exception(state->error);
        }
        return std::move(*state->value);
    }

private:
    friend class promise<T>;
    explicit future(std::shared_ptr<details::promise_state<T>> state) noexcept : state_(std::move(state)) {}

    std::shared_ptr<details::promise_state<T>> state_;
};

// As std::promise<T>: set the value or an exception once; destroyed or
// replaced without either, its future throws broken_promise.
template <typename T> class promise
{
public:
    promise() : state_(std::make_shared<details::promise_state<T>>()) {}
    ~promise() { abandon(); }
    promise(promise&&) noexcept = default;
    promise& operator=(promise&& other) noexcept
    {
        if (this != &other)
        {
            abandon();
            state_ = std::move(other.state_);
        }
        return *this;
    }

    future<T> get_future()
    {
        std::lock_guard<srw_mutex> lock(checkedState().mutex);
        if (state_->retrieved)
        {
            throw std::logic_error("future already retrieved");
        }
        state_->retrieved = true;
        return future<T>(state_);
    }

    void set_value(T value)
    {
        complete([&](details::promise_state<T>& state) { state.value.emplace(std::move(value)); });
    }

    // An empty exception_ptr would be an outcome with neither value nor
    // error: refused with std::invalid_argument (std::future_error would
    // bring in <future>, which the library keeps out), leaving the promise
    // unsatisfied.
    void set_exception(std::exception_ptr error)
    {
        if (!error)
        {
            throw std::invalid_argument("promise::set_exception needs an exception");
        }
        complete([&](details::promise_state<T>& state) { state.error = std::move(error); });
    }

private:
    details::promise_state<T>& checkedState()
    {
        if (!state_)
        {
            throw std::logic_error("promise has no state");
        }
        return *state_;
    }

    template <typename Store> void complete(Store store)
    {
        details::promise_state<T>& state = checkedState();
        {
            std::lock_guard<srw_mutex> lock(state.mutex);
            if (state.done)
            {
                throw std::logic_error("promise already satisfied");
            }
            store(state);
            state.done = true;
        }
        state.ready.notify_all();
    }

    void abandon() noexcept
    {
        if (!state_)
        {
            return;
        }
        {
            std::lock_guard<srw_mutex> lock(state_->mutex);
            if (!state_->done)
            {
                try
                {
                    state_->error = std::make_exception_ptr(broken_promise());
                }
                catch (...)
                {
                    // Out of memory for the exception: the future still
                    // learns that no value comes.
                    state_->error = std::current_exception();
                }
                state_->done = true;
            }
        }
        state_->ready.notify_all();
        state_.reset();
    }

    std::shared_ptr<details::promise_state<T>> state_;
};

} // namespace Norvan
