#include "telemetry/publishing/documentuploader.h"
#include "telemetry/runtime/credentials_p.h"

namespace kl::telemetry {

DocumentUploader::DocumentUploader(QObject *parent)
    : QObject(parent)
{
    // Queued connections and signal spies look the pair up by name.
    qRegisterMetaType<QPair<QStringList, QStringList>>();
    qRegisterMetaType<UploadResult>();
}

DocumentUploader::~DocumentUploader() = default;

void DocumentUploader::setAccount(const QString &) { }

QStringList DocumentUploader::logins() const
{
    return {};
}

QByteArray DocumentUploader::basicAuthorization(const QUrl &server, const QString &database,
                                                const QString &account)
{
    const Credentials credentials = credentialStore()->find(server, database, account);
    return credentials.isEmpty() ? QByteArray() : credentials.basicAuthorization();
}

QStringList DocumentUploader::knownLogins(const QUrl &server, const QString &database)
{
    return credentialStore()->accounts(server, database);
}

} // namespace kl::telemetry
