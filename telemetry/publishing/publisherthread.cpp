// The publisher on a thread of the library's own: the chain moves there at start, calls from
// other threads go there, and the thread ends with the application, its objects first.

#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/publishing/networkmanager.h"
#include "telemetry/runtime/singleton.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

#include <atomic>

namespace kl::telemetry {

void Publisher::startInBackground()
{
    if (thread() != QThread::currentThread()) {
        initialize();
        return;
    }
    QMutexLocker locker(&d->m_mutex);
    if (d->m_thread)
        return;
    d->m_ownThread = new QThread;
    d->m_ownThread->setObjectName(QStringLiteral("korvel.publisher"));
    d->m_thread = d->m_ownThread;
    moveToThread(d->m_ownThread);
    Singleton<NetworkManager>::getInstance()->moveToThread(d->m_ownThread);
    // Before the application object is torn down, while its threads can still be called.
    qAddPostRoutine([] { currentPublisher()->d->stopOwnThread(); });
    d->m_ownThread->start();
    QMetaObject::invokeMethod(
        this, [d = d] { d->startChain(); }, Qt::QueuedConnection);
}

bool PublisherPrivate::isOwnThreadElsewhere()
{
    return m_ownThread && m_ownThread != QThread::currentThread() && m_ownThread->isRunning();
}

// The calling thread's events go on meanwhile, so that a status living there hears of every
// answer before this returns. A thread without an event loop of its own just waits.
PublishOutcome PublisherPrivate::publishPendingOnOwnThread(int timeoutMs)
{
    struct Call
    {
        PublishOutcome outcome;
        std::atomic<bool> done { false };
    };
    const auto call = std::make_shared<Call>();
    QAbstractEventDispatcher *const callerEvents = QAbstractEventDispatcher::instance();
    const auto publish = [publisher = q, call, callerEvents, timeoutMs] {
        call->outcome = publisher->publishPending(timeoutMs);
        call->done = true;
        if (callerEvents)
            callerEvents->wakeUp();
    };
    if (!callerEvents) {
        QMetaObject::invokeMethod(q, publish, Qt::BlockingQueuedConnection);
        return call->outcome;
    }
    QMetaObject::invokeMethod(q, publish, Qt::QueuedConnection);
    while (!call->done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    return call->outcome;
}

void PublisherPrivate::abandonUploadOnItsThread()
{
    if (isOwnThreadElsewhere())
        QMetaObject::invokeMethod(
            q, [this] { abandonUpload(); }, Qt::BlockingQueuedConnection);
    else
        abandonUpload();
}

// As the application ends: what lives on the thread is deleted there (the network
// manager's connections, the file watch), and the thread ends.
void PublisherPrivate::stopOwnThread()
{
    if (!isOwnThreadElsewhere())
        return;
    QMetaObject::invokeMethod(
        q,
        [this] {
            abandonUpload();
            m_cacheWatch.reset();
            Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(nullptr);
            QThread::currentThread()->quit();
        },
        Qt::BlockingQueuedConnection);
    m_ownThread->wait();
}

} // namespace kl::telemetry
