#pragma once

#include "stress.h"

#include "testsupport.h"

#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QJsonDocument>
#include <QSqlQuery>
#include <QSqlRecord>

namespace kl::telemetry::stress {

/// One process the controller started, as its output and its end describe it.
struct Run
{
    QString mode, source, problem;
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    int printed = 0, queued = -1, queuedReports = 0, uploads = 0;
    QElapsedTimer sinceUpload;
    bool killed = false, finished = false;
    QStringList messages; // its last lines that were not protocol, newest first
};
using Runs = std::vector<std::unique_ptr<Run>>;

inline QString recordKey(const QString &source, int sequence)
{
    return source + QLatin1Char('/') + QString::number(sequence);
}

// The counts of the table that the ledger adds, in its order.
enum Count {
    Recorded,
    Cached,
    Published,
    Doubled,
    Killed,
    Exited,
    Removed,
    Lost,
    Wrong,
    Misrouted
};

/// Where the records went: the cache, looked at during the run, then the server at the end.
class Ledger
{
public:
    Ledger()
    {
        // Read-only, so that looking never creates a cache file that a fault removed.
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        m_db.setDatabaseName(getCacheDataBaseLocation());
    }
    ~Ledger()
    {
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("observer"));
    }

    /// Notes what the cache holds, under the main lock so that no flush or upload is half-way,
    /// then runs @p removal under the lock too, if the cache holds records: they count as
    /// removed with it. False when the lock was taken, the table unreadable, or nothing removed.
    bool observe(const std::function<void()> &removal = {})
    {
        SingleExecutor lock(QString::fromLatin1(kMainLockName));
        QHash<QString, QString> ids;
        // What goes with the file includes what it set aside.
        if (!lock.tryToRun() || !read(bool(removal), ids) || (removal && ids.isEmpty()))
            return false;
        m_cachedNow = ids.size();
        m_everCached.insert(ids);
        for (auto it = ids.cbegin(); removal && it != ids.cend(); ++it)
            m_removed.insert(it.key());
        if (removal)
            removal();
        return true;
    }

    /// Looks for every record of @p runs on @p server and adds the counts to @p rows; false
    /// when one was lost unexpectedly, is there twice, differs, is in the wrong database, or
    /// the records set aside are not exactly the poison records.
    bool verify(const QString &server, const Runs &runs, QStringList &rows, QStringList &notes)
    {
        QHash<QString, int> onServer, recorded; // record key -> copies; source -> records
        int counts[Misrouted + 1] = {};
        for (const QString &database : { databaseFor(0), databaseFor(1) }) {
            for (const QJsonObject &document : test::couchDbDocuments(server, database)) {
                const QString source = document.value(QLatin1String("source")).toString();
                const int sequence = document.value(QLatin1String("sequence")).toInt();
                const QString key = recordKey(source, sequence), id = document["_id"].toString();
                ++onServer[key];
                counts[Misrouted] += databaseFor(sequence) != database;
                counts[Wrong] += document["payload"] != payloadFor(source, sequence)
                    || m_everCached.value(key, id) != id;
            }
        }
        for (const QString &key : onServer.keys() + m_everCached.keys()) {
            int &count = recorded[key.section(QLatin1Char('/'), 0, 0)];
            count = qMax(count, key.section(QLatin1Char('/'), 1).toInt() + 1);
        }
        // Records in the cache file but not in its main table were set aside.
        QHash<QString, QString> left, queued;
        read(true, left);
        read(false, queued);
        QSet<QString> setAside(left.keyBegin(), left.keyEnd());
        setAside.subtract(QSet<QString>(queued.keyBegin(), queued.keyEnd()));
        for (const auto &run : runs) {
            counts[Recorded] += recorded[run->source] = qMax(run->printed, recorded[run->source]);
            for (int sequence = 0; sequence < recorded[run->source]; ++sequence) {
                const QString key = recordKey(run->source, sequence);
                const int copies = onServer.value(key);
                const bool cached = copies > 0 || m_everCached.contains(key);
                counts[Cached] += cached;
                counts[Published] += copies > 0;
                counts[Doubled] += qMax(0, copies - 1);
                const int lost = copies > 0 || setAside.contains(key) ? -1
                    : !cached && run->killed                          ? Killed
                    : !cached && run->mode == "exit-record"           ? Exited
                    : m_removed.contains(key)                         ? Removed
                                                                      : Lost;
                if (lost >= 0 && counts[lost]++ < 5 && lost == Lost)
                    notes << QStringLiteral("lost: %1 (%2 in the cache), its last lines:\n    %3")
                                 .arg(key, cached ? "seen" : "never", run->messages.join("\n    "));
            }
        }
        const QStringList names
            = QStringLiteral(
                  "records recorded;records that reached the cache;records published;duplicates on "
                  "the "
                  "server;lost, expected: queued in a killed process;lost, expected: queued at "
                  "exit, "
                  "before any flush;lost, expected: in the cache file when it was removed;lost, "
                  "unexpected;content mismatches;misrouted")
                  .split(';');
        for (int i = 0; i < names.size(); ++i)
            rows << names.at(i) + " | " + QString::number(counts[i]);
        const QSet<QString> poisonKept = poison - m_removed;
        rows << QStringLiteral("set aside: poison records / others | %1 of %2 / %3")
                    .arg((setAside & poisonKept).size())
                    .arg(poisonKept.size())
                    .arg((setAside - poisonKept).size());
        return counts[Lost] + counts[Doubled] + counts[Wrong] + counts[Misrouted] == 0
            && setAside == poisonKept;
    }

    int cachedNow() const { return m_cachedNow; }
    int removed() const { return m_removed.size(); }
    QSet<QString> poison;

private:
    // Reads the records (key -> _id) of the main table or of every table, opening the file
    // anew since it may be another by now. False when the file exists but cannot be read.
    bool read(bool everyTable, QHash<QString, QString> &ids)
    {
        bool read = m_db.open();
        for (const QString &table :
             read &&everyTable ? m_db.tables() : QStringList { "telemetry" }) {
            QSqlQuery query(m_db);
            const QString columns = everyTable ? QStringLiteral("*") : QStringLiteral("recordData");
            read = read && query.exec(QStringLiteral("SELECT %1 FROM \"%2\"").arg(columns, table));
            for (int i = 0; query.next(); i = 0) {
                for (; i < query.record().count(); ++i) {
                    const QJsonObject record
                        = QJsonDocument::fromJson(query.value(i).toByteArray()).object();
                    if (record.contains(QLatin1String("source")))
                        ids.insert(
                            recordKey(record["source"].toString(), record["sequence"].toInt()),
                            record["_id"].toString());
                }
            }
        }
        m_db.close();
        return read || !QFile::exists(m_db.databaseName());
    }

    QSqlDatabase m_db
        = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("observer"));
    int m_cachedNow = -1;
    QHash<QString, QString> m_everCached; // record key -> _id
    QSet<QString> m_removed;
};

} // namespace kl::telemetry::stress
