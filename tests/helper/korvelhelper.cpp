// A second process for the cross-process tests. It speaks on stdout, one word per line:
//   hold NAME          take the lock, print "held" or "busy", keep it until stdin closes
//   churn NAME COUNT   take and give up the lock COUNT times, print "done", or "overlap" and
//                      exit 3 as soon as another process is found holding it at the same time
//   collect-exit COUNT DELAY ORDER [withdraw-at-exit|unwritable-at-exit]
//                      start the collector, queue COUNT rows, quit DELAY ms later; ORDER
//                      "pool-last" makes the thread pool outlive the collector at exit; with
//                      "withdraw-at-exit" consent is withdrawn 500 ms into the exit; with
//                      "unwritable-at-exit" a directory replaces the cache file as it quits;
//                      prints the log as "road" does
//   deleted-thread [busy]
//                      start the library on a thread, delete it once it has finished,
//                      attempt a publish, queue a row and exit once the cycle has cached it
//                      (exit code 1 after 5 s); prints the log as "road" does. With "busy"
//                      the thread ends while a flush waits for another client's transaction
//   road SERVER DATABASE
//                      start the library through a Recorder, its publisher idle, and print
//                      each of its log lines as "<level>: <text>"; on "record N" record N
//                      metrics, on "host ID" queue a row under that storage ID, as a host
//                      that gives IDs itself, and print "recorded"; quit when stdin closes
//   start-disabled     record while telemetry is disabled, print "file" or "no-file" for the
//                      cache past the first flush, then record two enabled and exit at once
//   start-idle         make a Recorder that records nothing, print "file" or "no-file" as
//                      start-disabled does
//   purge-disabled DATABASE
//                      start with telemetry disabled and purge that destination of
//                      http://127.0.0.1:9; print "purged" or "refused"
//   quit-uploading [main-thread]
//                      cache two records, start an upload to a server that never answers,
//                      queue three more and quit while the upload is out; print "prompt",
//                      or "waited" when the exit flush waited 3 s; with "main-thread", the
//                      publisher runs on the application's thread
//   plant DIR          as another user would: make System V semaphore sets and segments at
//                      every key a program could derive from the device and inode numbers of
//                      DIR and of files made in it soon after, and files in /tmp and TMPDIR
//                      under the names of the library's locks; print "planted", remove them all
//                      when stdin closes
//   storage-id SERVER DATABASE...
//                      print the storage ID of each destination, one a line
//   flush              queue a record and print "cached" once a flush of the collector's own
//                      chain has written it, or "stalled" after 10 s
//   consent APPLICATION
//                      make a TelemetryConsent of APPLICATION, print its level ("undecided" or
//                      the number) and again whenever it changes; on "decide L" decide level L
//                      and print "stored" or "unstored"; on "reset" forget the decision; on
//                      "record L N" record N metrics of level L and print "recorded"; on
//                      "queued" flush and print "queued <rows left>"; quit when stdin closes
//   early-recorder     make a Recorder and record twice before the application exists, then
//                      record twice and quit at once; print every log line as "road" does
#include "testsupport.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/facts/contextrecorder.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/recording/telemetryconsent.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <iostream>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kl::telemetry;

namespace {

void say(const char *word)
{
    std::cout << word << std::endl;
}

// Lives as long as the application, as the objects of a host's QML scene do.
CouchDBBucket *bucket(const QString &server, const QString &database)
{
    CouchDBBucket *bucket = test::makeBucket(server, database).release();
    bucket->setParent(qApp);
    return bucket;
}

Recorder *recorder(const QString &type, CouchDBBucket *bucket)
{
    auto *recorder = new Recorder(qApp);
    recorder->setType(type);
    recorder->setBucket(bucket);
    return recorder;
}

int hold(const QStringList &args)
{
    SingleExecutor executor(args.value(0));
    const bool held = executor.tryToRun();
    say(held ? "held" : "busy");
    for (std::string line; std::getline(std::cin, line);) { }
    return held ? 0 : 1;
}

// The keys of files near @p directory: ftok()'s, and a hash of the device and the full inode.
QVector<key_t> derivableKeys(const QString &directory)
{
    constexpr int kInodesAround = 256;
    struct stat info;
    if (stat(QFile::encodeName(directory).constData(), &info) != 0)
        return {};
    QVector<key_t> keys;
    const ino_t first = info.st_ino > kInodesAround ? info.st_ino - kInodesAround : 1;
    for (ino_t inode = first; inode <= info.st_ino + kInodesAround; ++inode) {
        keys << key_t(('Q' << 24) | ((info.st_dev & 0xff) << 16) | (inode & 0xffff));
        const QByteArray identity = "korvel:" + QByteArray::number(quint64(info.st_dev)) + ':'
            + QByteArray::number(quint64(inode));
        const QByteArray hash = QCryptographicHash::hash(identity, QCryptographicHash::Sha1);
        keys << key_t(qFromBigEndian<quint32>(hash.constData()) & 0x7fffffff);
    }
    return keys;
}

int plant(const QStringList &args)
{
    QVector<int> semaphores, segments;
    for (const key_t key : derivableKeys(args.value(0))) {
        semaphores << semget(key, 2, IPC_CREAT | IPC_EXCL | 0600);
        segments << shmget(key, 8, IPC_CREAT | IPC_EXCL | 0600);
    }
    QStringList files;
    for (const QString &folder : { QStringLiteral("/tmp"), QDir::tempPath() }) {
        for (const char *name : { kMainLockName, kDbLockName }) {
            QFile file(folder + "/korvel_lock_" + generateKeyHash(name, "_lockFile"));
            if (file.open(QIODevice::NewOnly))
                files << file.fileName();
        }
    }
    say(semaphores.count(-1) + segments.count(-1) < semaphores.size() ? "planted" : "refused");
    for (std::string line; std::getline(std::cin, line);) { }
    for (const int id : semaphores)
        semctl(id, 0, IPC_RMID);
    for (const int id : segments)
        shmctl(id, IPC_RMID, nullptr);
    for (const QString &file : files)
        QFile::remove(file);
    return 0;
}

// Mimics the library's own pattern: a fresh executor for every flush or publish attempt,
// held for a moment, so that a kill can land in any step of the protocol.
int churn(const QStringList &args)
{
    const int count = args.value(1).toInt();
    test::LockWitness witness;
    if (!witness.isValid())
        return 2;
    auto *random = QRandomGenerator::global();
    for (int i = 0; i < count; ++i) {
        SingleExecutor executor(args.value(0));
        if (random->bounded(4) == 0)
            executor.isAnotherRunning();
        const bool held = random->bounded(2) == 0 ? executor.tryToRun()
                                                  : executor.tryToRunFor(random->bounded(20));
        if (!held)
            continue;
        if (!witness.enter()) {
            say("overlap");
            return 3;
        }
        QThread::usleep(random->bounded(500));
        witness.leave();
    }
    say("done");
    return 0;
}

QBasicMutex s_outputMutex;

void printLibraryMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QMutexLocker locker(&s_outputMutex); // flushes log from pool threads
    (qstrcmp(context.category, "korvel.telemetry") == 0 ? std::cout : std::cerr)
        << qPrintable(test::messageLine(type, text)) << std::endl;
}

// Static destruction runs while a flush may be queued or running; statics die in reverse
// order of construction, so touching the pool first makes it outlive the collector.
int collectAndExit(const QStringList &args)
{
    qInstallMessageHandler(&printLibraryMessage);
    const int count = args.value(0).toInt();
    if (args.value(2) == QLatin1String("pool-last"))
        QThreadPool::globalInstance();
    DataCollector *collector = currentDataCollector();
    collector->initialize();
    const QString record = QStringLiteral("{\"type\":\"exit\",\"value\":%1}");
    for (int i = 0; i < count; ++i)
        collector->collect(generateUniqueId(), QDateTime::currentMSecsSinceEpoch(), 1,
                           record.arg(i));
    // Consent withdrawn on another thread while the exit flush waits for the lock.
    std::unique_ptr<QThread> withdrawal(QThread::create([] {
        QThread::msleep(500);
        TelemetryPolicy::setEnabled(false);
    }));
    QTimer::singleShot(args.value(1).toInt(), qApp, [&withdrawal, &args] {
        if (args.value(3) == QLatin1String("withdraw-at-exit"))
            withdrawal->start();
        if (args.value(3) == QLatin1String("unwritable-at-exit")) {
            QFile::remove(getCacheDataBaseLocation());
            QDir().mkpath(getCacheDataBaseLocation());
        }
        qApp->quit();
    });
    const int code = qApp->exec();
    withdrawal->wait();
    return code;
}

// Qt's usual wiring deletes a thread once it has finished; the library keeps scheduling
// onto the thread that started it, so it must notice the thread is gone and flush on. With
// "busy", the thread ends while a flush waits for another SQLite client's write transaction,
// which outlasts that wait.
int deletedThread(const QStringList &args)
{
    qInstallMessageHandler(&printLibraryMessage);
    const bool busy = args.contains(QStringLiteral("busy"));
    Publisher *publisher = currentPublisher();
    DataCollector *collector = currentDataCollector();
    auto *thread = new QThread;
    QObject starter;
    starter.moveToThread(thread);
    thread->start();
    QMetaObject::invokeMethod(
        &starter,
        [publisher, collector] {
            collector->initialize();
            currentBackends()->initialize();
            publisher->initialize();
        },
        Qt::BlockingQueuedConnection);
    test::CacheConnection other;
    if (busy) {
        other.exec(QStringLiteral("BEGIN IMMEDIATE"));
        collector->collect(generateUniqueId(), 1, 1, QStringLiteral("{}"));
        if (!QTest::qWaitFor([collector] { return collector->getQueuedElementsCount() == 0; }))
            return 1;
    }
    thread->quit();
    thread->wait();
    delete thread;
    if (busy) {
        // The flush gives up on the file, requeues its row and times its successor onto the
        // ended thread from within the gate: the chain must reach the main thread all the same.
        if (!QTest::qWaitFor([collector] { return collector->getQueuedElementsCount() == 1; },
                             15000))
            return 1;
        other.exec(QStringLiteral("ROLLBACK"));
    } else {
        publisher->doPublishImpl();
    }
    collector->collect(generateUniqueId(), 1, 1, QStringLiteral("{}"));
    const int expected = busy ? 2 : 1;
    const bool flushed = QTest::qWaitFor(
        [collector, expected] { return collector->getCachedElementsCount() == expected; });
    return flushed ? 0 : 1;
}

int flush(const QStringList &)
{
    DataCollector *collector = currentDataCollector();
    collector->initialize();
    collector->collect(generateUniqueId(), 1, 1, QStringLiteral("{}"));
    const auto cached = [collector] { return collector->getCachedElementsCount() == 1; };
    say(QTest::qWaitFor(cached, 10000) ? "cached" : "stalled");
    return 0;
}

int storageId(const QStringList &args)
{
    currentBackends()->initialize();
    bool registered = true;
    for (const QString &database : args.mid(1)) {
        const int id = test::registerDestination(args.value(0), database);
        std::cout << id << std::endl;
        registered = registered && id != -1;
    }
    return registered ? 0 : 1;
}

int road(const QStringList &args)
{
    qInstallMessageHandler(&printLibraryMessage);
    test::parkPublisherChain();

    Recorder *obstacle
        = recorder(QStringLiteral("cache.obstacle"), bucket(args.value(0), args.value(1)));
    test::readInputLines(
        qApp,
        [obstacle](const QByteArray &line) {
            const QByteArray number = line.mid(line.indexOf(' ') + 1);
            if (line.startsWith("host "))
                currentDataCollector()->collect(generateUniqueId(), 1, number.toInt(), "{}");
            else if (!line.startsWith("record "))
                return;
            for (int i = line.startsWith("record ") ? number.toInt() : 0; i > 0; --i)
                obstacle->record();
            QMutexLocker locker(&s_outputMutex);
            say("recorded");
        },
        [] { qApp->quit(); });
    return qApp->exec();
}

const QString kUnreachable = QStringLiteral("http://127.0.0.1:9");

void sayDecision(const TelemetryConsent *consent)
{
    static std::string said;
    const std::string now = consent->isDecided() ? std::to_string(consent->level()) : "undecided";
    if (std::exchange(said, now) != now)
        std::cout << now << std::endl;
}

void answerConsentLine(TelemetryConsent *consent, Recorder *recorder, const QByteArray &line)
{
    const QList<QByteArray> words = line.split(' ');
    if (words.value(0) == "decide") {
        consent->setLevel(TelemetryConsent::Level(words.value(1).toInt()));
    } else if (words.value(0) == "reset") {
        consent->reset();
    } else if (words.value(0) == "record") {
        recorder->setLevel(TelemetryConsent::Level(words.value(1).toInt()));
        for (int i = words.value(2).toInt(); i > 0; --i)
            recorder->record();
        say("recorded");
    } else if (words.value(0) == "queued") {
        // A flush of the main thread does not wait for the main lock, which another process
        // may hold for a moment.
        [[maybe_unused]] const bool written = QTest::qWaitFor([] {
            currentDataCollector()->flush();
            return currentDataCollector()->getQueuedElementsCount() == 0;
        });
        std::cout << "queued " << currentDataCollector()->getQueuedElementsCount() << std::endl;
    }
}

int consent(const QStringList &args)
{
    test::parkPublisherChain();
    auto *consent = new TelemetryConsent(qApp);
    consent->setApplication(args.value(0));
    sayDecision(consent);
    for (const auto changed :
         { &TelemetryConsent::levelChanged, &TelemetryConsent::decidedChanged })
        QObject::connect(consent, changed, [consent] { sayDecision(consent); });
    QObject::connect(consent, &TelemetryConsent::decisionStored,
                     [](bool stored) { say(stored ? "stored" : "unstored"); });
    Recorder *levelled = recorder(QStringLiteral("consent"), bucket(kUnreachable, "consent"));
    test::readInputLines(
        qApp,
        [consent, levelled](const QByteArray &line) { answerConsentLine(consent, levelled, line); },
        [] { qApp->quit(); });
    return qApp->exec();
}

// Records the application's context at its start, under a consent of level Basic or Usage
// (args: SERVER DATABASE LEVEL), publishing as a host does, until its input closes.
int recordContext(const QStringList &args)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("4.5.6"));
    auto *consent = new TelemetryConsent(qApp);
    consent->setLevel(args.value(2) == QLatin1String("basic") ? TelemetryConsent::Basic
                                                              : TelemetryConsent::Usage);
    auto *context = new ContextRecorder(qApp);
    context->setBucket(bucket(args.value(0), args.value(1)));
    context->setSchedule(ContextRecorder::EachStart);
    test::readInputLines(
        qApp, [](const QByteArray &) {}, [] { qApp->quit(); });
    return qApp->exec();
}

// Records COUNT records of TYPE as version VERSION of the application, each carrying the
// version and the system (args: SERVER DATABASE VERSION TYPE COUNT), and ends once they are in
// the cache, for another process to publish.
int recordVersion(const QStringList &args)
{
    test::parkPublisherChain();
    QCoreApplication::setApplicationVersion(args.value(2));
    CouchDBBucket *target = bucket(args.value(0), args.value(1));
    target->setFacts({ QStringLiteral("application.version"), QStringLiteral("platform.os") });
    Recorder *made = recorder(args.value(3), target);
    for (int i = 0; i < args.value(4).toInt(); ++i)
        made->record();
    DataCollector *collector = currentDataCollector();
    collector->flush();
    const auto cached = [collector] { return collector->getQueuedElementsCount() == 0; };
    say(QTest::qWaitFor(cached, 10000) ? "cached" : "stalled");
    return 0;
}

// The process whose SQLite connections hold the byte of the cache's shared memory by which they
// say that they use it (128, SQLite's "DMS" lock), or 0 when none holds it: a process that
// opens the cache while none does resets the memory.
int shmHolder(const QStringList &)
{
    const QByteArray path = QFile::encodeName(getCacheDataBaseLocation() + "-shm");
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 128;
    lock.l_len = 1;
    const bool asked = fd != -1 && fcntl(fd, F_GETLK, &lock) == 0;
    std::cout << (asked && lock.l_type != F_UNLCK ? lock.l_pid : 0) << std::endl;
    if (fd != -1)
        close(fd);
    return 0;
}

int purgeDisabled(const QStringList &args)
{
    TelemetryPolicy::setEnabled(false);
    recorder(QString(), nullptr); // starts the library
    say(bucket(kUnreachable, args.value(0))->purgeDestination() ? "purged" : "refused");
    return 0;
}

int quitWhileUploading(const QStringList &args)
{
    if (args.contains(QStringLiteral("main-thread")))
        currentPublisher()->initialize();
    QTcpServer silent;
    silent.listen(QHostAddress::LocalHost);
    Recorder *exit
        = recorder(QStringLiteral("exit"),
                   bucket(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()), "exit"));
    exit->record();
    exit->record();
    currentDataCollector()->flush();
    QElapsedTimer sinceQuit;
    QObject::connect(&silent, &QTcpServer::newConnection, [exit, &sinceQuit] {
        for (int i = 0; i < 3; ++i)
            exit->record();
        sinceQuit.start();
        qApp->quit();
    });
    // After the library's own exit flush: it must not wait for its own upload.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit,
                     [&sinceQuit] { say(sinceQuit.hasExpired(3000) ? "waited" : "prompt"); });
    // On the publisher's thread, its own or this one.
    QMetaObject::invokeMethod(
        currentPublisher(), [] { currentPublisher()->doPublishImpl(); }, Qt::QueuedConnection);
    return qApp->exec();
}

// Past the first flush, had there been anything to write.
void sayWhetherCacheFileExists()
{
    QTest::qWait(1500);
    say(QFile::exists(getCacheDataBaseLocation()) ? "file" : "no-file");
}

// Records while disabled, tells whether the cache file exists past the first flush, then
// records two more once enabled and returns at once, leaving them to the flush at the end of
// the application object.
int startDisabled(const QStringList &)
{
    test::parkPublisherChain();
    TelemetryPolicy::setEnabled(false);
    Recorder *consent = recorder(QStringLiteral("consent"), bucket(kUnreachable, "consent"));
    consent->record();
    sayWhetherCacheFileExists();
    TelemetryPolicy::setEnabled(true);
    consent->record();
    consent->record();
    return 0;
}

// A Recorder that records nothing.
int startIdle(const QStringList &)
{
    test::parkPublisherChain();
    recorder(QStringLiteral("idle"), bucket(kUnreachable, "idle"));
    sayWhetherCacheFileExists();
    return 0;
}

Recorder *s_early = nullptr;

void printEveryMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    std::cout << qPrintable(test::messageLine(type, text)) << std::endl;
}

// As hosts do that keep their Recorder in a global or make it first thing in main().
void recordBeforeTheApplication()
{
    qInstallMessageHandler(&printEveryMessage);
    s_early = recorder(QStringLiteral("early"), bucket(kUnreachable, "early"));
    s_early->record();
    s_early->record();
}

int recordEarly(const QStringList &)
{
    s_early->record();
    s_early->record();
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    return qApp->exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "early-recorder") == 0)
        recordBeforeTheApplication();
    QCoreApplication app(argc, argv);
    const std::map<QString, int (*)(const QStringList &)> commands {
        { "hold", &hold },
        { "churn", &churn },
        { "collect-exit", &collectAndExit },
        { "start-disabled", &startDisabled },
        { "start-idle", &startIdle },
        { "deleted-thread", &deletedThread },
        { "road", &road },
        { "purge-disabled", &purgeDisabled },
        { "quit-uploading", &quitWhileUploading },
        { "storage-id", &storageId },
        { "flush", &flush },
        { "plant", &plant },
        { "early-recorder", &recordEarly },
        { "consent", &consent },
        { "context", &recordContext },
        { "record-version", &recordVersion },
        { "shm-holder", &shmHolder },
    };
    const auto command = commands.find(app.arguments().value(1));
    if (command != commands.end())
        return command->second(app.arguments().mid(2));
    std::cerr << "unknown command" << std::endl;
    return 2;
}
