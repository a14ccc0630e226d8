#include "telemetry/publishing/networkmanager.h"

#include "telemetry/publishing/networkaccess_p.h"

#include <QThread>

namespace kl::telemetry {

// A held manager means the network part is loaded: it made the manager, or took it in.

NetworkManager::NetworkManager() = default;

NetworkManager::~NetworkManager()
{
    if (m_manager)
        networkAccess()->dispose(m_manager);
}

QNetworkAccessManager *NetworkManager::networkAccessManager()
{
    QMutexLocker locker(&m_mutex);
    if (!m_manager) {
        NetworkAccess *access = networkAccess();
        if (!access)
            return nullptr;
        m_manager = access->makeManager(m_uploadTimeout);
        m_ownManager = true;
        access->adopt(m_manager, m_thread);
    }
    return m_manager;
}

void NetworkManager::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    QMutexLocker locker(&m_mutex);
    if (manager == m_manager)
        return;
    NetworkAccess *access = networkAccess();
    if (!access)
        return;
    QNetworkAccessManager *previous = m_manager;
    m_manager = manager;
    m_ownManager = false;
    if (manager)
        access->adopt(manager, m_thread);
    if (previous)
        access->dispose(previous);
}

void NetworkManager::moveToThread(QThread *thread)
{
    QMutexLocker locker(&m_mutex);
    m_thread = thread;
    if (m_manager)
        networkAccess()->adopt(m_manager, thread);
}

void NetworkManager::setUploadTimeout(int milliseconds)
{
    QMutexLocker locker(&m_mutex);
    m_uploadTimeout = qMax(1, milliseconds);
    if (m_manager && m_ownManager)
        networkAccess()->setTransferTimeout(m_manager, m_uploadTimeout);
}

void NetworkManager::setMaxReplySize(qint64 bytes)
{
    m_maxReplySize = bytes;
}

void NetworkManager::setMaxRequestSize(qint64 bytes)
{
    m_maxRequestSize = bytes;
}

} // namespace kl::telemetry
