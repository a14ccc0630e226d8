// The controller of the stress program: four recording workers and a loop of processes that
// record and exit at once share one cache and one pouchdb-server (on disk, so that it can be
// restarted), while faults are injected. Afterwards every record is looked for on the server.
#include "stress.h"

#include "testsupport.h"

#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QtTest>

#include <cstdio>
#include <map>

#include <unistd.h>

namespace kl::telemetry::stress {

namespace {

constexpr int kWorkers = 4;
constexpr int kExitAfterUploadMs = 10000;

struct Options
{
    int loadSeconds = 60;
    int exitProcesses = 60;
    QString tableFile;
};

// One process run: a worker incarnation or one exit process.
struct Run
{
    QString mode;
    QString source;
    std::unique_ptr<QProcess> process;
    int printedRecords = 0;
    bool killedOnPurpose = false;
    bool finished = false;
    QString problem;
    QByteArray errors;
    QStringList stderrTail;
    int statsLines = 0;
    int attempts = 0;
    int lockTaken = 0;
    int uploadsStarted = 0;
    QElapsedTimer sinceUpload;
    int queued = -1;
    int cacheUpdateFailures = 0;
    int transferErrors = 0;

    // Its records stay in memory, where exit discards them.
    bool exitsBeforeFlushing() const { return mode == QLatin1String("exit-record"); }
};

struct Fault
{
    int times = 0;
    int effect = 0;
    QString effectText;
};

struct Tally
{
    int recorded = 0;
    int cached = 0;
    int published = 0;
    int duplicates = 0;
    int lostKilled = 0;
    int lostExited = 0;
    int lostUnexpected = 0;
    int mismatches = 0;
    QStringList lostExamples;
};

QString recordKey(const QString &source, int sequence)
{
    return source + QLatin1Char('/') + QString::number(sequence);
}

class StressRun
{
public:
    StressRun(const Options &options, const QString &root)
        : m_options(options)
        , m_root(root)
        , m_serverState(root + QLatin1String("/couchdb-state"))
    {
        m_clock.start();
    }

    ~StressRun()
    {
        for (const auto &run : m_runs) {
            if (run->process->state() != QProcess::NotRunning) {
                run->process->kill();
                run->process->waitForFinished(5000);
            }
        }
        m_observer = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("stress-observer"));
        serverScript({ QStringLiteral("stop") });
    }

    int exec()
    {
        if (!startServer() || !createDatabases()) {
            report(QStringLiteral("PROBLEM: %1\n").arg(m_problems.join(QLatin1String("; "))));
            return 2;
        }
        m_dropPrivileges = mustDropPrivileges();
        openObserver();
        for (int i = 0; i < kWorkers; ++i)
            m_workers[i] = launch(QStringLiteral("worker"), QStringLiteral("w%1.0").arg(i));
        startNextExitProcess();
        QTimer snapshots;
        QObject::connect(&snapshots, &QTimer::timeout, [this] { snapshotCache(); });
        snapshots.start(250);

        injectFaults();
        waitUntil([this] { return m_exitProcessesDone == m_options.exitProcesses; },
                  m_options.exitProcesses * 60000, "the exit processes did not end");
        drainAndQuit();
        snapshots.stop();
        verifyLocksAreFree();
        const Tally tally = verify();
        report(table(tally));
        return m_problems.isEmpty() && tally.lostUnexpected == 0 && tally.duplicates == 0
                && tally.mismatches == 0
            ? 0
            : 1;
    }

private:
    // Servers -------------------------------------------------------------------------------

    bool serverScript(QStringList arguments)
    {
        QProcess script;
        script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        script.start(QStringLiteral(KORVEL_SOURCE_DIR "/scripts/couchdb-server"),
                     arguments << QStringLiteral("--state") << m_serverState);
        return script.waitForFinished(60000) && script.exitStatus() == QProcess::NormalExit
            && script.exitCode() == 0;
    }

    bool startServer()
    {
        QStringList arguments { QStringLiteral("start"), QStringLiteral("--dir"),
                                m_root + QLatin1String("/couchdb-data") };
        if (!m_server.isEmpty())
            arguments << QStringLiteral("--port") << QString::number(QUrl(m_server).port());
        if (!serverScript(arguments))
            return problem(QStringLiteral("pouchdb-server did not start"));
        QFile url(m_serverState + QLatin1String("/url"));
        url.open(QIODevice::ReadOnly);
        m_server = QString::fromUtf8(url.readAll().trimmed());
        return !m_server.isEmpty() || problem(QStringLiteral("pouchdb-server wrote no URL"));
    }

    bool createDatabases()
    {
        for (const QString &database : databases()) {
            if (test::httpRequest("PUT", m_server + QLatin1Char('/') + database).status != 201)
                return problem(QStringLiteral("could not create database ") + database);
        }
        return true;
    }

    // Root ignores directory permissions unless it gives up these two capabilities.
    static bool mustDropPrivileges()
    {
        return geteuid() == 0
            && QProcess::execute(QStringLiteral("setpriv"),
                                 privilegeDrop() << QStringLiteral("true"))
            == 0;
    }

    static QStringList privilegeDrop()
    {
        return { QStringLiteral("--bounding-set"),
                 QStringLiteral("-dac_override,-dac_read_search") };
    }

    // Processes ------------------------------------------------------------------------------

    Run *launch(const QString &mode, const QString &source)
    {
        auto run = std::make_unique<Run>();
        run->mode = mode;
        run->source = source;
        run->process = std::make_unique<QProcess>();
        QProcess *process = run->process.get();
        QStringList arguments { mode, m_server, source };
        QString program = QCoreApplication::applicationFilePath();
        if (m_dropPrivileges) {
            arguments = privilegeDrop() << program << arguments;
            program = QStringLiteral("setpriv");
        }
        Run *raw = run.get();
        QObject::connect(process, &QProcess::readyReadStandardOutput,
                         [this, raw] { readOutput(*raw); });
        QObject::connect(process, &QProcess::readyReadStandardError, [raw] { readErrors(*raw); });
        QObject::connect(
            process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
            [raw](int code, QProcess::ExitStatus status) { noteEnd(*raw, code, status); });
        process->start(program, arguments);
        m_runs.push_back(std::move(run));
        return raw;
    }

    static void noteEnd(Run &run, int code, QProcess::ExitStatus status)
    {
        run.finished = true;
        if (status == QProcess::CrashExit && !run.killedOnPurpose)
            run.problem = QStringLiteral("crashed");
        else if (status == QProcess::NormalExit && code != 0)
            run.problem = QStringLiteral("exit code %1").arg(code);
        // An exit process leaves as soon as its upload has started, whatever the upload does.
        else if (run.mode == QLatin1String("exit-upload") && run.sinceUpload.isValid()
                 && run.sinceUpload.elapsed() > kExitAfterUploadMs)
            run.problem = QStringLiteral("exit took %1 ms with an upload in flight")
                              .arg(run.sinceUpload.elapsed());
    }

    void readOutput(Run &run)
    {
        while (run.process->canReadLine()) {
            const QList<QByteArray> words = run.process->readLine().trimmed().split(' ');
            if (words.first() == "r") {
                run.printedRecords = qMax(run.printedRecords, words.value(1).toInt() + 1);
            } else if (words.first() == "uploading") {
                run.uploadsStarted++;
                run.sinceUpload.start();
                m_uploadsSeen++;
            } else if (words.first() == "stats" && words.size() == 4) {
                run.attempts = words.at(1).toInt();
                run.lockTaken = words.at(2).toInt();
                run.queued = words.at(3).toInt();
                run.statsLines++;
            }
        }
    }

    static void readErrors(Run &run)
    {
        run.errors += run.process->readAllStandardError();
        for (int end; (end = run.errors.indexOf('\n')) != -1;) {
            const QString line = QString::fromUtf8(run.errors.left(end));
            run.errors.remove(0, end + 1);
            run.cacheUpdateFailures += line.contains(QLatin1String("local cache update failed"));
            run.transferErrors += line.contains(QLatin1String("Transfer error"));
            run.stderrTail.append(line);
            if (run.stderrTail.size() > 10)
                run.stderrTail.removeFirst();
        }
    }

    static void send(Run &run, const QByteArray &command) { run.process->write(command + '\n'); }

    // The loop of processes that record and exit at once, one after the other, in turns with
    // and without an upload in flight at exit.
    void startNextExitProcess()
    {
        if (m_exitProcessesStarted == m_options.exitProcesses)
            return;
        const int index = m_exitProcessesStarted++;
        const QString mode
            = index % 2 ? QStringLiteral("exit-upload") : QStringLiteral("exit-record");
        Run *run = launch(mode, QStringLiteral("x%1").arg(index));
        QTimer::singleShot(60000, run->process.get(), [run] {
            if (run->finished)
                return;
            run->problem = QStringLiteral("hung at exit");
            run->process->kill();
        });
        QObject::connect(run->process.get(),
                         qOverload<int, QProcess::ExitStatus>(&QProcess::finished), [this] {
                             m_exitProcessesDone++;
                             QTimer::singleShot(0, [this] { startNextExitProcess(); });
                         });
    }

    // Faults ---------------------------------------------------------------------------------

    // Every fault once per minute of recording (once in a shorter run), each on a worker of
    // its own so that the faults of one round do not meet.
    void injectFaults()
    {
        const int load = m_options.loadSeconds * 1000;
        const int rounds = qMax(1, load / 60000);
        const int round = load / rounds;
        for (int start = 0; start + round <= load; start += round) {
            waitForLoadTime(start + round / 5);
            killWorker(1, "kill-in-flush", QStringLiteral("SIGKILL in a flush"));
            waitForLoadTime(start + round * 2 / 5);
            killWorker(2, "kill-in-upload", QStringLiteral("SIGKILL in an upload"));
            waitForLoadTime(start + round * 11 / 20);
            restartServerDuringUpload();
            waitForLoadTime(start + round * 7 / 10);
            makeCacheReadOnlyFor(5000);
        }
        waitForLoadTime(load);
    }

    void noteFault(const QString &fault, int effect = 0, const QString &effectText = {})
    {
        Fault &noted = m_faults[fault];
        noted.times++;
        noted.effect += effect;
        noted.effectText = effectText;
    }

    void waitForLoadTime(int ms)
    {
        waitUntil([&] { return m_clock.elapsed() >= ms; }, ms + 1000, "");
    }

    void killWorker(int index, const QByteArray &command, const QString &fault)
    {
        Run *worker = m_workers[index];
        worker->killedOnPurpose = true;
        send(*worker, command);
        if (!waitUntil([worker] { return worker->finished; }, 30000,
                       "a worker armed to die did not die")) {
            worker->killedOnPurpose = false;
            return;
        }
        noteFault(fault);
        const int incarnation = worker->source.section(QLatin1Char('.'), 1).toInt() + 1;
        m_workers[index] = launch(QStringLiteral("worker"),
                                  QStringLiteral("w%1.%2").arg(index).arg(incarnation));
    }

    void restartServerDuringUpload()
    {
        const int seen = m_uploadsSeen;
        if (!waitUntil([&] { return m_uploadsSeen > seen; }, 30000, "no upload to interrupt"))
            return;
        const int failuresBefore = sum(&Run::transferErrors);
        serverScript({ QStringLiteral("stop") });
        QTest::qWait(2000);
        startServer();
        noteFault(QStringLiteral("pouchdb-server stopped in an upload, back 2 s later"),
                  sum(&Run::transferErrors) - failuresBefore, QStringLiteral("uploads failed"));
    }

    void makeCacheReadOnlyFor(int ms)
    {
        const QString directory = QFileInfo(getCacheDataBaseLocation()).absolutePath();
        const QFileDevice::Permissions permissions = QFile::permissions(directory);
        const int refusedBefore = sum(&Run::cacheUpdateFailures);
        QFile::setPermissions(directory, permissions & ~(QFile::WriteOwner | QFile::WriteUser));
        QTest::qWait(ms);
        QFile::setPermissions(directory, permissions);
        const int refused = sum(&Run::cacheUpdateFailures) - refusedBefore;
        if (refused == 0) {
            m_notInjected << QStringLiteral("read-only cache directory (no flush was refused; "
                                            "running as root without setpriv?)");
            return;
        }
        noteFault(QStringLiteral("cache directory read-only for %1 s").arg(ms / 1000), refused,
                  QStringLiteral("cache writes refused"));
    }

    // Ending ---------------------------------------------------------------------------------

    void drainAndQuit()
    {
        std::map<Run *, int> statsAtStop;
        for (Run *worker : m_workers) {
            send(*worker, "stop");
            statsAtStop[worker] = worker->statsLines;
        }
        // Queues reported empty after the stop, and nothing cached: twice, some time apart,
        // so that a batch requeued between a report and the look is not missed.
        const auto drained = [&] {
            for (Run *worker : m_workers) {
                if (worker->statsLines < statsAtStop[worker] + 2 || worker->queued != 0)
                    return false;
            }
            return snapshotCache() && m_cachedNow == 0;
        };
        const int timeout = 120000 + m_options.loadSeconds * 1000;
        if (waitUntil(drained, timeout, "the cache did not drain")) {
            QTest::qWait(2000);
            waitUntil(drained, timeout, "the cache did not stay drained");
        }
        for (Run *worker : m_workers)
            send(*worker, "quit");
        for (Run *worker : m_workers) {
            if (!waitUntil([worker] { return worker->finished; }, 20000, "")) {
                worker->problem = QStringLiteral("did not quit");
                worker->process->kill();
            }
        }
    }

    void verifyLocksAreFree()
    {
        for (const char *name : { kMainLockName, kDbLockName }) {
            SingleExecutor lock(QString::fromLatin1(name));
            if (!lock.tryToRun())
                problem(QStringLiteral("lock %1 still held after every process ended")
                            .arg(QLatin1String(name)));
        }
    }

    // Observation ----------------------------------------------------------------------------

    void openObserver()
    {
        m_observer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                               QStringLiteral("stress-observer"));
        m_observer.setDatabaseName(getCacheDataBaseLocation());
        if (!m_observer.open())
            problem(QStringLiteral("cannot open the cache database to observe it"));
    }

    // Notes which records are in the cache, under the main lock, so that no flush or upload
    // is half-way. False when the lock or the table was not available.
    bool snapshotCache()
    {
        SingleExecutor lock(QString::fromLatin1(kMainLockName));
        if (!lock.tryToRun())
            return false;
        QSqlQuery query(m_observer);
        if (!query.exec(QStringLiteral("SELECT id, recordData FROM telemetry")))
            return false;
        m_cachedNow = 0;
        while (query.next()) {
            ++m_cachedNow;
            const QJsonObject document
                = QJsonDocument::fromJson(query.value(1).toString().toUtf8()).object();
            const QString key = recordKey(document.value(QLatin1String("source")).toString(),
                                          document.value(QLatin1String("sequence")).toInt());
            const QString id = query.value(0).toString();
            if (document.value(QLatin1String("_id")).toString() != id)
                m_cacheMismatches.insert(id);
            m_everCached.insert(key, id);
        }
        return true;
    }

    Tally verify()
    {
        Tally tally;
        QHash<QString, int> onServer;
        QHash<QString, int> highestSequence;
        const auto note = [&](const QString &key) {
            const QString source = key.section(QLatin1Char('/'), 0, 0);
            const int sequence = key.section(QLatin1Char('/'), 1).toInt();
            highestSequence[source] = qMax(highestSequence.value(source, -1), sequence);
        };
        for (const QString &database : databases()) {
            const auto documents = test::couchDbDocuments(m_server, database);
            for (auto it = documents.cbegin(); it != documents.cend(); ++it) {
                const QJsonObject &document = it.value();
                const QString source = document.value(QLatin1String("source")).toString();
                const int sequence = document.value(QLatin1String("sequence")).toInt();
                const QString key = recordKey(source, sequence);
                onServer[key]++;
                note(key);
                const bool matches
                    = document.value(QLatin1String("type")).toString() == QLatin1String("stress")
                    && document.value(QLatin1String("payload")).toString()
                        == payloadFor(source, sequence)
                    && databaseFor(sequence) == database
                    && m_everCached.value(key, it.key()) == it.key();
                tally.mismatches += !matches;
            }
        }
        for (auto it = m_everCached.cbegin(); it != m_everCached.cend(); ++it)
            note(it.key());
        tally.mismatches += m_cacheMismatches.size();

        for (const auto &run : m_runs) {
            const int recorded
                = qMax(run->printedRecords, highestSequence.value(run->source, -1) + 1);
            tally.recorded += recorded;
            for (int sequence = 0; sequence < recorded; ++sequence) {
                const QString key = recordKey(run->source, sequence);
                const int copies = onServer.value(key);
                const bool cached = copies > 0 || m_everCached.contains(key);
                tally.cached += cached;
                tally.published += copies > 0;
                tally.duplicates += qMax(0, copies - 1);
                if (copies > 0)
                    continue;
                if (!cached && run->killedOnPurpose) {
                    tally.lostKilled++;
                } else if (!cached && run->exitsBeforeFlushing()) {
                    tally.lostExited++;
                } else {
                    tally.lostUnexpected++;
                    if (tally.lostExamples.size() < 5)
                        tally.lostExamples
                            << QStringLiteral("%1, %2; its last messages:\n    %3")
                                   .arg(key,
                                        m_everCached.contains(key)
                                            ? QLatin1String("seen in the cache")
                                            : QLatin1String("never seen in the cache"),
                                        run->stderrTail.join(QLatin1String("\n    ")));
                }
            }
        }
        if (m_cachedNow != 0)
            problem(QStringLiteral("%1 records left in the cache").arg(m_cachedNow));
        return tally;
    }

    // Report ---------------------------------------------------------------------------------

    QString table(const Tally &tally)
    {
        int killed = 0;
        int exitsWithUpload = 0;
        for (const auto &run : m_runs) {
            killed += run->killedOnPurpose;
            exitsWithUpload += run->mode == QLatin1String("exit-upload") && run->uploadsStarted > 0
                && run->problem.isEmpty();
            if (!run->problem.isEmpty())
                m_problems << QStringLiteral("%1 (%2): %3\n    %4")
                                  .arg(run->source, run->mode, run->problem,
                                       run->stderrTail.join(QLatin1String("\n    ")));
        }
        QString text;
        const auto row = [&text](const QString &what, const QString &value) {
            text += QStringLiteral("| %1 | %2 |\n").arg(what, -58).arg(value);
        };
        row(QStringLiteral("What"), QStringLiteral("Figure"));
        text += QStringLiteral("|%1|---|\n").arg(QString(60, QLatin1Char('-')));
        row(QStringLiteral("processes (recording / killed and restarted / exit)"),
            QStringLiteral("%1 / %2 / %3").arg(kWorkers).arg(killed).arg(m_options.exitProcesses));
        row(QStringLiteral("records recorded"), QString::number(tally.recorded));
        row(QStringLiteral("records that reached the cache"), QString::number(tally.cached));
        row(QStringLiteral("records published"), QString::number(tally.published));
        row(QStringLiteral("duplicates on the server"), QString::number(tally.duplicates));
        row(QStringLiteral("lost, expected: queued in a killed process"),
            QString::number(tally.lostKilled));
        row(QStringLiteral("lost, expected: queued at exit, before any flush"),
            QString::number(tally.lostExited));
        row(QStringLiteral("lost, unexpected"), QString::number(tally.lostUnexpected));
        row(QStringLiteral("content mismatches"), QString::number(tally.mismatches));
        for (auto it = m_faults.cbegin(); it != m_faults.cend(); ++it) {
            const Fault &fault = it.value();
            row(QStringLiteral("fault: ") + it.key(),
                fault.effectText.isEmpty() ? QStringLiteral("%1 times").arg(fault.times)
                                           : QStringLiteral("%1 times, %2 %3")
                                                 .arg(fault.times)
                                                 .arg(fault.effect)
                                                 .arg(fault.effectText));
        }
        row(QStringLiteral("publish attempts / main lock taken"),
            QStringLiteral("%1 / %2").arg(sum(&Run::attempts)).arg(sum(&Run::lockTaken)));
        row(QStringLiteral("exit processes with an upload in flight"),
            QStringLiteral("%1 of %2").arg(exitsWithUpload).arg(m_options.exitProcesses / 2));
        row(QStringLiteral("wall time"),
            QStringLiteral("%1 s").arg(m_clock.elapsed() / 1000.0, 0, 'f', 1));
        for (const QString &missing : qAsConst(m_notInjected))
            text += QStringLiteral("not injected: %1\n").arg(missing);
        for (const QString &key : tally.lostExamples)
            text += QStringLiteral("lost: %1\n").arg(key);
        for (const QString &problem : qAsConst(m_problems))
            text += QStringLiteral("PROBLEM: %1\n").arg(problem);
        return text;
    }

    void report(const QString &text) const
    {
        std::fputs(qPrintable(QLatin1Char('\n') + text), stdout);
        std::fflush(stdout);
        if (m_options.tableFile.isEmpty())
            return;
        QFile file(m_options.tableFile);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text.toUtf8());
    }

    // Helpers --------------------------------------------------------------------------------

    int sum(int Run::*field) const
    {
        int total = 0;
        for (const auto &run : m_runs)
            total += (*run).*field;
        return total;
    }

    bool problem(const QString &text)
    {
        m_problems << text;
        return false;
    }

    bool waitUntil(const std::function<bool()> &condition, int timeoutMs, const char *failure)
    {
        if (QTest::qWaitFor(condition, timeoutMs))
            return true;
        if (*failure)
            problem(QString::fromLatin1(failure));
        return false;
    }

    const Options m_options;
    const QString m_root;
    const QString m_serverState;
    QString m_server;
    bool m_dropPrivileges = false;
    QElapsedTimer m_clock;
    QSqlDatabase m_observer;
    std::vector<std::unique_ptr<Run>> m_runs;
    Run *m_workers[kWorkers] = {};
    int m_exitProcessesStarted = 0;
    int m_exitProcessesDone = 0;
    int m_uploadsSeen = 0;
    int m_cachedNow = -1;
    QHash<QString, QString> m_everCached;
    QSet<QString> m_cacheMismatches;
    QMap<QString, Fault> m_faults;
    QStringList m_notInjected;
    QStringList m_problems;
};

} // namespace

int runController(const QStringList &arguments)
{
    Options options;
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        if (arguments.at(i) == QLatin1String("--load-seconds"))
            options.loadSeconds = arguments.at(i + 1).toInt();
        else if (arguments.at(i) == QLatin1String("--exit-processes"))
            options.exitProcesses = arguments.at(i + 1).toInt();
        else if (arguments.at(i) == QLatin1String("--table"))
            options.tableFile = arguments.at(i + 1);
    }
    std::printf("Stress: %d recording processes for %d s, %d processes that record and exit\n",
                kWorkers, options.loadSeconds, options.exitProcesses);
    std::fflush(stdout);
    StressRun run(options, QDir::tempPath());
    return run.exec();
}

} // namespace kl::telemetry::stress
