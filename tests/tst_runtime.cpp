#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/tables_p.h"

#include "ipccleanup.h"
#include "testsupport.h"

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

// Whether users other than the owner (and root) can open @p path: a build in a private folder,
// such as /root or one of mktemp -d, is out of their reach.
bool reachableByOthers(const QString &path)
{
    QFileInfo info(QFileInfo(path).canonicalFilePath());
    if (!(info.permissions() & QFileDevice::ReadOther))
        return false;
    for (QDir folder = info.dir(); !folder.isRoot(); folder.cdUp()) {
        if (!(QFile::permissions(folder.path()) & QFileDevice::ExeOther))
            return false;
    }
    return true;
}

// Copies the helper into @p folder with the libraries it loads from places other users cannot
// reach, under the names the loader looks for, which LD_LIBRARY_PATH=folder makes it find first.
// Returns the copy's path; empty when ldd cannot say what it loads, or a copy failed.
QString helperForOtherUsers(const QString &folder)
{
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), { KORVEL_HELPER_PATH });
    if (!ldd.waitForFinished() || ldd.exitStatus() != QProcess::NormalExit || ldd.exitCode() != 0)
        return {};
    QMap<QString, QString> copies { { QStringLiteral("korvelhelper"), KORVEL_HELPER_PATH } };
    const QRegularExpression loaded(QStringLiteral("^\\s*(\\S+) => (\\S+)"),
                                    QRegularExpression::MultilineOption);
    for (auto it = loaded.globalMatch(QString::fromLocal8Bit(ldd.readAllStandardOutput()));
         it.hasNext();) {
        const QRegularExpressionMatch library = it.next();
        if (!reachableByOthers(library.captured(2)))
            copies.insert(library.captured(1), library.captured(2));
    }
    const auto everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
        | QFileDevice::ExeOther;
    if (!QFile::setPermissions(folder, everyone))
        return {};
    for (auto it = copies.cbegin(); it != copies.cend(); ++it) {
        const QString copy = folder + '/' + it.key();
        if (!QFile::copy(it.value(), copy) || !QFile::setPermissions(copy, everyone)
            || !reachableByOthers(copy))
            return {};
    }
    return folder + QStringLiteral("/korvelhelper");
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
    void processesComingAndGoingNeitherWedgeNorShareTheLock();
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
    // Other builds of the library meet the lock by Qt's key file name, beside the cache file.
    const QString folder = QFileInfo(getCacheDataBaseLocation()).absolutePath();
    const QString qtKey = generateKeyHash(kMainLock, QStringLiteral("_sharedmemKey"));
    QSharedMemory segment;
    segment.setNativeKey(folder + '/' + QFileInfo(QSharedMemory(qtKey).nativeKey()).fileName());
    QVERIFY(segment.attach());
    segment.detach();
    first.reset();
    QVERIFY(second.tryToRun());
    QVERIFY(!second.tryToRun()); // a second try gives the lock up
    QVERIFY(second.tryToRun()); // and the same instance takes it again, as a waiting flush does
    second.release();
    QVERIFY(second.tryToRun());
    second.release();
    QVERIFY(!SingleExecutor(kMainLock).isAnotherRunning());

    // Without a directory for the key files every attempt fails, said once.
    QVERIFY(QDir().rename(folder, folder + ".away") && QFile(folder).open(QIODevice::WriteOnly));
    MessageCapture capture;
    QVERIFY(!SingleExecutor(kMainLock).tryToRun());
    QVERIFY(!SingleExecutor(kMainLock).tryToRun());
    QVERIFY(QFile::remove(folder) && QDir().rename(folder + ".away", folder));
    QVERIFY(SingleExecutor(kMainLock).tryToRun());

    // A semaphore of another program at the key ftok() gives the key file, as a Qt program's
    // may have, is not the lock's; one at the lock's own key makes it fail.
    const QString keyFile
        = folder + "/korvel_semaphore_" + generateKeyHash(kMainLock, "_memLockKey");
    const int qtSemaphore = semget(ftok(QFile::encodeName(keyFile), 'Q'), 1, IPC_CREAT | 0600);
    QVERIFY(qtSemaphore != -1);
    QVERIFY(SingleExecutor(kMainLock).tryToRun());
    semctl(qtSemaphore, 0, IPC_RMID);
    QCOMPARE(semctl(semget(semaphoreKey(keyFile), 0, 0), 0, IPC_RMID), 0);
    const int foreign = semget(semaphoreKey(keyFile), 1, IPC_CREAT | 0600);
    QVERIFY(!SingleExecutor(kMainLock).tryToRun());
    semctl(foreign, 0, IPC_RMID);
    QVERIFY(SingleExecutor(kMainLock).tryToRun());
    const QString lock = "The lock " + kMainLock + " ";
    const QString again = lock + "can be taken again";
    QCOMPARE(capture.all(),
             QStringList({ messageLine(QtWarningMsg,
                                       lock + "cannot be taken: " + folder
                                           + " is not a directory of this user's own"),
                           messageLine(QtInfoMsg, again),
                           messageLine(QtWarningMsg,
                                       lock + "cannot be taken: the semaphore of " + keyFile
                                           + " has the key of another program's semaphore"),
                           messageLine(QtInfoMsg, again) }));
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

void TestRuntime::usersNeverMeetEachOthersLocks()
{
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("useradd")).isEmpty())
        QSKIP("Two users of their own need root and useradd");
    // One temp directory for both, world-writable and sticky as /tmp is.
    QTemporaryDir shared(QStringLiteral("/tmp/korvel-users-XXXXXX"));
    QVERIFY(chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
    // A build in a private folder is out of the users' reach: they run a copy.
    const QString programs = shared.filePath(QStringLiteral("programs"));
    const QString helper = QDir().mkdir(programs) ? helperForOtherUsers(programs) : QString();
    if (helper.isEmpty())
        QSKIP("The helper and its libraries cannot be copied where other users reach them");
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const QString a = "korvela" + pid, b = "korvelb" + pid;
    const auto cleanup = qScopeGuard([&] {
        for (const QString &user : { a, b }) {
            removeIpcObjects(shared.filePath(user));
            QProcess::execute("userdel", { user });
        }
    });
    for (const QString &user : { a, b })
        QCOMPARE(QProcess::execute("useradd", { "-M", user }), 0);
    // The helper as that user, with the shared temp directory and a cache of the user's own.
    const auto as = [&](const QString &user, const QStringList &command) {
        const QString cache = "XDG_CACHE_HOME=" + shared.filePath(user);
        return QStringList { "--reuid=" + user, "--regid=" + user, "--init-groups", "env", cache }
        + QStringList { "TMPDIR=" + shared.path(), "LD_LIBRARY_PATH=" + programs, helper }
        + command;
    };

    auto holder = startHelper(as(a, { "hold", kMainLock }), "setpriv");
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    holder->kill();
    QVERIFY(holder->waitForFinished());
    QCOMPARE(runHelper(as(b, { "flush" }), "setpriv"), QByteArray("cached")); // past a dead holder
    holder = startHelper(as(a, { "hold", kMainLock }), "setpriv");
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    QCOMPARE(runHelper(as(b, { "flush" }), "setpriv"), QByteArray("cached")); // beside a live one
    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished());
}

KORVEL_TEST_MAIN(TestRuntime)
#include "tst_runtime.moc"
