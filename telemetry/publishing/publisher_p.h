#pragma once

#include "telemetry/publishing/publisher.h"

#include "telemetry/publishing/batchnarrowing_p.h"

#include <QMutex>
#include <QPointer>
#include <QThread>

#include <optional>

namespace kl::telemetry {

class PublisherPrivate
{
public:
    explicit PublisherPrivate(Publisher *qq)
        : q(qq)
    {
    }

    void scheduleAttempt();
    void applyVerdict(const BatchVerdict &verdict, int sent) const;
    void forgetUploadersOfAnOlderCache(QMap<QString, DocumentUploader *> &uploaders);

    Publisher *q;
    QMutex m_mutex;
    // Set once; tracked, since a host may delete the thread once it has finished.
    std::optional<QPointer<QThread>> m_thread;
    BatchNarrowing m_narrowing;
    int m_pendingStorageId = 0;
    // The cache file generation the uploaders of the current pass were taken from.
    int m_cacheGeneration = 0;
};

} // namespace kl::telemetry
