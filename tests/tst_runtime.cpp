#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/statementcache_p.h"
#include "telemetry/runtime/tables_p.h"
#include "telemetry/runtime/watchduty_p.h"

#include "testsupport.h"

#include <atomic>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The file whose kernel lock is the lock @p name.
QString lockFileOf(const QString &name)
{
    return QFileInfo(getCacheDataBaseLocation()).absolutePath() + "/korvel_lock_"
        + generateKeyHash(name, "_lockFile");
}

// Whether a new open file of @p path gets its lock at once.
bool canLock(const QString &path)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    const bool locked = fd != -1 && fcntl(fd, F_OFD_SETLK, &lock) == 0;
    close(fd);
    return locked;
}

// How many requests wait in the kernel's queue of the lock of @p path, as /proc/locks lists them:
// "N: -> OFDLCK ADVISORY WRITE -1 MAJOR:MINOR:INODE 0 EOF".
int queuedWaiters(const QString &path)
{
    struct stat info;
    QFile locks(QStringLiteral("/proc/locks"));
    if (stat(QFile::encodeName(path).constData(), &info) != 0 || !locks.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray inode = ':' + QByteArray::number(quint64(info.st_ino)) + ' ';
    int waiters = 0;
    for (const QByteArray &line : locks.readAll().split('\n'))
        waiters += line.contains(" -> ") && line.contains(inode);
    return waiters;
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
    void statementsOfTheEventLoopHardlyWait();
    void statementsKeptPreparedStayUsable();
    void oneConnectionServesThreadsInTurn();
    void processesComingAndGoingNeitherWedgeNorShareTheLock();
    void stoppedOrKilledHolder_data();
    void stoppedOrKilledHolder();
    void watchDutyPassesOnWhenItsHolderEnds();
    void usersNeverMeetEachOthersLocks_data();
    void usersNeverMeetEachOthersLocks();
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
    // Reference digest from an independent SHA-1 implementation (Python's hashlib).
    QCOMPARE(generateKeyHash("a", "bc"),
             QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));
    auto first = std::make_unique<SingleExecutor>(kMainLock);
    SingleExecutor second(kMainLock);
    QVERIFY(first->tryToRun());
    QVERIFY(!first->isAnotherRunning());
    QVERIFY(second.isAnotherRunning());
    QVERIFY(!second.tryToRun());
    QVERIFY(SingleExecutor(QString::fromLatin1(kDbLockName)).tryToRun()); // names never mix
    // Builds of every Qt version meet the lock on one file beside the cache file, the user's own.
    const QString folder = QFileInfo(getCacheDataBaseLocation()).absolutePath();
    const QString lockFile = folder + "/korvel_lock_ae4d6b23f1016bc59590d8de0774e3d7d95db5cf";
    QCOMPARE(lockFileOf(kMainLock), lockFile);
    QVERIFY(!canLock(lockFile));
    QCOMPARE(QFile::permissions(lockFile) & 077, QFileDevice::Permissions());

    // A waiter queued on a file deleted meanwhile holds nothing: it queues on the new file.
    SingleExecutor queued(kMainLock);
    std::atomic<int> outcome { -1 };
    std::unique_ptr<QThread> waiter(QThread::create([&] { outcome = queued.tryToRunFor(30000); }));
    waiter->start();
    QTRY_COMPARE(queuedWaiters(lockFile), 1);
    QVERIFY(QFile::remove(lockFile));
    SingleExecutor newcomer(kMainLock);
    QVERIFY(newcomer.tryToRun());
    first.reset();
    QTRY_COMPARE(queuedWaiters(lockFile), 1);
    QCOMPARE(outcome.load(), -1);
    newcomer.release();
    QVERIFY(waiter->wait(10000));
    QCOMPARE(outcome.load(), 1);
    queued.release();

    // Queued from an event loop without waiting: the lock comes as soon as it is given up, a
    // wait that timed out gets none, and a lock for a thread that has ended goes back.
    QVector<int> answers;
    std::unique_ptr<SingleExecutor> handed;
    const auto answer = [&](int number) {
        return [&, number](std::unique_ptr<SingleExecutor> lock) {
            answers << (lock ? number : -number);
            handed = std::move(lock);
        };
    };
    SingleExecutor holder(kMainLock);
    QVERIFY(holder.tryToRun());
    SingleExecutor::whenFree(kMainLock, QThread::currentThread(), 100, answer(1));
    SingleExecutor::whenFree(kMainLock, QThread::currentThread(), 30000, answer(2));
    QTRY_COMPARE(answers, QVector<int>({ -1 }));
    holder.release();
    QTRY_COMPARE(answers, QVector<int>({ -1, 2 }));
    QVERIFY(!SingleExecutor(kMainLock).tryToRun());
    QVERIFY(holder.tryToRun() == false && handed);
    handed.reset();
    QVERIFY(holder.tryToRun());
    QThread ended;
    ended.start();
    ended.quit();
    QVERIFY(ended.wait());
    SingleExecutor::whenFree(kMainLock, &ended, 30000, answer(3));
    QTRY_COMPARE(queuedWaiters(lockFile), 1);
    const auto takes = [&lockFile] { // counted in the file's first eight bytes
        QFile file(lockFile);
        quint64 count = 0;
        return file.open(QIODevice::ReadOnly) && file.read(reinterpret_cast<char *>(&count), 8)
            ? count
            : 0;
    };
    const quint64 takesBefore = takes();
    holder.release();
    QTRY_COMPARE(takes(), takesBefore + 1);
    QVERIFY(SingleExecutor(kMainLock).tryToRun());
    QCOMPARE(answers.size(), 2);

    QVERIFY(second.tryToRun());
    QVERIFY(!second.tryToRun()); // a second try gives the lock up
    QVERIFY(second.tryToRun()); // and the same instance takes it again, as a waiting flush does
    second.release();
    QVERIFY(!SingleExecutor(kMainLock).isAnotherRunning());

    // Without a directory of the user's own for the lock files every attempt fails, said once.
    QVERIFY(QDir().rename(folder, folder + ".away") && QFile(folder).open(QIODevice::WriteOnly));
    MessageCapture capture;
    QVERIFY(!SingleExecutor(kMainLock).tryToRun());
    QVERIFY(!SingleExecutor(kMainLock).tryToRunFor(10));
    QVERIFY(QFile::remove(folder) && QDir().rename(folder + ".away", folder));
    QVERIFY(SingleExecutor(kMainLock).tryToRun());
    const QString lock = "The lock " + kMainLock + " ";
    QCOMPARE(capture.all(),
             QStringList({ messageLine(QtWarningMsg,
                                       lock + "cannot be taken: " + folder
                                           + " is not a directory of this user's own"),
                           messageLine(QtInfoMsg, lock + "can be taken again") }));
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

// A statement lent out stays usable while more are prepared than the cache keeps, and runs
// again, reset, with new values.
void TestRuntime::statementsKeptPreparedStayUsable()
{
    CacheConnection connection;
    const QSqlDatabase db = connection.database();
    StatementCache cache;
    const auto plusOne = [&](int value) {
        const ReusedQuery query = cache.prepared(db, QStringLiteral("SELECT ? + 1"));
        query->addBindValue(value);
        return query.isPrepared() && query->exec() && query->next() ? query->value(0).toInt() : -1;
    };
    QCOMPARE(plusOne(1), 2);
    {
        const ReusedQuery lent = cache.prepared(db, QStringLiteral("SELECT ? + 1"));
        for (int i = 0; i < 100; ++i) {
            const ReusedQuery other = cache.prepared(db, QStringLiteral("SELECT %1").arg(i));
            QVERIFY(other.isPrepared() && other->exec() && other->next());
            QCOMPARE(other->value(0).toInt(), i);
        }
        lent->addBindValue(41);
        QVERIFY(lent->exec() && lent->next());
        QCOMPARE(lent->value(0).toInt(), 42);
    }
    QCOMPARE(plusOne(2), 3);
    const ReusedQuery failed = cache.prepared(db, QStringLiteral("SELECT FROM nowhere"));
    QVERIFY(!failed.isPrepared());
    QVERIFY(failed->lastError().isValid());
}

// The cache's connection is opened on one thread and used in turn by the pool's flushes, the
// publisher's thread and host calls, never by two at once: Qt's SQLite driver and a SQLite
// built thread-safe allow that. This fails on the Qt or the SQLite that stops allowing it.
void TestRuntime::oneConnectionServesThreadsInTurn()
{
    CacheConnection connection;
    const QSqlDatabase db = connection.database();
    QVERIFY(connection.exec(QStringLiteral("CREATE TABLE turns(n INTEGER)")));
    QSqlQuery options(db);
    QStringList compiledWith;
    for (options.exec(QStringLiteral("PRAGMA compile_options")); options.next();)
        compiledWith << options.value(0).toString();
    QVERIFY2(compiledWith.contains(QStringLiteral("THREADSAFE=1"))
                 || compiledWith.contains(QStringLiteral("THREADSAFE=2")),
             qPrintable(compiledWith.join(' ')));
    MessageCapture messages;
    QMutex turn;
    std::atomic<int> failures { 0 };
    const auto insert = [&](int first) {
        for (int n = first; n < first + 50; ++n) {
            QMutexLocker locker(&turn);
            QSqlQuery query(db);
            query.prepare(QStringLiteral("INSERT INTO turns VALUES (?)"));
            query.addBindValue(n);
            failures += query.exec() ? 0 : 1;
        }
    };
    QThreadPool pool;
    for (int i = 0; i < 4; ++i)
        pool.start([&insert, i] { insert(i * 50); });
    std::unique_ptr<QThread> thread(QThread::create([&insert] { insert(200); }));
    thread->start();
    insert(250);
    pool.waitForDone();
    thread->wait();
    QCOMPARE(failures.load(), 0);
    QSqlQuery count(db);
    QVERIFY(count.exec(QStringLiteral("SELECT COUNT(DISTINCT n) FROM turns")) && count.next());
    QCOMPARE(count.value(0).toInt(), 300);
    QCOMPARE(messages.all(), QStringList());
}

// The busy time-out each use of a connection got, while another client holds the file.
void TestRuntime::statementsOfTheEventLoopHardlyWait()
{
    CacheConnection other;
    QVERIFY(other.exec("CREATE TABLE IF NOT EXISTS t(x)") && other.exec("BEGIN EXCLUSIVE"));
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "waiting");
    db.setDatabaseName(getCacheDataBaseLocation());
    QVERIFY(db.open());
    QMutex mutex;
    const auto use = [&](BusyWait wait) {
        ConnectionLocker locker(&mutex, db, wait);
        QSqlQuery query(db);
        const int timeoutMs
            = query.exec("PRAGMA busy_timeout") && query.next() ? query.value(0).toInt() : -1;
        if (timeoutMs < 1000)
            query.exec("SELECT COUNT(*) FROM t"); // meets the lock
        return timeoutMs;
    };
    QVector<int> inEventLoop;
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&] {
        // Once a wait ran out, the next uses do not wait at all.
        for (const BusyWait wait :
             { BusyWait::BriefOnEventLoop, BusyWait::BriefOnEventLoop, BusyWait::Brief })
            inEventLoop << use(wait);
        loop.quit();
    });
    loop.exec();
    QCOMPARE(inEventLoop, QVector<int>({ 40, 0, 0 }));
    QCOMPARE(use(BusyWait::BriefOnEventLoop), 5000);
    QVERIFY(QTest::qWaitFor([&] { return use(BusyWait::Brief) == 40; }, 5000)); // after 1 s
    QVERIFY(other.exec("COMMIT"));
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("waiting");
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

void TestRuntime::stoppedOrKilledHolder_data()
{
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<bool>("continued"); // else killed
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<bool>("inEventLoop");
    QTest::addColumn<int>("boundMs"); // what the wait may cost
    QTest::addRow("killed: free at once") << false << false << 0 << false << 0;
    QTest::addRow("stopped, then continued") << true << true << 40 << false << 40;
    QTest::addRow("stopped, then killed; waited for in an event loop")
        << true << false << 2000 << true << 50;
}

// A stopped holder costs a wait its bound, no more, and a waiter queued in the kernel gets the
// lock once the holder goes on or dies.
void TestRuntime::stoppedOrKilledHolder()
{
    QFETCH(bool, stopped);
    QFETCH(bool, continued);
    QFETCH(int, waitMs);
    QFETCH(bool, inEventLoop);
    QFETCH(int, boundMs);
    auto holder = startHelper({ QStringLiteral("hold"), kMainLock });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    if (!stopped) {
        holder->kill();
        QVERIFY(holder->waitForFinished());
        QVERIFY(SingleExecutor(kMainLock).tryToRun());
        return;
    }
    QCOMPARE(::kill(pid_t(holder->processId()), SIGSTOP), 0);
    SingleExecutor lock(kMainLock);
    bool taken = true;
    QElapsedTimer waited;
    waited.start();
    if (inEventLoop) {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&] {
            taken = lock.tryToRunFor(waitMs);
            loop.quit();
        });
        loop.exec();
    } else {
        taken = lock.tryToRunFor(waitMs);
    }
    const qint64 elapsedMs = waited.elapsed();
    QVERIFY(!taken);
    QVERIFY2(elapsedMs >= boundMs && elapsedMs < boundMs + 1000,
             qPrintable(QStringLiteral("waited %1 ms").arg(elapsedMs)));

    std::atomic<bool> acquired { false };
    std::unique_ptr<QThread> waiter(
        QThread::create([&] { acquired = SingleExecutor(kMainLock).tryToRunFor(60000); }));
    waiter->start();
    QTRY_COMPARE(queuedWaiters(lockFileOf(kMainLock)), 1);
    if (continued) {
        holder->closeWriteChannel();
        QCOMPARE(::kill(pid_t(holder->processId()), SIGCONT), 0);
    } else {
        holder->kill();
    }
    QTRY_VERIFY(acquired.load());
    QVERIFY(waiter->wait(5000));
}

// One process of a cache is on watch duty at a time; another waits in the kernel's queue of its
// lock, and comes on duty, told once, when the one on it dies. Then it keeps the duty.
void TestRuntime::watchDutyPassesOnWhenItsHolderEnds()
{
    const QString duty = QString::fromLatin1(kWatchLockName);
    std::atomic<int> told { 0 };
    watchDutyTaken().set([&told] { ++told; });
    const auto unset = qScopeGuard([] { watchDutyTaken().set(nullptr); });
    auto holder = startHelper({ QStringLiteral("hold"), duty });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    QVERIFY(!isOnWatchDuty());
    QTRY_COMPARE(queuedWaiters(lockFileOf(duty)), 1);
    QVERIFY(!isOnWatchDuty());
    holder->kill();
    QVERIFY(holder->waitForFinished());
    QTRY_VERIFY(isOnWatchDuty());
    QTRY_COMPARE(told.load(), 1); // told on the waiting thread, just after the duty is taken
    auto refused = startHelper({ QStringLiteral("hold"), duty });
    refused->closeWriteChannel();
    QVERIFY(refused->waitForFinished());
    QCOMPARE(refused->readAll().trimmed(), QByteArray("busy"));
}

void TestRuntime::usersNeverMeetEachOthersLocks_data()
{
    QTest::addColumn<QString>("neighbour");
    QTest::addRow("killed holder") << "killed";
    QTest::addRow("live holder") << "live";
    // System V objects at every key derivable from public facts, files in /tmp and TMPDIR.
    QTest::addRow("squatter") << "squatter";
}

void TestRuntime::usersNeverMeetEachOthersLocks()
{
    QFETCH(QString, neighbour);
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("useradd")).isEmpty())
        QSKIP("Two users of their own need root and useradd");
    // One temp directory for both, world-writable and sticky as /tmp is.
    QTemporaryDir shared(QStringLiteral("/tmp/korvel-users-XXXXXX"));
    // The caches on a file system of their own where there is one: the squatter's objects, keyed
    // from its device, then meet no other program's keys.
    QTemporaryDir caches(QDir("/dev/shm").exists() ? "/dev/shm/korvel-caches-XXXXXX"
                                                   : shared.filePath("caches-XXXXXX"));
    for (const QString &folder : { shared.path(), caches.path() })
        QVERIFY(chmod(QFile::encodeName(folder).constData(), 01777) == 0);
    // A build in a private folder is out of the users' reach: they run a copy.
    const QString programs = shared.filePath(QStringLiteral("programs"));
    const QString helper = QDir().mkdir(programs) ? helperForOtherUsers(programs) : QString();
    if (helper.isEmpty())
        QSKIP("The helper and its libraries cannot be copied where other users reach them");
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const OtherUser userA("korvela" + pid), userB("korvelb" + pid);
    QVERIFY(userA.exists() && userB.exists());
    const QString a = userA.name(), b = userB.name();
    // The helper as that user, with the shared temp directory and a cache of the user's own.
    const auto as = [&](const QString &user, const QStringList &command) {
        const QString cache = "XDG_CACHE_HOME=" + caches.filePath(user);
        return OtherUser::commandAs(user, { cache, "TMPDIR=" + shared.path() }, programs,
                                    QStringList { helper } + command);
    };

    if (neighbour == "squatter") {
        // b's cache directory exists before b's first lock, as after a boot.
        const QString home = caches.filePath(b), folder = home + "/KorvelTelemetry";
        const passwd *owner = getpwnam(qPrintable(b));
        QVERIFY(owner && QDir().mkpath(folder) && chmod(QFile::encodeName(folder), 0700) == 0);
        for (const QString &path : { home, folder })
            QCOMPARE(chown(QFile::encodeName(path), owner->pw_uid, owner->pw_gid), 0);
        auto squatter = startHelper(as(a, { "plant", folder }), "setpriv");
        const auto unplant = qScopeGuard([&] { // what it planted outlives a kill
            squatter->closeWriteChannel();
            squatter->waitForFinished();
        });
        QCOMPARE(readHelperLine(*squatter), QByteArray("planted"));
        QCOMPARE(runHelper(as(b, { "flush" }), "setpriv"), QByteArray("cached"));
        QCOMPARE(runHelper(as(b, { "hold", kMainLock }), "setpriv"), QByteArray("held"));
        return;
    }
    auto holder = startHelper(as(a, { "hold", kMainLock }), "setpriv");
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    if (neighbour == "killed") {
        holder->kill();
        QVERIFY(holder->waitForFinished());
    }
    QCOMPARE(runHelper(as(b, { "flush" }), "setpriv"), QByteArray("cached"));
    if (neighbour == "live") {
        holder->closeWriteChannel();
        QVERIFY(holder->waitForFinished());
    }
}

KORVEL_TEST_MAIN(TestRuntime)
#include "tst_runtime.moc"
