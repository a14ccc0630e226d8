#include "telemetry/korveltelemetrynetwork_export.h"
#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/publishing/networkaccess_p.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QThread>

namespace kl::telemetry {

namespace {

// The library's network part: uploads and managers on QtNetwork.
class QtNetworkAccess final : public NetworkAccess
{
public:
    // "couchdb" is the only backend known.
    QSharedPointer<DocumentUploader> makeUploader(const QString &backend,
                                                  const QString &locationInfo) override
    {
        if (backend != QLatin1String("couchdb"))
            return {};
        const QJsonObject location = QJsonDocument::fromJson(locationInfo.toUtf8()).object();
        return QSharedPointer<DocumentUploader>(new CouchDbDocumentUploader(
            location.value(QLatin1String("server")).toString(),
            location.value(QLatin1String("database")).toString(), nullptr));
    }

    QNetworkAccessManager *makeManager(int transferTimeout) override
    {
        auto *manager = new QNetworkAccessManager(nullptr);
        manager->setTransferTimeout(transferTimeout);
        return manager;
    }

    void setTransferTimeout(QNetworkAccessManager *manager, int milliseconds) override
    {
        manager->setTransferTimeout(milliseconds);
    }

    void adopt(QNetworkAccessManager *manager, QThread *thread) override
    {
        if (thread && manager->thread() != thread)
            manager->moveToThread(thread);
    }

    // A manager that lives on another thread, still running, goes there to be deleted.
    void dispose(QNetworkAccessManager *manager) override
    {
        QThread *home = manager->thread();
        if (home && home != QThread::currentThread() && home->isRunning())
            manager->deleteLater();
        else
            delete manager;
    }
};

} // namespace

} // namespace kl::telemetry

extern "C" KORVELTELEMETRYNETWORK_EXPORT kl::telemetry::NetworkAccess *korvelNetworkAccess()
{
    // Never destroyed: the statics of the library that loaded it use it until the end.
    static auto *const access = new kl::telemetry::QtNetworkAccess;
    return access;
}
