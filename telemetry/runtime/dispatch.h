#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QRunnable>

#include <functional>

class QThread;

namespace kl::telemetry {

/**
 * Runs @p callable once on the event loop of @p thread, no earlier than @p delay ms after that
 * loop has picked up the request. Never runs it synchronously, even when @p thread is the
 * calling thread. A thread that has finished, or a null one, drops the callable. Safe from any
 * thread, including pool threads without an event loop.
 * \ingroup advanced
 */
KORVELTELEMETRY_EXPORT void dispatchToThread(QThread *thread, int delay,
                                             std::function<void()> callable);

/**
 * A thread-pool job that calls a callable once; the pool deletes it after run().
 * \ingroup advanced
 */
template<typename F>
class Task : public QRunnable
{
public:
    /// A job that calls @p callable once, on the pool thread that runs it.
    explicit Task(F callable)
        : m_function(std::bind(std::move(callable)))
    {
    }

    /// Calls the callable; QThreadPool calls this.
    void run() override { m_function(); }

private:
    std::function<void()> m_function;
};

} // namespace kl::telemetry
