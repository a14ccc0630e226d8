#pragma once

#include "telemetry/publishing/uploadresult.h"
#include "telemetry/runtime/cachefile_p.h"

#include <QHash>
#include <QStringList>
#include <QVector>

namespace kl::telemetry {

/// What to do with the records of one batch once its answer is in.
struct BatchVerdict
{
    struct SetAside
    {
        QString id;
        QString reason; ///< the destination's error and reason, as it gave them
    };

    /// On the server now: delete them from the cache.
    QStringList stored;
    /// Refused on their own too often: move them out of their destination's way.
    QVector<SetAside> setAside;
    /// Neither stored nor set aside: they stay cached and are sent again.
    int kept = 0;
    /// The first error the destination gave for this batch's records; empty when all went
    /// well or the batch failed as a whole (credentials refused, or transient), which the
    /// publisher's back-off tells.
    QString firstError;
};

/**
 * Keeps one record that a destination refuses from blocking everything behind it.
 *
 * A batch refused as a whole for its content is halved on the following attempts until the
 * refused record is sent alone, and each batch stored whole doubles the next one, up to a full
 * batch. A record refused on its own (alone in a refused batch, or by its own entry in the
 * answer) kSoloRefusalsToSetAside times running is set aside. Transient failures and refusals
 * for credentials change nothing.
 */
class BatchNarrowing
{
public:
    static constexpr int kSoloRefusalsToSetAside = 3;

    /// Drops from the oldest-first @p ids and @p documents what this destination's next batch
    /// does not take.
    void trim(int storageId, QStringList &ids, QStringList &documents) const;

    /// Judges the answer @p result to the batch @p sentIds of @p storageId, and narrows or
    /// widens that destination's next batches accordingly.
    BatchVerdict judge(int storageId, const QStringList &sentIds, const UploadResult &result);

    /// True while the batches of @p storageId are narrowed toward a refused record, and not
    /// yet down to that record alone.
    bool isNarrowing(int storageId) const;

    /// The progress for @p storageId as text, empty when there is none to keep, so that
    /// another process, or the next run, goes on from it through restore().
    QByteArray state(int storageId) const;
    void restore(int storageId, const QByteArray &state);

private:
    struct Destination
    {
        int batchSize = kBatchSize;
        QHash<QString, int> soloRefusals;
    };

    void judgeContentRefusal(Destination &destination, const QStringList &sentIds,
                             const UploadResult &result, BatchVerdict &verdict);
    void judgePerDocument(Destination &destination, const QStringList &sentIds,
                          const UploadResult &result, BatchVerdict &verdict);
    static void countSoloRefusal(Destination &destination, const QString &id, const QString &reason,
                                 BatchVerdict &verdict);

    QHash<int, Destination> m_destinations;
};

} // namespace kl::telemetry
