#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"

#include "testsupport.h"

#include <QRegularExpression>
#include <QSqlQuery>
#include <QThreadPool>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

struct SlowToBuild
{
    SlowToBuild()
    {
        constructions.fetchAndAddRelaxed(1);
        QThread::msleep(50);
    }
    static QAtomicInt constructions;
};
QAtomicInt SlowToBuild::constructions;

const QString kMainLock = QString::fromLatin1(kMainLockName);

} // namespace

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void constantsLocationAndIds();
    void singletonFromManyThreads();
    void dispatchRunsLaterOnTheTargetThread();
    void dispatchToFinishedThreadDropsCallable();
    void lockWithinAProcess();
    void lockAcrossProcesses();
    void transactionCommitsOnlyWhenMarked_data();
    void transactionCommitsOnlyWhenMarked();
};

void TestRuntime::constantsLocationAndIds()
{
    QCOMPARE(kDbFileName, "korvel.db");
    QCOMPARE(kCacheDirectoryName, "KorvelTelemetry");
    QCOMPARE(kDbLockName, "korvel.telemetry.lock.db");
    QCOMPARE(kMainLockName, "korvel.telemetry.lock.global");
    QCOMPARE(DataTransferFrequency, 10000);
    QCOMPARE(lcTelemetry().categoryName(), "korvel.telemetry");
    QVERIFY(!lcTelemetry().isDebugEnabled() && lcTelemetry().isInfoEnabled());
    const QString location = qEnvironmentVariable("XDG_CACHE_HOME") + "/KorvelTelemetry/korvel.db";
    QCOMPARE(getCacheDataBaseLocation(), location);
    QVERIFY(QFileInfo(location).dir().exists());

    // About one id in 32 encodes to a leading "-" or "_", so this many exercise the repair.
    const QRegularExpression shape("^[A-Za-z0-9][A-Za-z0-9_-]{7}[QRST][A-Za-z0-9_-]{7}$");
    QSet<QString> seen;
    for (int i = 0; i < 20000; ++i) {
        const QString id = generateUniqueId();
        QVERIFY2(shape.match(id).hasMatch(), qPrintable(id));
        seen.insert(id);
    }
    QCOMPARE(seen.size(), 20000);
}

void TestRuntime::singletonFromManyThreads()
{
    QVector<SlowToBuild *> seen(8);
    QVector<QThread *> threads;
    for (int i = 0; i < seen.size(); ++i)
        threads << QThread::create([&seen, i] { seen[i] = Singleton<SlowToBuild>::getInstance(); });
    for (QThread *thread : threads)
        thread->start();
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(5000));
        delete thread;
    }
    QCOMPARE(SlowToBuild::constructions.loadRelaxed(), 1);
    QCOMPARE(seen.count(seen.first()), seen.size());
}

// From a pool thread, which has no event loop, to this one; the timer, and with it the callable,
// is freed once it fired.
void TestRuntime::dispatchRunsLaterOnTheTargetThread()
{
    QThread *target = QThread::currentThread();
    QThread *ranOn = nullptr;
    qint64 ranAfter = -1;
    auto witness = std::make_shared<QElapsedTimer>();
    auto dispatch = [&] {
        witness->start();
        dispatchToThread(target, 200, [&, witness] {
            ranOn = QThread::currentThread();
            ranAfter = witness->elapsed();
        });
    };
    QThreadPool::globalInstance()->start(new Task<decltype(dispatch)>(dispatch));
    QTRY_COMPARE(ranOn, target);
    QVERIFY2(ranAfter >= 200, qPrintable(QString::number(ranAfter)));
    QTRY_COMPARE(witness.use_count(), 1L);

    bool ran = false; // a zero delay still waits for the event loop
    dispatchToThread(target, 0, [&ran] { ran = true; });
    QVERIFY(!ran);
    QTRY_VERIFY(ran);
}

void TestRuntime::dispatchToFinishedThreadDropsCallable()
{
    QThread finished;
    finished.start();
    finished.quit();
    QVERIFY(finished.wait());
    auto witness = std::make_shared<int>(0);
    dispatchToThread(&finished, 0, [witness] { ++*witness; });
    QCOMPARE(witness.use_count(), 1L);
}

void TestRuntime::lockWithinAProcess()
{
    // Reference digests from an independent SHA-1 implementation (Python's hashlib).
    QCOMPARE(generateKeyHash("a", "bc"),
             QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));
    QCOMPARE(generateKeyHash(kMainLock, "_memLockKey"),
             QStringLiteral("3f8b57975dab96a19664099f8e14c044f9c7fa34"));
    QCOMPARE(generateKeyHash(QStringLiteral("l\u00e5s"), "_sharedmemKey"),
             QStringLiteral("c8c0776f1e252bdb5830d9f3bfaeaff5142f6cce"));
    auto first = std::make_unique<SingleExecutor>(kMainLock);
    SingleExecutor second(kMainLock);
    QVERIFY(first->tryToRun());
    QVERIFY(!first->isAnotherRunning());
    QVERIFY(second.isAnotherRunning());
    QVERIFY(!second.tryToRun());
    QVERIFY(SingleExecutor(QString::fromLatin1(kDbLockName)).tryToRun()); // names never mix
    SingleExecutor(kMainLock).release(); // a free executor gives nothing up
    QVERIFY(SingleExecutor(kMainLock).isAnotherRunning());
    // Other builds of the library meet the lock through Qt's ordinary key derivation.
    QSharedMemory segment(generateKeyHash(kMainLock, QStringLiteral("_sharedmemKey")));
    QVERIFY(segment.attach());
    QCOMPARE(segment.size(), 8);
    segment.detach();

    first.reset();
    QVERIFY(second.tryToRun());
    QVERIFY(!second.tryToRun()); // a second try gives the lock up
    QVERIFY(!SingleExecutor(kMainLock).isAnotherRunning());
    SingleExecutor holder(kMainLock), other(QStringLiteral("other"));
    QVERIFY(holder.tryToRun());
    holder.swap(other); // now other holds the main lock, holder is a free executor of "other"
    QVERIFY(!other.isAnotherRunning());
    QVERIFY(holder.tryToRun());
    other.release();
    QVERIFY(!SingleExecutor(kMainLock).isAnotherRunning());
}

void TestRuntime::lockAcrossProcesses()
{
    auto holder = startHelper({ "hold", kMainLock });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    QVERIFY(SingleExecutor(kMainLock).isAnotherRunning());
    QVERIFY(!SingleExecutor(kMainLock).tryToRun());
    // The killed holder's segment survives it; the next executor made clears it.
    holder->kill();
    QVERIFY(holder->waitForFinished());
    SingleExecutor executor(kMainLock);
    QVERIFY(executor.tryToRun());

    QCOMPARE(runHelper({ "hold", kMainLock }), QByteArray("busy"));
    executor.release();
    QCOMPARE(runHelper({ "hold", kMainLock }), QByteArray("held"));
}

void TestRuntime::transactionCommitsOnlyWhenMarked_data()
{
    QTest::addColumn<bool>("marked");
    QTest::addColumn<QString>("insert");
    QTest::addColumn<int>("rows");
    QTest::addRow("unmarked rolls back") << false << "INSERT INTO child VALUES (NULL)" << 0;
    QTest::addRow("marked commits") << true << "INSERT INTO child VALUES (NULL)" << 1;
    // A deferred foreign key fails at COMMIT and leaves the transaction open behind it.
    QTest::addRow("failed commit rolls back") << true << "INSERT INTO child VALUES (42)" << 0;
}

void TestRuntime::transactionCommitsOnlyWhenMarked()
{
    QFETCH(bool, marked);
    QFETCH(QString, insert);
    QFETCH(int, rows);
    CacheConnection connection;
    QSqlDatabase db = connection.database();
    QVERIFY(connection.exec("PRAGMA foreign_keys = ON"));
    QVERIFY(connection.exec("CREATE TABLE IF NOT EXISTS parent(id INTEGER PRIMARY KEY)"));
    QVERIFY(connection.exec("CREATE TABLE IF NOT EXISTS child(p INTEGER REFERENCES parent(id) "
                            "DEFERRABLE INITIALLY DEFERRED)"));
    QVERIFY(connection.exec("DELETE FROM child"));
    {
        RaiiTransaction transaction(db);
        QVERIFY(transaction.open());
        QVERIFY(connection.exec(insert));
        if (marked)
            transaction.markSuccessfull();
    }
    QVERIFY2(db.transaction(), "the transaction was left open");
    QVERIFY(db.rollback());
    QSqlQuery count(QStringLiteral("SELECT COUNT(*) FROM child"), db);
    QVERIFY(count.next());
    QCOMPARE(count.value(0).toInt(), rows);
}

KORVEL_TEST_MAIN(TestRuntime)
#include "tst_runtime.moc"
