#include "core/canceltoken.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

struct CancelToken::Registration::State {
    std::mutex lock;
    bool cancelled = false;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, std::function<void()>> actions;
};

CancelToken::Registration::Registration(std::weak_ptr<State> state, std::uint64_t id)
    : m_state(std::move(state))
    , m_id(id)
{
}

CancelToken::Registration::Registration(Registration &&other) noexcept
    : m_state(std::move(other.m_state))
    , m_id(std::exchange(other.m_id, 0))
{
}

CancelToken::Registration &CancelToken::Registration::operator=(Registration &&other) noexcept
{
    if (this != &other) {
        release();
        m_state = std::move(other.m_state);
        m_id = std::exchange(other.m_id, 0);
    }
    return *this;
}

CancelToken::Registration::~Registration()
{
    release();
}

void CancelToken::Registration::release()
{
    if (m_id == 0)
        return;
    if (const auto state = m_state.lock()) {
        const std::lock_guard guard(state->lock);
        state->actions.erase(m_id);
    }
    m_id = 0;
}

CancelToken::CancelToken()
    : m_state(std::make_shared<Registration::State>())
{
}

void CancelToken::cancel() const
{
    std::vector<std::function<void()>> actions;
    {
        const std::lock_guard guard(m_state->lock);
        if (m_state->cancelled)
            return;
        m_state->cancelled = true;
        for (auto &entry : m_state->actions)
            actions.push_back(std::move(entry.second));
        m_state->actions.clear();
    }
    // Outside the lock: an action may register or release others.
    for (const auto &action : actions)
        action();
}

bool CancelToken::isCancelled() const
{
    const std::lock_guard guard(m_state->lock);
    return m_state->cancelled;
}

void CancelToken::throwIfCancelled() const
{
    if (isCancelled())
        throw Cancelled{};
}

CancelToken::Registration CancelToken::onCancel(std::function<void()> action) const
{
    {
        const std::lock_guard guard(m_state->lock);
        if (!m_state->cancelled) {
            const std::uint64_t id = m_state->nextId++;
            m_state->actions.emplace(id, std::move(action));
            return Registration(m_state, id);
        }
    }
    action();
    return Registration();
}
