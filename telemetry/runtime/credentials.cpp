#include "telemetry/runtime/credentials_p.h"

#include <QUrl>

#include <algorithm>

namespace kl::telemetry {

namespace {
// Built at load, so that it outlives the publisher that clears it.
Hook<void()> s_credentialsRemembered;
} // namespace

QByteArray Credentials::basicAuthorization() const
{
    return "Basic " + (userName + QLatin1Char(':') + password).toUtf8().toBase64();
}

// The server as a bucket's location info holds it, so that both sides meet.
QString CredentialStore::keyOf(const QUrl &server, const QString &database)
{
    return withoutUserInfo(server) + QLatin1Char('\n') + database;
}

void CredentialStore::remember(const void *bucket, const QUrl &server, const QString &database,
                               const Credentials &credentials)
{
    {
        QMutexLocker locker(&m_mutex);
        QVector<Entry> &entries = m_byDestination[keyOf(server, database)];
        entries.erase(
            std::remove_if(entries.begin(), entries.end(),
                           [bucket](const Entry &entry) { return entry.bucket == bucket; }),
            entries.end());
        if (!credentials.isEmpty())
            entries.append({ bucket, credentials });
    }
    s_credentialsRemembered.call();
}

Credentials CredentialStore::find(const QUrl &server, const QString &database) const
{
    if (!server.userName().isEmpty())
        return { server.userName(), server.password() };
    QMutexLocker locker(&m_mutex);
    const QVector<Entry> entries = m_byDestination.value(keyOf(server, database));
    return entries.isEmpty() ? Credentials() : entries.last().credentials;
}

Hook<void()> &credentialsRemembered()
{
    return s_credentialsRemembered;
}

CredentialStore *credentialStore()
{
    static CredentialStore store;
    return &store;
}

} // namespace kl::telemetry
