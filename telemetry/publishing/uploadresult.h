#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>

namespace kl::telemetry {

/**
 * What a destination answered to one batch, document by document where it said so.
 *
 * Only the ids in storedIds() are on the server: a document of the batch reported "ok", or
 * "conflict" (a document with that id is there already, which holds because the library sends
 * no document with "_rev"). Entries for ids that were not in the batch are ignored; ids of the
 * batch the answer does not name are neither stored nor refused.
 * \ingroup advanced
 */
class KORVELTELEMETRY_EXPORT UploadResult
{
public:
    /// How the destination answered the batch as a whole.
    enum class Kind {
        /// A 2xx answer with one entry per document it handled; see storedIds() and refused().
        PerDocument,
        /// The whole batch refused for its content (400, 413, 422, a validation 500).
        ContentRefused,
        /// The whole batch refused for missing or wrong credentials (401, 403).
        CredentialsRefused,
        /// No usable answer: connection error, time-out, a reply too large, another status, or
        /// a body that is not a JSON array. Nothing can be concluded about any document.
        Transient,
    };

    /// One document the destination refused, with the server's error and reason.
    struct Refusal
    {
        QString id; ///< the document's "_id"
        QString error; ///< the server's error, for example "forbidden"
        QString reason; ///< the server's explanation, possibly empty
    };

    /// A transient result without status or text.
    UploadResult();
    /// A result of @p kind for an answer with @p httpStatus, with no documents yet.
    UploadResult(Kind kind, int httpStatus, const QString &errorText = QString());

    /// How the batch was answered as a whole.
    Kind kind() const { return m_kind; }
    /// The HTTP status of the answer; 0 when there was none.
    int httpStatus() const { return m_httpStatus; }
    /// What went wrong, for the log: the server's error and reason, or the transfer error.
    QString errorText() const { return m_errorText; }
    /// The ids of the batch that the server holds now, in the order of its answer.
    QStringList storedIds() const { return m_storedIds; }
    /// The documents the server refused one by one, in the order of its answer.
    QVector<Refusal> refused() const { return m_refused; }

    /// Records that the server holds the document @p id.
    void addStored(const QString &id);
    /// Records that the server refused one document.
    void addRefused(const Refusal &refusal);

private:
    Kind m_kind = Kind::Transient;
    int m_httpStatus = 0;
    QString m_errorText;
    QStringList m_storedIds;
    QVector<Refusal> m_refused;
};

} // namespace kl::telemetry

Q_DECLARE_METATYPE(kl::telemetry::UploadResult)
