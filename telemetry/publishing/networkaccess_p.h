#pragma once

#include <QSharedPointer>

class QNetworkAccessManager;
class QString;
class QThread;

namespace kl::telemetry {

class DocumentUploader;

/**
 * What the network part does for the rest of the library. In shared builds it is a library of
 * its own, loaded when the first uploader or network access manager is needed, so that an
 * application does not load QtNetwork before it has something to send. Wholly inline, so that
 * the library need not export it: each side has the interface's table of its own.
 */
class NetworkAccess
{
public:
    virtual ~NetworkAccess() = default;

    /// The uploader of a destination (backend, location info); null for a backend it does not
    /// know.
    virtual QSharedPointer<DocumentUploader> makeUploader(const QString &backend,
                                                          const QString &locationInfo)
        = 0;
    /// A manager of the library's own, with no parent, on the calling thread.
    virtual QNetworkAccessManager *makeManager(int transferTimeout) = 0;
    virtual void setTransferTimeout(QNetworkAccessManager *manager, int milliseconds) = 0;
    /// Moves @p manager to @p thread unless it lives there already.
    virtual void adopt(QNetworkAccessManager *manager, QThread *thread) = 0;
    /// Deletes @p manager, on its own thread when that one still runs.
    virtual void dispose(QNetworkAccessManager *manager) = 0;
};

/// The network part, loaded on the first call; null, with one critical message, when it
/// cannot be loaded. Any thread.
NetworkAccess *networkAccess();

} // namespace kl::telemetry

// The network part's entry point, called directly where it is built into the library.
extern "C" kl::telemetry::NetworkAccess *korvelNetworkAccess();
