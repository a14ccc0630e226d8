#pragma once

#include "telemetry/registry/backends.h"

#include <QMap>
#include <QMutex>
#include <QSharedPointer>
#include <QSqlDatabase>

namespace kl::telemetry {

class BackendsPrivate
{
public:
    explicit BackendsPrivate(Backends *qq);

    int findStorageId(const QString &backend, const QString &locationInfo);
    int registerStorage(const QString &backend, const QString &locationInfo);
    DocumentUploader *uploaderFor(const QString &key, const QString &backend,
                                  const QString &locationInfo);

    Backends *q;
    bool m_initialized = false;
    QSqlDatabase m_db;
    // Serialises every use of the connection, so that no two threads run SQL on it at once.
    mutable QMutex m_mutex;
    QMap<QString, QSharedPointer<DocumentUploader>> m_uploaderCache;
};

} // namespace kl::telemetry
