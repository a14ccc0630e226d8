#pragma once

#include "telemetry/runtime/consent_p.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QVector>

#include <functional>

namespace kl::telemetry {

/// One queued record, in the order of the table's columns. The document stays UTF-8, as the
/// bucket serialised it and as SQLite stores it.
struct QueuedRow
{
    QString id;
    qint64 timestamp = 0;
    int storageId = 0;
    QByteArray record;
    // The user name the record was recorded with; empty without a login.
    QString account;
    // The consent level the record needs (TelemetryConsent::Level).
    int level = kUsageLevel;
};

} // namespace kl::telemetry

// Growing the queue moves rows with a plain reallocation, never one by one under the mutex.
Q_DECLARE_TYPEINFO(kl::telemetry::QueuedRow, Q_MOVABLE_TYPE);

namespace kl::telemetry {

/**
 * The records collected in this process and not yet in the cache file, oldest first. Any
 * thread: recording threads append, a flush on a pool thread takes them all and puts them back
 * when the write failed, host calls count, clear and purge. Every operation holds the queue's
 * mutex for a moment, never across SQL.
 *
 * While flushes cannot write (another process holds the lock, the disk is full) the queue
 * keeps at most bound() rows: each one past it drops the row at the front.
 */
class RecordQueue
{
public:
    using Rows = QVector<QueuedRow>;

    /// Appends @p row; true when it is the first to drop a row since the queue was last taken.
    // In the header: it is all that collect() does, and a call would cost a tenth of it.
    bool append(QueuedRow &&row)
    {
        QMutexLocker locker(&m_mutex);
        m_rows.append(std::move(row));
        return m_bound > 0 && m_rows.size() - m_head > m_bound && dropFront();
    }
    /// The most rows kept; 0 means no bound.
    int bound() const;
    void setBound(int rows);
    /// Rows dropped at the bound since the queue was made.
    qint64 droppedCount() const;
    Rows takeAll();
    /// Puts rows that could not be written behind those collected meanwhile, in their order;
    /// true, as for append(), when that begins to drop rows.
    bool putBack(const Rows &rows);
    void dropDestinations(const QList<int> &storageIds);
    void dropWhere(const std::function<bool(const QueuedRow &)> &unwanted);
    void clear();
    int size() const;

    /// The storage IDs of queued rows that @p known does not map.
    QSet<int> storageIdsOutside(const QHash<int, int> &known) const;
    /**
     * Gives every row the storage ID that @p newIds maps its own to, dropping rows mapped to
     * -1 and counting them in @p dropped. False, with the queue as it was, when a row's ID is
     * not mapped (it was queued since the caller took the IDs).
     */
    bool rekey(const QHash<int, int> &newIds, int *dropped);

private:
    bool dropFront();
    void compact();

    mutable QMutex m_mutex;
    // Rows before m_head are dropped, and removed in one go once they are half the vector.
    Rows m_rows;
    int m_head = 0;
    int m_bound = 10000;
    qint64 m_dropped = 0;
    bool m_dropping = false;
};

} // namespace kl::telemetry
