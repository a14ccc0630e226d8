#include "telemetry/cache/recordqueue_p.h"
#include "telemetry/runtime/cachefile_p.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace kl::telemetry {

namespace {

// The registry answers a failure with -1, and hands out IDs below it as provisional ones.

} // namespace

// With the mutex held; true when this drop begins a run of them.
bool RecordQueue::dropFront()
{
    m_rows[m_head++] = QueuedRow();
    ++m_dropped;
    if (m_head > m_rows.size() / 2)
        compact();
    return !std::exchange(m_dropping, true);
}

// With the mutex held.
void RecordQueue::compact()
{
    m_rows.erase(m_rows.begin(), m_rows.begin() + m_head);
    m_head = 0;
}

int RecordQueue::bound() const
{
    QMutexLocker locker(&m_mutex);
    return m_bound;
}

void RecordQueue::setBound(int rows)
{
    QMutexLocker locker(&m_mutex);
    m_bound = qMax(0, rows);
}

qint64 RecordQueue::droppedCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_dropped;
}

// A row queued under a provisional storage ID after the flush re-keyed the queue stays for the
// next one: its ID names no destination in the file.
RecordQueue::Rows RecordQueue::takeAll()
{
    Rows rows;
    QMutexLocker locker(&m_mutex);
    compact();
    m_rows.swap(rows);
    m_dropping = false;
    const auto provisional = [](const QueuedRow &row) { return row.storageId < kNoStorageId; };
    if (std::any_of(rows.cbegin(), rows.cend(), provisional)) {
        std::copy_if(rows.cbegin(), rows.cend(), std::back_inserter(m_rows), provisional);
        rows.erase(std::remove_if(rows.begin(), rows.end(), provisional), rows.end());
    }
    return rows;
}

// Rows that come back beyond the bound are dropped as new ones would be, from the front.
bool RecordQueue::putBack(const Rows &rows)
{
    QMutexLocker locker(&m_mutex);
    m_rows.append(rows);
    bool began = false;
    while (m_bound > 0 && m_rows.size() - m_head > m_bound)
        began = dropFront() || began;
    return began;
}

void RecordQueue::dropDestinations(const QList<int> &storageIds)
{
    dropWhere([&storageIds](const QueuedRow &row) { return storageIds.contains(row.storageId); });
}

void RecordQueue::dropWhere(const std::function<bool(const QueuedRow &)> &unwanted)
{
    QMutexLocker locker(&m_mutex);
    compact();
    m_rows.erase(std::remove_if(m_rows.begin(), m_rows.end(), unwanted), m_rows.end());
}

void RecordQueue::clear()
{
    QMutexLocker locker(&m_mutex);
    m_rows.resize(0);
    m_head = 0;
}

int RecordQueue::size() const
{
    QMutexLocker locker(&m_mutex);
    return m_rows.size() - m_head;
}

QSet<int> RecordQueue::storageIdsOutside(const QHash<int, int> &known) const
{
    QSet<int> ids;
    QMutexLocker locker(&m_mutex);
    for (int row = m_head; row < m_rows.size(); ++row) {
        if (!known.contains(m_rows.at(row).storageId))
            ids.insert(m_rows.at(row).storageId);
    }
    return ids;
}

bool RecordQueue::rekey(const QHash<int, int> &newIds, int *dropped)
{
    QMutexLocker locker(&m_mutex);
    compact();
    const auto unmapped
        = [&newIds](const QueuedRow &row) { return !newIds.contains(row.storageId); };
    if (std::any_of(m_rows.cbegin(), m_rows.cend(), unmapped))
        return false;
    Rows rekeyed;
    rekeyed.reserve(m_rows.size());
    for (const QueuedRow &row : qAsConst(m_rows)) {
        const int id = newIds.value(row.storageId);
        if (id == -1) {
            ++*dropped;
            continue;
        }
        rekeyed.append(row);
        rekeyed.last().storageId = id;
    }
    m_rows.swap(rekeyed);
    return true;
}

} // namespace kl::telemetry
