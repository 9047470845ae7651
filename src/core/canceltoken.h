#pragma once

#include "core/cancelled.h"

#include <cstdint>
#include <functional>
#include <memory>

// A stop request shared by a task and whoever may stop it. Copies share one
// state. Cancelling runs every registered action once, on the cancelling
// thread; an action registered after the cancel runs at once.
class CancelToken
{
public:
    // Keeps an action registered for as long as it lives. An action that has
    // already started on another thread may still finish after the
    // registration ends, so actions capture what they use by value.
    class Registration
    {
    public:
        Registration() = default;
        Registration(Registration &&other) noexcept;
        Registration &operator=(Registration &&other) noexcept;
        Registration(const Registration &) = delete;
        Registration &operator=(const Registration &) = delete;
        ~Registration();

    private:
        friend class CancelToken;
        struct State;
        Registration(std::weak_ptr<State> state, std::uint64_t id);
        void release();

        std::weak_ptr<State> m_state;
        std::uint64_t m_id = 0;
    };

    CancelToken();

    void cancel() const;
    bool isCancelled() const;
    // Throws Cancelled when the token has been cancelled.
    void throwIfCancelled() const;

    [[nodiscard]] Registration onCancel(std::function<void()> action) const;

private:
    std::shared_ptr<Registration::State> m_state;
};
