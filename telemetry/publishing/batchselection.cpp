#include "telemetry/publishing/batchselection_p.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace kl::telemetry {

namespace {

// CouchDB's default max_document_size.
constexpr qint64 kMaxDocumentBytes = 8000000;

// Sent, "_rev" is answered as a conflict although nothing was stored, and "_deleted" stores a
// deletion; only a document without such members makes a conflict mean "stored already".
QString reservedMember(const QJsonObject &object)
{
    const QStringList names = object.keys();
    const auto reserved = std::find_if(names.begin(), names.end(), [](const QString &name) {
        return name.startsWith(QLatin1Char('_')) && name != QLatin1String("_id");
    });
    return reserved == names.end() ? QString() : *reserved;
}

QString unsendableReason(const QString &id, const QString &document)
{
    const QByteArray bytes = document.toUtf8();
    if (bytes.size() > kMaxDocumentBytes)
        return QStringLiteral("larger than the 8 MB that CouchDB accepts in a document");
    const QJsonDocument json = QJsonDocument::fromJson(bytes);
    if (!json.isObject())
        return QStringLiteral("not a JSON object");
    const QJsonObject object = json.object();
    const QJsonValue documentId = object.value(QLatin1String("_id"));
    if (documentId.isUndefined())
        return QStringLiteral("its _id is missing");
    if (documentId.toString() != id)
        return QStringLiteral("its _id differs from its id");
    const QString reserved = reservedMember(object);
    if (!reserved.isEmpty())
        return QStringLiteral("its member %1 has a name that CouchDB reserves").arg(reserved);
    return {};
}

} // namespace

BatchSelection selectSendable(const QStringList &ids, const QStringList &documents)
{
    BatchSelection selection;
    for (int i = 0; i < ids.size(); ++i) {
        const QString reason = unsendableReason(ids.at(i), documents.at(i));
        if (reason.isEmpty()) {
            selection.ids.append(ids.at(i));
            selection.documents.append(documents.at(i));
        } else {
            selection.unsendable.append({ ids.at(i), reason });
        }
    }
    return selection;
}

} // namespace kl::telemetry
