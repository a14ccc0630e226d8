#pragma once

#include <telemetry/cache/datacollector.h>
#include <telemetry/runtime/runtime.h>
#include <telemetry/runtime/singleexecutor.h>

#include <QCoreApplication>
#include <QTimer>

#include <functional>

// Quits the application once it has recorded everything (@p recorded says so) and the cache,
// shared by every process of the user, is empty. Holding the main lock while looking means
// that no flush is between taking the queue and writing it, and no upload is in flight.
inline void quitWhenEverythingIsPublished(
    QCoreApplication *app, std::function<bool()> recorded = [] { return true; })
{
    auto *poll = new QTimer(app);
    QObject::connect(poll, &QTimer::timeout, app, [app, recorded] {
        using namespace kl::telemetry;
        if (!recorded())
            return;
        SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
        if (!mainLock.tryToRun())
            return;
        DataCollector *collector = currentDataCollector();
        if (collector->getQueuedElementsCount() == 0 && collector->getCachedElementsCount() == 0)
            app->quit();
    });
    poll->start(500);
}
