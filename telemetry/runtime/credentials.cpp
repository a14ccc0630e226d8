#include "telemetry/runtime/credentials_p.h"

#include <QUrl>

namespace kl::telemetry {

QByteArray Credentials::basicAuthorization() const
{
    return "Basic " + (userName + QLatin1Char(':') + password).toUtf8().toBase64();
}

// The same text a bucket's location info holds as its server, so that both sides meet.
QString CredentialStore::keyOf(const QUrl &server)
{
    return server.toString(QUrl::FullyEncoded | QUrl::RemoveUserInfo);
}

void CredentialStore::remember(const QUrl &server, const Credentials &credentials)
{
    if (credentials.isEmpty())
        return;
    QMutexLocker locker(&m_mutex);
    m_byServer.insert(keyOf(server), credentials);
}

Credentials CredentialStore::find(const QUrl &server) const
{
    if (!server.userName().isEmpty())
        return { server.userName(), server.password() };
    QMutexLocker locker(&m_mutex);
    return m_byServer.value(keyOf(server));
}

CredentialStore *credentialStore()
{
    static CredentialStore store;
    return &store;
}

} // namespace kl::telemetry
