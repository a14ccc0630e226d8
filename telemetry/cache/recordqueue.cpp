#include "telemetry/cache/recordqueue_p.h"

#include <algorithm>

namespace kl::telemetry {

RecordQueue::Rows RecordQueue::takeAll()
{
    Rows rows;
    QMutexLocker locker(&m_mutex);
    m_rows.swap(rows);
    return rows;
}

void RecordQueue::putBack(const Rows &rows)
{
    QMutexLocker locker(&m_mutex);
    m_rows.append(rows);
}

void RecordQueue::dropDestinations(const QList<int> &storageIds)
{
    QMutexLocker locker(&m_mutex);
    m_rows.erase(std::remove_if(m_rows.begin(), m_rows.end(),
                                [&storageIds](const QueuedRow &row) {
                                    return storageIds.contains(row.storageId);
                                }),
                 m_rows.end());
}

void RecordQueue::clear()
{
    QMutexLocker locker(&m_mutex);
    m_rows.resize(0);
}

int RecordQueue::size() const
{
    QMutexLocker locker(&m_mutex);
    return m_rows.size();
}

bool RecordQueue::rekey(const std::function<std::optional<int>(int)> &storageIdInFile, int *dropped)
{
    QMutexLocker locker(&m_mutex);
    QVector<int> ids;
    ids.reserve(m_rows.size());
    for (const QueuedRow &row : qAsConst(m_rows)) {
        const std::optional<int> id = storageIdInFile(row.storageId);
        if (!id)
            return false;
        ids.append(*id);
    }
    Rows rekeyed;
    rekeyed.reserve(m_rows.size());
    for (int i = 0; i < m_rows.size(); ++i) {
        if (ids.at(i) == -1) {
            ++*dropped;
            continue;
        }
        rekeyed.append(m_rows.at(i));
        rekeyed.last().storageId = ids.at(i);
    }
    m_rows.swap(rekeyed);
    return true;
}

} // namespace kl::telemetry
