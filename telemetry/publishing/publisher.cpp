#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/documentuploader.h"
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

    uploadStarted = true;
    m_pendingIds = ids;
    connect(uploader, &DocumentUploader::finished, this, &Publisher::addedDocuments);
    uploader->addDocuments(documents);
    return true;
}

void Publisher::addedDocuments(bool success, QPair<QStringList, QStringList>)
{
    // An uploader is visited again in later passes; it must never hold two connections.
    if (auto *uploader = qobject_cast<DocumentUploader *>(sender()))
        disconnect(uploader, &DocumentUploader::finished, this, &Publisher::addedDocuments);

    // The ids sent are deleted, also those of documents the server rejected one by one: a
    // rejected document would be rejected again on every pass.
    if (success) {
        qCDebug(lcTelemetry) << "Published" << m_pendingIds.size() << "records";
        currentDataCollector()->deleteByIds(m_pendingIds);
    }
    m_executor.reset();
    d->scheduleAttempt();
}

Publisher *currentPublisher()
{
    return Singleton<Publisher>::getInstance();
}

} // namespace kl::telemetry
