#include "telemetry/publishing/batchselection_p.h"

#include "telemetry/publishing/jsonoutline_p.h"

namespace kl::telemetry {

namespace {

// CouchDB's default max_document_size.
constexpr qint64 kMaxDocumentBytes = 8000000;

// What Qt's toUtf8() would make of @p text, without making it.
qint64 utf8Size(QStringView text)
{
    qint64 bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool pair = QChar::isHighSurrogate(c) && i + 1 < text.size()
            && QChar::isLowSurrogate(text[i + 1].unicode());
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : pair ? 4 : 3;
        i += pair ? 1 : 0;
    }
    return bytes;
}

// Sent, "_rev" is answered as a conflict although nothing was stored, and "_deleted" stores a
// deletion; only a document without such members makes a conflict mean "stored already".
QString unsendableReason(const QString &id, const QString &document)
{
    if (utf8Size(document) > kMaxDocumentBytes)
        return QStringLiteral("larger than the 8 MB that CouchDB accepts in a document");
    const JsonOutline outline = outlineJson(document);
    if (!outline.isObject)
        return QStringLiteral("not a JSON object");
    if (!outline.hasId)
        return QStringLiteral("its _id is missing");
    if (outline.id != id)
        return QStringLiteral("its _id differs from its id");
    if (!outline.reservedMember.isEmpty())
        return QStringLiteral("its member %1 has a name that CouchDB reserves")
            .arg(outline.reservedMember);
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
