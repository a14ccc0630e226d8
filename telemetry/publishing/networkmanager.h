#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QMutex>
#include <QPointer>

#include <atomic>

class QNetworkAccessManager;
class QThread;

namespace kl::telemetry {

/**
 * Holds the one QNetworkAccessManager through which every uploader of the process sends its
 * requests, and the bounds every upload keeps to. Reached through
 * Singleton<NetworkManager>::getInstance().
 *
 * Any thread may use it. Its manager belongs to the publisher's thread: the uploads use it
 * there.
 * \ingroup advanced
 */
class KORVELTELEMETRY_EXPORT NetworkManager
{
public:
    /// Holds no manager until the first networkAccessManager() call.
    NetworkManager();
    /// Deletes the held manager.
    ~NetworkManager();

    /**
     * The held manager. The first call, and the first after a null was set, creates one with
     * no parent, on the publisher's thread once it runs on one of its own (else on the calling
     * thread), and with uploadTimeout() as its transfer time-out. Null when the library's
     * network part cannot be loaded (a critical message says why).
     */
    QNetworkAccessManager *networkAccessManager();

    /**
     * Takes ownership of @p manager, which nothing else may own, and deletes the manager held
     * before (on its own thread). Setting the manager already held does nothing; null drops the
     * held one, so that the next networkAccessManager() call creates a fresh default manager.
     * Once the publisher runs on a thread of its own, a manager set from another thread moves
     * there: set it from the thread it was made in. When the library's network part cannot be
     * loaded, nothing changes.
     */
    void setNetworkAccessManager(QNetworkAccessManager *manager);

    /// The thread the uploads run on from now on; the held manager moves there. Publisher only.
    void moveToThread(QThread *thread);

    /**
     * The longest an upload may take, in ms (30000 unless set): a reply not finished by then
     * is aborted and counts as a transient failure, whichever manager carries it, so that no
     * upload outlives its claim on the destination. It is also the transfer time-out of the
     * library's own manager; a manager the host set keeps its own.
     */
    int uploadTimeout() const { return m_uploadTimeout; }
    /// Applies to uploads started from now on; values below 1 ms count as 1 ms.
    void setUploadTimeout(int milliseconds);

    /**
     * The largest reply body an upload accepts, in bytes (1 MiB unless set): a reply that
     * grows beyond it is aborted and counts as a transient failure.
     */
    qint64 maxReplySize() const { return m_maxReplySize; }
    /// Applies to uploads started from now on.
    void setMaxReplySize(qint64 bytes);

    /**
     * The largest request body a batch makes, in bytes (4 MiB unless set): a batch of large
     * records takes fewer than 25 of them. A record alone always goes, up to the 8 MB that
     * CouchDB accepts in a document by default; a larger one is set aside when it is read.
     */
    qint64 maxRequestSize() const { return m_maxRequestSize; }
    /// Applies to batches taken from now on.
    void setMaxRequestSize(qint64 bytes);

private:
    Q_DISABLE_COPY(NetworkManager)

    QMutex m_mutex; // guards the manager and the thread
    QNetworkAccessManager *m_manager = nullptr;
    QPointer<QThread> m_thread;
    bool m_ownManager = false;
    // Set on any thread, read on the publisher's.
    std::atomic<int> m_uploadTimeout { 30000 };
    std::atomic<qint64> m_maxReplySize { 1024 * 1024 };
    std::atomic<qint64> m_maxRequestSize { 4 * 1024 * 1024 };
};

} // namespace kl::telemetry
