#include "telemetry/runtime/dispatch.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace kl::telemetry {

void dispatchToThread(QThread *thread, int delay, std::function<void()> callable)
{
    if (!thread || thread->isFinished())
        return;

    // The timer is handed over before anything else touches it, so the calling thread needs
    // no event loop of its own; the target thread starts it when it processes the queued call.
    auto *timer = new QTimer;
    timer->moveToThread(thread);
    timer->setSingleShot(true);
    // A coarse timer may fire up to 5% early; callers rely on "no earlier than the delay".
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(
        timer, &QTimer::timeout, timer,
        [timer, callable = std::move(callable)]() {
            callable();
            timer->deleteLater();
        },
        Qt::DirectConnection);
    // A timer still pending when its thread finishes or the application object goes away
    // would neither fire nor be freed; the next flush or publish attempt of a process that
    // exits is always pending.
    QObject::connect(thread, &QThread::finished, timer, &QObject::deleteLater);
    if (QCoreApplication *application = QCoreApplication::instance())
        QObject::connect(application, &QObject::destroyed, timer, [timer] { delete timer; });
    QMetaObject::invokeMethod(timer, "start", Qt::QueuedConnection, Q_ARG(int, delay));
}

} // namespace kl::telemetry
