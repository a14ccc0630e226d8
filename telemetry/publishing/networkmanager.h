#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QtGlobal>

class QNetworkAccessManager;

namespace kl::telemetry {

/**
 * Holds the one QNetworkAccessManager through which every uploader of the process sends its
 * requests. Reached through Singleton<NetworkManager>::getInstance().
 *
 * Takes no lock: the library and the host use it only from the publisher thread.
 */
class KORVELTELEMETRY_EXPORT NetworkManager
{
public:
    NetworkManager();
    /// Deletes the held manager.
    ~NetworkManager();

    /**
     * The held manager. The first call, and the first after a null was set, creates one with
     * no parent, which therefore belongs to the calling thread.
     */
    QNetworkAccessManager *networkAccessManager();

    /**
     * Takes ownership of @p manager, which nothing else may own, and deletes the manager held
     * before at once. Setting the manager already held does nothing; null drops the held one,
     * so that the next networkAccessManager() call creates a fresh default manager.
     */
    void setNetworkAccessManager(QNetworkAccessManager *manager);

private:
    Q_DISABLE_COPY(NetworkManager)
    QNetworkAccessManager *m_manager = nullptr;
};

} // namespace kl::telemetry
