#include "telemetry/runtime/credentials_p.h"
#include "telemetry/runtime/runtime.h"

#include <QJsonDocument>
#include <QJsonObject>
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

Credentials CredentialStore::find(const QUrl &server, const QString &database,
                                  const QString &account) const
{
    if (!server.userName().isEmpty())
        return account.isEmpty() || account == server.userName()
            ? Credentials { server.userName(), server.password() }
            : Credentials();
    QMutexLocker locker(&m_mutex);
    const QVector<Entry> entries = m_byDestination.value(keyOf(server, database));
    const auto latest
        = std::find_if(entries.crbegin(), entries.crend(), [&account](const Entry &entry) {
              return account.isEmpty() || entry.credentials.userName == account;
          });
    return latest == entries.crend() ? Credentials() : latest->credentials;
}

QStringList CredentialStore::accounts(const QUrl &server, const QString &database) const
{
    if (!server.userName().isEmpty())
        return { server.userName() };
    QMutexLocker locker(&m_mutex);
    QStringList names;
    for (const Entry &entry : m_byDestination.value(keyOf(server, database)))
        names.append(entry.credentials.userName);
    return names;
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

int recordsWaitingForLogin(const QString &locationInfo, const QMap<QString, int> &recordsByAccount)
{
    const QJsonObject location = QJsonDocument::fromJson(locationInfo.toUtf8()).object();
    const QStringList logins = credentialStore()->accounts(
        QUrl(location.value(QLatin1String("server")).toString(), QUrl::TolerantMode),
        location.value(QLatin1String("database")).toString());
    int waiting = 0;
    for (auto it = recordsByAccount.cbegin(); it != recordsByAccount.cend(); ++it)
        waiting += logins.contains(it.key()) ? 0 : it.value();
    return waiting;
}

QString destinationName(const QUrl &server, const QString &database)
{
    QString name = withoutUserInfo(server);
    while (name.endsWith(QLatin1Char('/')))
        name.chop(1);
    return name + QLatin1Char('/') + database;
}

// Older versions kept the credentials of a server in its location: they never show.
QString destinationNameOf(const QString &locationInfo)
{
    const QJsonObject location = QJsonDocument::fromJson(locationInfo.toUtf8()).object();
    return destinationName(QUrl(location.value(QLatin1String("server")).toString()),
                           location.value(QLatin1String("database")).toString());
}

} // namespace kl::telemetry
