#include "telemetry/publishing/batchnarrowing_p.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace kl::telemetry {

namespace {

QString describe(const QString &error, const QString &reason)
{
    return reason.isEmpty() ? error : error + QLatin1String(": ") + reason;
}

} // namespace

void BatchNarrowing::trim(int storageId, QStringList &ids, QStringList &documents) const
{
    const int size = m_destinations.value(storageId).batchSize;
    if (ids.size() <= size)
        return;
    ids.erase(ids.begin() + size, ids.end());
    documents.erase(documents.begin() + size, documents.end());
}

BatchVerdict BatchNarrowing::judge(int storageId, const QStringList &sentIds,
                                   const UploadResult &result)
{
    BatchVerdict verdict;
    switch (result.kind()) {
    case UploadResult::Kind::Transient:
    case UploadResult::Kind::CredentialsRefused:
        break;
    case UploadResult::Kind::ContentRefused:
        judgeContentRefusal(m_destinations[storageId], sentIds, result, verdict);
        break;
    case UploadResult::Kind::PerDocument:
        judgePerDocument(m_destinations[storageId], sentIds, result, verdict);
        break;
    }
    verdict.kept = sentIds.size() - verdict.stored.size() - verdict.setAside.size();
    return verdict;
}

void BatchNarrowing::judgeContentRefusal(Destination &destination, const QStringList &sentIds,
                                         const UploadResult &result, BatchVerdict &verdict)
{
    verdict.firstError = result.errorText();
    if (sentIds.size() > 1)
        destination.batchSize = sentIds.size() / 2;
    else if (sentIds.size() == 1)
        countSoloRefusal(destination, sentIds.first(), result.errorText(), verdict);
}

void BatchNarrowing::judgePerDocument(Destination &destination, const QStringList &sentIds,
                                      const UploadResult &result, BatchVerdict &verdict)
{
    // Only what was sent can be deleted, whatever else the answer names.
    const QStringList reported = result.storedIds();
    const QSet<QString> stored(reported.begin(), reported.end());
    for (const QString &id : sentIds) {
        if (stored.contains(id)) {
            verdict.stored.append(id);
            destination.soloRefusals.remove(id);
        }
    }

    const QSet<QString> sent(sentIds.begin(), sentIds.end());
    for (const UploadResult::Refusal &refusal : result.refused()) {
        if (!sent.contains(refusal.id) || stored.contains(refusal.id))
            continue;
        const QString reason = describe(refusal.error, refusal.reason);
        if (verdict.firstError.isEmpty())
            verdict.firstError = reason;
        // Credentials concern every record alike; the record itself is not at fault.
        if (refusal.error != QLatin1String("unauthorized"))
            countSoloRefusal(destination, refusal.id, reason, verdict);
    }
    if (verdict.firstError.isEmpty() && verdict.stored.size() < sentIds.size())
        verdict.firstError = QStringLiteral("not named in the answer");

    // A batch stored whole doubles the next one, back up to a full batch: the halving has
    // passed the refused record, or the batch had merely been too large.
    if (verdict.stored.size() == sentIds.size())
        destination.batchSize = qMin(kBatchSize, 2 * destination.batchSize);
}

bool BatchNarrowing::isNarrowing(int storageId) const
{
    const int size = m_destinations.value(storageId).batchSize;
    return size > 1 && size < kBatchSize;
}

QByteArray BatchNarrowing::state(int storageId) const
{
    const Destination destination = m_destinations.value(storageId);
    if (destination.batchSize == kBatchSize && destination.soloRefusals.isEmpty())
        return {};
    QJsonObject refusals;
    for (auto refusal = destination.soloRefusals.cbegin();
         refusal != destination.soloRefusals.cend(); ++refusal)
        refusals.insert(refusal.key(), refusal.value());
    const QJsonObject object { { QLatin1String("batchSize"), destination.batchSize },
                               { QLatin1String("refusals"), refusals } };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void BatchNarrowing::restore(int storageId, const QByteArray &state)
{
    const QJsonObject object = QJsonDocument::fromJson(state).object();
    Destination destination;
    destination.batchSize
        = qBound(1, object.value(QLatin1String("batchSize")).toInt(kBatchSize), kBatchSize);
    const QJsonObject refusals = object.value(QLatin1String("refusals")).toObject();
    for (auto refusal = refusals.constBegin(); refusal != refusals.constEnd(); ++refusal)
        destination.soloRefusals.insert(refusal.key(), refusal.value().toInt());
    m_destinations.insert(storageId, destination);
}

void BatchNarrowing::countSoloRefusal(Destination &destination, const QString &id,
                                      const QString &reason, BatchVerdict &verdict)
{
    int &count = destination.soloRefusals[id];
    if (++count < kSoloRefusalsToSetAside)
        return;
    destination.soloRefusals.remove(id);
    destination.batchSize = kBatchSize;
    verdict.setAside.append({ id, reason });
}

} // namespace kl::telemetry
