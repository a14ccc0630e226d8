#pragma once

#include <QMutex>

#include <functional>

namespace kl::telemetry {

template<typename Signature>
class Hook;

/**
 * A callback that an upper part installs into a lower one, so that the lower part can tell it
 * something without knowing it. Any thread may call it; set() waits for a call in progress,
 * so an owner that clears it in its destructor is never called afterwards. Calling it while
 * none is installed returns a default value.
 */
template<typename Result, typename... Arguments>
class Hook<Result(Arguments...)>
{
public:
    void set(std::function<Result(Arguments...)> function)
    {
        QMutexLocker locker(&m_mutex);
        m_function = std::move(function);
    }

    Result call(Arguments... arguments) const
    {
        QMutexLocker locker(&m_mutex);
        if (!m_function)
            return Result();
        return m_function(std::forward<Arguments>(arguments)...);
    }

private:
    mutable QMutex m_mutex;
    std::function<Result(Arguments...)> m_function;
};

} // namespace kl::telemetry
