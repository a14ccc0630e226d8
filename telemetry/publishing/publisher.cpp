#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/documentuploader.h"
#include "telemetry/publishing/uploadresult.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QScopeGuard>
#include <QThread>

namespace kl::telemetry {

// Attempts made outside the chain, before initialize(), start none.
void PublisherPrivate::scheduleAttempt()
{
    if (m_thread)
        dispatchToThread(*m_thread, DataTransferFrequency,
                         [publisher = q] { publisher->doPublishImpl(); });
}

void PublisherPrivate::applyVerdict(const BatchVerdict &verdict, int sent) const
{
    if (!verdict.stored.isEmpty()) {
        qCDebug(lcTelemetry) << "Published" << verdict.stored.size() << "records";
        currentDataCollector()->deleteByIds(verdict.stored);
    }
    // One line per batch; the multi-argument arg() leaves "%" in the server's texts alone.
    const QString destination = QString::number(m_pendingStorageId);
    if (!verdict.firstError.isEmpty())
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("Destination %1 stored %2 of %3 records, %4 kept in the cache, %5 "
                              "set aside; first error: %6")
                   .arg(destination, QString::number(verdict.stored.size()), QString::number(sent),
                        QString::number(verdict.kept), QString::number(verdict.setAside.size()),
                        verdict.firstError);
    for (const BatchVerdict::SetAside &record : verdict.setAside) {
        if (currentDataCollector()->setAside(record.id, record.reason))
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Record %1 of destination %2 set aside after %3 refusals: %4")
                       .arg(record.id, destination,
                            QString::number(BatchNarrowing::kSoloRefusalsToSetAside),
                            record.reason);
        else
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Record %1 of destination %2 could not be set aside; it stays "
                                  "cached")
                       .arg(record.id, destination);
    }
}

// Runs under the main lock. When the cache file was replaced, the storage IDs of the pass may
// name other destinations in the new one.
void PublisherPrivate::forgetUploadersOfAnOlderCache(QMap<QString, DocumentUploader *> &uploaders)
{
    currentDataCollector()->checkCacheFile();
    const int generation = cacheFileGeneration();
    if (generation == m_cacheGeneration)
        return;
    m_cacheGeneration = generation;
    uploaders.clear();
    // Narrowing state is kept per storage ID, which may name another destination now.
    m_narrowing = BatchNarrowing();
}

Publisher::Publisher()
    : d(new PublisherPrivate(this))
{
}

Publisher::~Publisher()
{
    delete d;
}

void Publisher::initialize()
{
    QMutexLocker locker(&d->m_mutex);
    if (d->m_thread)
        return;
    d->m_thread = QThread::currentThread();
    d->scheduleAttempt();
}

bool Publisher::doPublishImpl()
{
    bool uploadStarted = false;
    // Without an upload in flight the attempt gives the lock back and the chain goes on;
    // with one, both wait for its completion.
    const auto endOfAttempt = qScopeGuard([this, &uploadStarted] {
        if (uploadStarted)
            return;
        m_executor.reset();
        d->scheduleAttempt();
    });

    m_executor = std::make_unique<SingleExecutor>(QString::fromLatin1(kMainLockName));
    if (!m_executor->tryToRun())
        return false;
    d->forgetUploadersOfAnOlderCache(m_uploaders);

    if (m_uploaders.isEmpty())
        m_uploaders = currentBackends()->getBackends();
    if (m_uploaders.isEmpty())
        return true;

    // Keys are storage IDs as text, so a pass visits "10" before "2".
    const QString key = m_uploaders.firstKey();
    DocumentUploader *uploader = m_uploaders.take(key);
    if (!uploader)
        return true;

    QStringList ids;
    QStringList documents;
    if (!currentDataCollector()->getCacheByStorageId(key.toInt(), ids, documents)
        || documents.isEmpty())
        return true;
    d->m_narrowing.trim(key.toInt(), ids, documents);

    uploadStarted = true;
    m_pendingIds = ids;
    d->m_pendingStorageId = key.toInt();
    connect(uploader, &DocumentUploader::resultReady, this, &Publisher::addedDocuments);
    uploader->addDocuments(documents);
    return true;
}

void Publisher::addedDocuments(const UploadResult &result)
{
    // An uploader is visited again in later passes; it must never hold two connections.
    if (auto *uploader = qobject_cast<DocumentUploader *>(sender()))
        disconnect(uploader, &DocumentUploader::resultReady, this, &Publisher::addedDocuments);

    // Still under the main lock: deleting and setting aside cannot meet a flush.
    d->applyVerdict(d->m_narrowing.judge(d->m_pendingStorageId, m_pendingIds, result),
                    m_pendingIds.size());
    m_executor.reset();
    d->scheduleAttempt();
}

Publisher *currentPublisher()
{
    return Singleton<Publisher>::getInstance();
}

} // namespace kl::telemetry
