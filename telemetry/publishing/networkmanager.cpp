#include "telemetry/publishing/networkmanager.h"

#include <QNetworkAccessManager>

namespace kl::telemetry {

NetworkManager::NetworkManager() = default;

NetworkManager::~NetworkManager()
{
    delete m_manager;
}

QNetworkAccessManager *NetworkManager::networkAccessManager()
{
    if (!m_manager) {
        m_manager = new QNetworkAccessManager(nullptr);
        m_manager->setTransferTimeout(m_uploadTimeout);
        m_ownManager = true;
    }
    return m_manager;
}

void NetworkManager::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    if (manager == m_manager)
        return;
    QNetworkAccessManager *previous = m_manager;
    m_manager = manager;
    m_ownManager = false;
    delete previous;
}

void NetworkManager::setUploadTimeout(int milliseconds)
{
    m_uploadTimeout = qMax(1, milliseconds);
    if (m_manager && m_ownManager)
        m_manager->setTransferTimeout(m_uploadTimeout);
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
