// The stress program's controller: four recording workers and a loop of processes that record
// and exit at once share one cache and one pouchdb-server (on disk, so that it can restart)
// behind a fault proxy, while the faults of one table are injected in turn. Without arguments
// it runs the short form that the test command runs;
//   korvelstress --load-seconds 600 --exit-processes 1000
// is the long form, run by hand. --table FILE also writes the table it prints into FILE.
#include "faultproxy.h"
#include "ledger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace kl::telemetry::stress {

namespace {

constexpr int kWorkers = 4;

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

// Runs scripts/couchdb-server for a server kept on disk, so that a restart keeps the data;
// returns what it printed (start prints the URL), empty when it failed.
QString serverScript(QStringList arguments)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    script.start(QStringLiteral(KORVEL_SOURCE_DIR "/scripts/couchdb-server"),
                 arguments << "--state" << QDir::tempPath() + "/couchdb-state"
                           << "--dir" << QDir::tempPath() + "/couchdb-data");
    const bool ran = script.waitForFinished(60000) && script.exitStatus() == QProcess::NormalExit
        && script.exitCode() == 0;
    return ran ? QString::fromUtf8(script.readAllStandardOutput().trimmed()) : QString();
}

// One kind of fault: how to inject it once, returning its effect (-1: it could not be).
struct Fault
{
    QString name, effectName;
    std::function<int()> inject;
    int times = 0, effect = 0;
};

class StressRun
{
public:
    StressRun(int loadSeconds, int exitProcesses)
        : m_loadMs(loadSeconds * 1000)
        , m_exitProcesses(exitProcesses)
    {
        m_clock.start();
    }
    ~StressRun()
    {
        for (const auto &run : m_runs) {
            run->process->kill();
            run->process->waitForFinished(5000);
        }
        serverScript({ "stop" });
    }

    QString exec()
    {
        for (int i = 0; i < 2; ++i)
            check(test::httpRequest("PUT", m_server + '/' + databaseFor(i)).status == 201,
                  "no server");
        if (!m_problems.isEmpty())
            return QStringLiteral("PROBLEM: pouchdb-server did not start");
        for (int i = 0; i < kWorkers; ++i)
            m_workers[i] = launch("worker", QStringLiteral("w%1.0").arg(i));
        startExitLoop(m_exitProcesses);
        QTimer snapshots;
        QObject::connect(&snapshots, &QTimer::timeout, [this] { m_ledger.observe(); });
        snapshots.start(250);
        injectFaults();
        check(waitUntil([&] { return m_exitsDone == m_exitProcesses; }, m_exitProcesses * 90000),
              "the exit processes did not end");
        drainAndQuit();
        snapshots.stop();
        for (const char *name : { kMainLockName, kDbLockName })
            check(SingleExecutor(QString::fromLatin1(name)).tryToRun(),
                  "a lock is held at the end");
        return table();
    }

    bool passed() const { return m_problems.isEmpty() && m_verified; }

private:
    Run *launch(const QString &mode, const QString &source, const QString &cacheHome = {})
    {
        m_runs.push_back(std::make_unique<Run>());
        Run *run = m_runs.back().get();
        run->mode = mode;
        run->source = source;
        QObject::connect(run->process.get(), &QProcess::readyReadStandardOutput,
                         [this, run] { read(*run); });
        QObject::connect(
            run->process.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
            [run](int code, QProcess::ExitStatus status) {
                run->finished = true;
                if (status == QProcess::CrashExit && !run->killed)
                    run->problem = QStringLiteral("crashed");
                else if (status == QProcess::NormalExit && code != 0)
                    run->problem = QStringLiteral("exit code %1").arg(code);
                // An exit process leaves once its upload has started, whatever it does.
                else if (run->mode == "exit-upload" && run->sinceUpload.isValid()
                         && run->sinceUpload.elapsed() > 10000)
                    run->problem = QStringLiteral("exit took %1 ms with an upload in flight")
                                       .arg(run->sinceUpload.elapsed());
            });
        // The library's messages come between the lines of the protocol.
        run->process->setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!cacheHome.isEmpty())
            environment.insert(QStringLiteral("XDG_CACHE_HOME"), cacheHome);
        run->process->setProcessEnvironment(environment);
        // Root ignores directory permissions unless it gives up these capabilities.
        const QStringList drop { "--bounding-set", "-dac_override,-dac_read_search" };
        run->process->start("setpriv",
                            (geteuid() == 0 ? drop : QStringList())
                                + QStringList { "--", QCoreApplication::applicationFilePath(), mode,
                                                m_proxy.url(), source });
        return run;
    }

    void read(Run &run)
    {
        while (run.process->canReadLine()) {
            const QList<QByteArray> words = run.process->readLine().trimmed().split(' ');
            if (words.first() == "r") {
                run.printed = words.value(1).toInt() + 1;
                if (words.value(2) == "poison")
                    m_ledger.poison.insert(recordKey(run.source, words.value(1).toInt()));
            } else if (words.first() == "uploading") {
                run.uploads++;
                m_uploads++;
                run.sinceUpload.start();
            } else if (words.first() == "queued") {
                run.queued = words.value(1).toInt();
                run.queuedReports++;
            } else {
                const QString line = QString::fromUtf8(words.join(' '));
                m_refusedWrites += line.contains(QLatin1String("local cache update failed"));
                m_failedUploads += line.contains(QLatin1String("Transfer error"));
                run.messages = (QStringList(line) + run.messages).mid(0, 10);
            }
        }
    }

    // Processes that record and exit at once, one after the other, in turns with and without
    // an upload in flight at their exit.
    void startExitLoop(int count)
    {
        if (count == 0)
            return;
        Run *run
            = launch(count % 2 ? "exit-upload" : "exit-record", QStringLiteral("x%1").arg(count));
        QTimer::singleShot(90000, run->process.get(), [run] {
            run->problem = run->finished ? run->problem : QStringLiteral("hung at exit");
            run->process->kill();
        });
        QObject::connect(run->process.get(),
                         qOverload<int, QProcess::ExitStatus>(&QProcess::finished), [this, count] {
                             ++m_exitsDone;
                             QTimer::singleShot(0, [this, count] { startExitLoop(count - 1); });
                         });
    }

    // Every fault once per minute of recording (once in a shorter run), one after the other.
    void injectFaults()
    {
        QVector<Fault> faults {
            { "SIGKILL in a flush", {}, [this] { return killWorker(1, "kill-in-flush"); } },
            { "SIGKILL in an upload", {}, [this] { return killWorker(2, "kill-in-upload"); } },
            { "pouchdb-server stopped in an upload, back 2 s later", "uploads failed",
              [this] { return restartServerInUpload(); } },
            { "cache directory read-only for 5 s", "cache writes refused",
              [this] { return makeCacheReadOnly(); } },
            proxied(FaultProxy::Conflict, "document refused: conflict (stored already)",
                    "documents", 5),
            proxied(FaultProxy::Forbidden, "document refused: forbidden", "documents", 5),
            proxied(FaultProxy::Unauthorized, "document refused: unauthorized", "documents", 5),
            cacheFile("deleted", [](const QString &file) { QFile::remove(file); }),
            cacheFile("truncated", [](const QString &file) { QFile::resize(file, 0); }),
            cacheFile("replaced by an empty file",
                      [](const QString &file) {
                          QFile(file + ".new").open(QIODevice::WriteOnly);
                          std::rename(qPrintable(file + ".new"), qPrintable(file));
                      }),
            { "cache directory missing at a process's start, back 5 s later",
              {},
              [this] { return startWithoutCacheDirectory(); } },
            { "poison record (a reserved _member: its batches refused whole)",
              {},
              [this] { return send(*m_workers[3], "poison") ? 0 : -1; } },
            proxied(FaultProxy::EndlessBody, "server streams an endless body", "MB streamed"),
            proxied(FaultProxy::NeverAnswer, "server never answers", "s until the client gave up"),
        };
        const int rounds = qMax(1, m_loadMs / 60000),
                  step = m_loadMs / rounds / (faults.size() + 1);
        for (int i = 0; i < rounds * faults.size(); ++i) {
            waitUntil([&] { return m_clock.elapsed() >= (i + 1 + i / faults.size()) * step; },
                      m_loadMs);
            Fault &fault = faults[i % faults.size()];
            const int effect = fault.inject();
            std::printf("%6.1f s  %s: %d\n", m_clock.elapsed() / 1000.0, qPrintable(fault.name),
                        effect);
            fault.times += effect >= 0;
            fault.effect += qMax(0, effect);
        }
        waitUntil([&] { return m_clock.elapsed() >= m_loadMs; }, m_loadMs);
        for (const Fault &fault : faults)
            m_rows << QStringLiteral("fault: %1 | %2 times").arg(fault.name).arg(fault.times)
                    + (fault.effectName.isEmpty()
                           ? QString()
                           : QStringLiteral(", %1 %2").arg(fault.effect).arg(fault.effectName));
    }

    int killWorker(int index, const QByteArray &command)
    {
        Run *worker = m_workers[index];
        worker->killed = send(*worker, command);
        worker->killed = check(waitUntil([worker] { return worker->finished; }, 30000),
                               "an armed worker lives");
        if (worker->killed)
            m_workers[index] = launch("worker",
                                      QStringLiteral("w%1.%2").arg(index).arg(
                                          worker->source.section('.', 1).toInt() + 1));
        return worker->killed ? 0 : -1;
    }

    int restartServerInUpload()
    {
        const int uploads = m_uploads, failed = m_failedUploads;
        if (!check(waitUntil([&] { return m_uploads > uploads; }, 30000), "no upload to interrupt"))
            return -1;
        serverScript({ "stop" });
        QTest::qWait(2000);
        check(
            !serverScript({ "start", "--port", QString::number(QUrl(m_server).port()) }).isEmpty(),
            "no server again");
        return m_failedUploads - failed;
    }

    int makeCacheReadOnly()
    {
        const QString directory = QFileInfo(getCacheDataBaseLocation()).absolutePath();
        const QFileDevice::Permissions permissions = QFile::permissions(directory);
        const int refused = m_refusedWrites;
        QFile::setPermissions(directory, permissions & ~(QFile::WriteOwner | QFile::WriteUser));
        QTest::qWait(5000);
        QFile::setPermissions(directory, permissions);
        return check(m_refusedWrites > refused, "no cache write refused")
            ? m_refusedWrites - refused
            : -1;
    }

    // Waits for @p times strikes of @p kind. A held upload must be given up by its client
    // within its time-out, or once the reply outgrows any sane size; the proxy ends it at 60 s.
    Fault proxied(FaultProxy::Fault kind, const QString &name, const QString &effectName,
                  int times = 1)
    {
        return { name, effectName, [this, kind, times] {
                    const int struck = m_proxy.struck(kind), ended = m_proxy.heldEnded();
                    const qint64 streamed = m_proxy.streamed();
                    const bool holds = kind >= FaultProxy::NeverAnswer;
                    m_proxy.arm(kind, times);
                    if (!check(waitUntil(
                                   [&] {
                                       return m_proxy.struck(kind) >= struck + times
                                           && (!holds || m_proxy.heldEnded() > ended);
                                   },
                                   90000),
                               "the proxy struck no upload"))
                        return -1;
                    check(!holds || m_proxy.lastHeldMs() < 55000,
                          "a client held on to an upload for 60 s");
                    return int(kind == FaultProxy::EndlessBody
                                   ? (m_proxy.streamed() - streamed) >> 20
                                   : holds ? m_proxy.lastHeldMs() / 1000
                                           : m_proxy.struck(kind) - struck);
                } };
    }

    // Under the main lock, so that what the cache holds then is known to go with the file.
    Fault cacheFile(const QString &how, const std::function<void(const QString &)> &fault)
    {
        return { "cache file " + how, "records in it", [this, fault] {
                    const int before = m_ledger.removed();
                    const auto remove = [&] { fault(getCacheDataBaseLocation()); };
                    const bool done = waitUntil([&] { return m_ledger.observe(remove); }, 30000);
                    return check(done, "no cache file with records to remove")
                        ? m_ledger.removed() - before
                        : -1;
                } };
    }

    // A process whose cache directory cannot be made (a file stands in the way); 5 s later the
    // way leads to the shared cache, where its records must arrive.
    int startWithoutCacheDirectory()
    {
        const QString home = QDir::tempPath() + QStringLiteral("/late-cache%1").arg(m_runs.size());
        QFile(home).open(QIODevice::WriteOnly);
        Run *run = launch("exit-upload", QFileInfo(home).fileName(), home);
        QTest::qWait(5000);
        QFile::remove(home);
        QFile::link(qEnvironmentVariable("XDG_CACHE_HOME"), home);
        return check(waitUntil([run] { return run->finished; }, 90000),
                     "a late process did not end")
            ? 0
            : -1;
    }

    void drainAndQuit()
    {
        int reportsAtStop[kWorkers];
        for (int i = 0; i < kWorkers; ++i) {
            reportsAtStop[i] = m_workers[i]->queuedReports;
            send(*m_workers[i], "stop");
        }
        // Queues reported empty after the stop, and nothing cached: twice, some time apart,
        // so that a batch requeued between a report and the look is not missed.
        const auto drained = [&] {
            for (int i = 0; i < kWorkers; ++i) {
                if (m_workers[i]->queuedReports < reportsAtStop[i] + 2 || m_workers[i]->queued != 0)
                    return false;
            }
            return m_ledger.observe() && m_ledger.cachedNow() == 0;
        };
        if (check(waitUntil(drained, 120000 + m_loadMs), "the cache did not drain")) {
            QTest::qWait(2000);
            check(waitUntil(drained, 120000 + m_loadMs), "the cache did not stay drained");
        }
        for (Run *worker : m_workers)
            send(*worker, "quit");
        for (Run *worker : m_workers) {
            if (!waitUntil([worker] { return worker->finished; }, 20000))
                worker->problem = QStringLiteral("did not quit");
        }
    }

    QString table()
    {
        QStringList rows { "What | Figure" }, notes;
        int killed = 0, exitsWithUpload = 0;
        for (const auto &run : m_runs) {
            killed += run->killed;
            exitsWithUpload
                += run->source.startsWith('x') && run->uploads > 0 && run->problem.isEmpty();
            if (!run->problem.isEmpty())
                m_problems << QStringLiteral("%1 (%2): %3\n    %4")
                                  .arg(run->source, run->mode, run->problem,
                                       run->messages.join("\n    "));
        }
        rows << QStringLiteral("processes (recording / killed and restarted / exit) | %1 / %2 / %3")
                    .arg(kWorkers)
                    .arg(killed)
                    .arg(m_exitProcesses);
        m_verified = m_ledger.verify(m_server, m_runs, rows, notes);
        rows << m_rows
             << QStringLiteral("exit processes with an upload in flight | %1 of %2")
                    .arg(exitsWithUpload)
                    .arg(m_exitProcesses / 2)
             << QStringLiteral("wall time | %1 s").arg(m_clock.elapsed() / 1000.0, 0, 'f', 1);
        QString text;
        for (const QString &row : qAsConst(rows))
            text += QStringLiteral("| %1 | %2 |\n")
                        .arg(row.section(" | ", 0, 0), -58)
                        .arg(row.section(" | ", 1))
                + (text.isEmpty() ? QStringLiteral("|%1|---|\n").arg(QString(60, '-')) : QString());
        for (const QString &problem : qAsConst(m_problems))
            notes << "PROBLEM: " + problem;
        return text + notes.join('\n');
    }

    static bool send(Run &run, const QByteArray &command)
    {
        return run.process->write(command + '\n') > 0;
    }

    bool check(bool condition, const char *problem)
    {
        if (!condition)
            m_problems << QString::fromUtf8(problem);
        return condition;
    }

    const int m_loadMs, m_exitProcesses;
    const QString m_server = serverScript({ "start" });
    FaultProxy m_proxy { m_server };
    Ledger m_ledger;
    QElapsedTimer m_clock;
    Runs m_runs;
    Run *m_workers[kWorkers] = {};
    int m_exitsDone = 0, m_uploads = 0, m_refusedWrites = 0, m_failedUploads = 0;
    QStringList m_rows, m_problems;
    bool m_verified = false;
};

} // namespace

} // namespace kl::telemetry::stress

int main(int argc, char **argv)
{
    using namespace kl::telemetry;
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (QStringList { "worker", "exit-record", "exit-upload" }.contains(mode)) {
        QCoreApplication app(argc, argv);
        return stress::runProcess(mode, app.arguments().value(2), app.arguments().value(3));
    }
    // Its own cache, temp directory and IPC namespace, which every process it starts shares.
    test::IsolatedEnvironment environment;
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const auto option = [&](const char *name, int fallback) {
        return arguments.contains(name) ? arguments.value(arguments.indexOf(name) + 1).toInt()
                                        : fallback;
    };
    const int loadSeconds = option("--load-seconds", 60),
              exitProcesses = option("--exit-processes", 60);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("Stress: %d recording processes for %d s, %d processes that record and exit\n",
                stress::kWorkers, loadSeconds, exitProcesses);
    stress::StressRun run(loadSeconds, exitProcesses);
    const QString table = run.exec() + '\n';
    std::fputs(qPrintable('\n' + table), stdout);
    QFile file(arguments.value(arguments.indexOf("--table") + 1));
    if (arguments.contains("--table") && file.open(QIODevice::WriteOnly))
        file.write(table.toUtf8());
    return run.passed() ? 0 : 1;
}
