#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include "testsupport.h"

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

// Long enough on a 2-core machine to see many kills land inside every step of the protocol;
// KORVEL_LOCK_STRESS_SECONDS makes a longer run by hand, or a shorter one.
int stressSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("KORVEL_LOCK_STRESS_SECONDS", &ok);
    return ok ? seconds : 30;
}

constexpr int kProcesses = 4;
// A process that made no progress for this long is stuck on the lock.
constexpr int kWedgeTimeoutMs = 30000;

} // namespace

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void namesAndIds();
    void dispatchToFinishedThreadDropsCallable();
    void lockWithinAProcess();
    void transactionCommitsOnlyWhenMarked_data();
    void transactionCommitsOnlyWhenMarked();
    void processesComingAndGoingNeitherWedgeNorShareTheLock();
};

void TestRuntime::namesAndIds()
{
    QCOMPARE(kDbLockName, "korvel.telemetry.lock.db");
    QCOMPARE(kMainLockName, "korvel.telemetry.lock.global");
    QCOMPARE(getCacheDataBaseLocation(),
             qEnvironmentVariable("XDG_CACHE_HOME") + "/KorvelTelemetry/korvel.db");
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
    QCOMPARE(generateKeyHash(QStringLiteral("l\u00e5s"), "_sharedmemKey"),
             QStringLiteral("c8c0776f1e252bdb5830d9f3bfaeaff5142f6cce"));
    auto first = std::make_unique<SingleExecutor>(kMainLock);
    SingleExecutor second(kMainLock);
    QVERIFY(first->tryToRun());
    QVERIFY(!first->isAnotherRunning());
    QVERIFY(second.isAnotherRunning());
    QVERIFY(!second.tryToRun());
    QVERIFY(SingleExecutor(QString::fromLatin1(kDbLockName)).tryToRun()); // names never mix
    // Other builds of the library meet the lock through Qt's ordinary key derivation.
    QSharedMemory segment(generateKeyHash(kMainLock, QStringLiteral("_sharedmemKey")));
    QVERIFY(segment.attach());
    segment.detach();
    first.reset();
    QVERIFY(second.tryToRun());
    QVERIFY(!second.tryToRun()); // a second try gives the lock up
    QVERIFY(!SingleExecutor(kMainLock).isAnotherRunning());
}

void TestRuntime::transactionCommitsOnlyWhenMarked_data()
{
    QTest::addColumn<bool>("marked");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("rows");
    QTest::addRow("unmarked rolls back") << false << "NULL" << 0;
    QTest::addRow("marked commits") << true << "NULL" << 1;
    // A deferred foreign key fails at COMMIT and leaves the transaction open behind it.
    QTest::addRow("failed commit rolls back") << true << "42" << 0;
}

void TestRuntime::transactionCommitsOnlyWhenMarked()
{
    QFETCH(bool, marked);
    QFETCH(QString, value);
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
        QVERIFY(connection.exec("INSERT INTO child VALUES (" + value + ")"));
        if (marked)
            transaction.markSuccessfull();
    }
    QVERIFY2(db.transaction() && db.rollback(), "the transaction was left open");
    QSqlQuery count(QStringLiteral("SELECT COUNT(*) FROM child"), db);
    QVERIFY(count.next());
    QCOMPARE(count.value(0).toInt(), rows);
}

void TestRuntime::processesComingAndGoingNeitherWedgeNorShareTheLock()
{
    auto *random = QRandomGenerator::global();
    std::vector<std::unique_ptr<QProcess>> running;
    int finished = 0;
    int killed = 0;

    QVERIFY(LockWitness(true).isValid());

    const QDeadlineTimer end(stressSeconds() * 1000);
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    while (!end.hasExpired()) {
        while (running.size() < kProcesses)
            running.push_back(startHelper({ QStringLiteral("churn"), kMainLock,
                                            QString::number(random->bounded(50, 3000)) }));
        QTest::qWait(random->bounded(5, 150));

        auto victim = running.begin() + random->bounded(int(running.size()));
        if ((*victim)->state() == QProcess::Running && random->bounded(3) != 0) {
            (*victim)->kill();
            (*victim)->waitForFinished();
            ++killed;
            running.erase(victim);
        }
        const auto ended = std::partition(running.begin(), running.end(), [](const auto &process) {
            return process->state() != QProcess::NotRunning;
        });
        for (auto it = ended; it != running.end(); ++it) {
            QCOMPARE((*it)->exitStatus(), QProcess::NormalExit);
            QCOMPARE((*it)->readAll().trimmed(), QByteArray("done"));
            ++finished;
            sinceProgress.restart();
        }
        running.erase(ended, running.end());
        QVERIFY2(sinceProgress.elapsed() < kWedgeTimeoutMs,
                 qPrintable(QStringLiteral("no process got through for %1 ms: the lock is wedged")
                                .arg(sinceProgress.elapsed())));
    }

    for (auto &process : running) {
        QVERIFY2(process->waitForFinished(kWedgeTimeoutMs), "a process hung on the lock");
        QCOMPARE(process->readAll().trimmed(), QByteArray("done"));
        ++finished;
    }
    qInfo("%d processes finished, %d killed", finished, killed);
    QVERIFY(finished > 0);
    QVERIFY(killed > 0);

    // Whatever the kills left behind, the next comers take the lock at once.
    auto holder = startHelper({ QStringLiteral("hold"), kMainLock });
    QCOMPARE(readHelperLine(*holder, 5000), QByteArray("held"));
    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished(5000));
    QVERIFY(SingleExecutor(kMainLock).tryToRun());
}

KORVEL_TEST_MAIN(TestRuntime)
#include "tst_runtime.moc"
