#include "telemetry/publishing/networkmanager.h"

#include <QNetworkAccessManager>
#include <QThread>

namespace kl::telemetry {

namespace {

// A manager that lives on another thread, still running, goes there to be deleted.
void dispose(QNetworkAccessManager *manager)
{
    if (!manager)
        return;
    QThread *home = manager->thread();
    if (home && home != QThread::currentThread() && home->isRunning())
        manager->deleteLater();
    else
        delete manager;
}

} // namespace

NetworkManager::NetworkManager() = default;

NetworkManager::~NetworkManager()
{
    delete m_manager;
}

QNetworkAccessManager *NetworkManager::networkAccessManager()
{
    QMutexLocker locker(&m_mutex);
    if (!m_manager) {
        m_manager = new QNetworkAccessManager(nullptr);
        m_manager->setTransferTimeout(m_uploadTimeout);
        m_ownManager = true;
        adopt(m_manager);
    }
    return m_manager;
}

void NetworkManager::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    QMutexLocker locker(&m_mutex);
    if (manager == m_manager)
        return;
    QNetworkAccessManager *previous = m_manager;
    m_manager = manager;
    m_ownManager = false;
    if (manager)
        adopt(manager);
    dispose(previous);
}

void NetworkManager::moveToThread(QThread *thread)
{
    QMutexLocker locker(&m_mutex);
    m_thread = thread;
    if (m_manager)
        adopt(m_manager);
}

void NetworkManager::adopt(QNetworkAccessManager *manager)
{
    if (m_thread && manager->thread() != m_thread)
        manager->moveToThread(m_thread);
}

void NetworkManager::setUploadTimeout(int milliseconds)
{
    QMutexLocker locker(&m_mutex);
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
