// The sync row: how often the cache file is synced to the disk per committed flush of a process
// that records steadily, against a connection with SQLite's default journal and sync settings,
// which the cache keeps too, committing the same batches. The program
// counts the syncs itself: it defines fdatasync() and fsync(), and the dynamic linker binds
// SQLite's calls to those of the executable ahead of the C library's.
#include "performance.h"
#include "workers.h"

#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>
#include <QUrl>

#include <atomic>

#include <sys/syscall.h>
#include <unistd.h>

namespace {
std::atomic<int> g_syncs { 0 };
}

extern "C" {
int fdatasync(int fd)
{
    ++g_syncs;
    return int(syscall(SYS_fdatasync, fd));
}

int fsync(int fd)
{
    ++g_syncs;
    return int(syscall(SYS_fsync, fd));
}
}

namespace korvelbench {

namespace {

constexpr int kRecordsPerSecond = 25;
// Counted past the first flushes, which make the file.
constexpr int kWarmUpMs = 3000;
constexpr int kRecordingSeconds = 30;
// Past the last record, for the flush and the publish attempt that follow it.
constexpr int kSettleMs = 8000;

struct Syncs
{
    int syncs = 0;
    int commits = 0;
    double perCommit() const { return commits ? double(syncs) / commits : 0; }
};

// The library's flush cycle, fed at a steady pace for kRecordingSeconds.
Syncs librarySyncs()
{
    const FlushCounts &flushes = countFlushes();
    kl::telemetry::CouchDBBucket bucket;
    bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:1")));
    bucket.setDatabase(QStringLiteral("bench"));
    std::unique_ptr<kl::telemetry::Recorder> recorder = newFivePropertyRecorder();
    recorder->setType(QStringLiteral("bench.sync"));
    recorder->setBucket(&bucket);

    Syncs before;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pace, &QTimer::timeout, [&] { recorder->record(); });
    pace.start(1000 / kRecordsPerSecond);
    QTimer::singleShot(kWarmUpMs, [&] { before = { g_syncs.load(), flushes.wrote.load() }; });
    QTimer::singleShot(kWarmUpMs + kRecordingSeconds * 1000, &pace, &QTimer::stop);
    QTimer::singleShot(kWarmUpMs + kRecordingSeconds * 1000 + kSettleMs, QCoreApplication::quit);
    QCoreApplication::exec();
    recorder->setBucket(nullptr);
    return { g_syncs.load() - before.syncs, flushes.wrote.load() - before.commits };
}

// The same batches through a connection of its own to a file of its own.
Syncs defaultSettingsSyncs(int batches)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("sync"));
    db.setDatabaseName(QDir::temp().filePath(QStringLiteral("defaults.db")));
    QSqlQuery query(db);
    if (!db.open()
        || !query.exec(QStringLiteral("CREATE TABLE telemetry(id BLOB NOT NULL PRIMARY KEY, "
                                      "timestamp INTEGER NOT NULL, storageID INTEGER NOT NULL, "
                                      "recordData TEXT NOT NULL)"))) {
        fail(QStringLiteral("the default-settings file could not be made"));
        return {};
    }
    const QString record(200, QLatin1Char('x'));
    const int syncsBefore = g_syncs.load();
    for (int batch = 0; batch < batches; ++batch) {
        db.transaction();
        query.prepare(QStringLiteral("INSERT INTO telemetry VALUES (?, ?, 1, ?)"));
        for (int row = 0; row < kRecordsPerSecond; ++row) {
            query.addBindValue(QStringLiteral("%1-%2").arg(batch).arg(row));
            query.addBindValue(batch);
            query.addBindValue(record);
            query.exec();
        }
        db.commit();
    }
    return { g_syncs.load() - syncsBefore, batches };
}

} // namespace

void benchSync()
{
    const Syncs library = librarySyncs();
    const Syncs defaults = defaultSettingsSyncs(library.commits);
    if (library.commits == 0 || defaults.syncs == 0) {
        fail(QStringLiteral("no flush committed, or the sync counter saw nothing"));
        return;
    }
    report(QStringLiteral("syncs (`fdatasync`) per committed flush: %1 records/s for %2 s after "
                          "%3 s of start-up, counted until %4 s after the last")
               .arg(kRecordsPerSecond)
               .arg(kRecordingSeconds)
               .arg(kWarmUpMs / 1000)
               .arg(kSettleMs / 1000),
           QStringLiteral("%1 (%2 in %3 flushes)")
               .arg(library.perCommit(), 0, 'f', 2)
               .arg(library.syncs)
               .arg(library.commits),
           QStringLiteral("%1: SQLite's defaults (rollback journal, full sync), same batches")
               .arg(defaults.perCommit(), 0, 'f', 2),
           library.perCommit() / defaults.perCommit());
}

} // namespace korvelbench
