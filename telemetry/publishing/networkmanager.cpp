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
    if (!m_manager)
        m_manager = new QNetworkAccessManager(nullptr);
    return m_manager;
}

void NetworkManager::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    if (manager == m_manager)
        return;
    QNetworkAccessManager *previous = m_manager;
    m_manager = manager;
    delete previous;
}

} // namespace kl::telemetry
