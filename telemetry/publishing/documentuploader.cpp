#include "telemetry/publishing/documentuploader.h"

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

} // namespace kl::telemetry
