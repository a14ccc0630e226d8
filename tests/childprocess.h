#pragma once

#include "telemetry/publishing/publisher.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <functional>
#include <memory>

#include <unistd.h>

// Pieces shared by the processes that tests start and steer.
namespace kl::telemetry::test {

/**
 * Makes the publisher's own chain of attempts never run: the chain belongs to the thread of
 * the first initialize(), and a thread that has finished gets none. Attempts then happen only
 * where the process calls doPublishImpl() itself. The publisher is made on the calling thread,
 * which is where its upload completions are delivered.
 */
inline void parkPublisherChain()
{
    Publisher *publisher = currentPublisher();
    std::unique_ptr<QThread> thread(QThread::create([publisher] { publisher->initialize(); }));
    thread->start();
    thread->wait();
}

/// Calls @p onLine with each line that arrives on stdin, and @p onEnd once stdin closes.
inline void readInputLines(QObject *context, std::function<void(const QByteArray &)> onLine,
                           std::function<void()> onEnd)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, onLine, onEnd, pending = QByteArray()]() mutable {
                         char buffer[256];
                         const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
                         if (size <= 0) {
                             notifier->setEnabled(false);
                             onEnd();
                             return;
                         }
                         pending.append(buffer, int(size));
                         for (int end; (end = pending.indexOf('\n')) != -1;) {
                             const QByteArray line = pending.left(end);
                             pending.remove(0, end + 1);
                             onLine(line);
                         }
                     });
}

} // namespace kl::telemetry::test
