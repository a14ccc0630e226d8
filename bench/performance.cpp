// The library's performance, every figure a ratio against a baseline measured in the same
// run. Run from a build directory:
//
//   bench/bench_performance [--only ROW,ROW...] [--window SECONDS] [--stagger MS]
//
// Rows: record, memory, collect, flush, read, idle, startup, sync, roundtrip, drain,
// destinations, many, large, many10000, publish, processes, backlog, neighbours. Many records to
// 300 and to 10 000 new destinations (a few minutes, most of it making the databases); many10000 to
// the 10 000 alone. Idle watches one and then twenty idle processes, and as many bare Qt ones, for
// a minute each (about four and a half minutes); sync records for 40 s. The last nine start their
// own pouchdb-server through scripts/couchdb-server; drain and destinations take about a minute and
// a half each, large (40 records of 5 MB) about a minute, publish runs four processes for about 20
// s of warm-up plus the window (60 s by default), started together unless --stagger starts them MS
// apart. Processes runs 1, 4, 16, 32 and 64 recording processes on one cache for the window each,
// plus up to the window again for what they recorded to drain (up to 12 minutes by default);
// backlog records 100 000 records in one process and waits for them to reach the server and 30 s
// more (one to five minutes). Neighbours runs twenty idle processes beside one that records
// every 30 s, with the library and bare, and bare beside a plain Qt program doing the same work
// (about six minutes). Nothing touches the user's own cache or locks: every process runs
// with XDG_CACHE_HOME and TMPDIR in a temporary directory.
#include "performance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QVector>

#include <sqlite3.h>

#include <cstdio>
#include <functional>

namespace korvelbench {

namespace {

const QString kServerVariable = QStringLiteral("KORVEL_BENCH_SERVER");
const QString kScript = QStringLiteral(KORVEL_SOURCE_DIR "/scripts/couchdb-server");
constexpr int kDefaultWindowSeconds = 60;

bool g_failed = false;

struct Group
{
    QString name;
    bool needsServer;
};

const QVector<Group> kGroups {
    { QStringLiteral("record"), false },      { QStringLiteral("memory"), false },
    { QStringLiteral("collect"), false },     { QStringLiteral("flush"), false },
    { QStringLiteral("read"), false },        { QStringLiteral("idle"), false },
    { QStringLiteral("startup"), false },     { QStringLiteral("sync"), false },
    { QStringLiteral("roundtrip"), true },    { QStringLiteral("drain"), true },
    { QStringLiteral("destinations"), true }, { QStringLiteral("many"), true },
    { QStringLiteral("large"), true },        { QStringLiteral("many10000"), true },
    { QStringLiteral("publish"), true },      { QStringLiteral("processes"), true },
    { QStringLiteral("backlog"), true },      { QStringLiteral("neighbours"), true },
};

void writeLine(const QStringList &fields)
{
    std::fputs(qPrintable(fields.join(QLatin1Char('\t')) + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

int usage()
{
    QStringList names;
    for (const Group &group : kGroups)
        names << group.name;
    std::fprintf(stderr,
                 "usage: bench_performance [--only ROW,ROW...] [--window SECONDS] [--stagger MS]\n"
                 "rows: %s (default: all)\n",
                 qPrintable(names.join(QLatin1Char(','))));
    return 2;
}

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown CPU");
}

// One group in a child process of its own; its rows go into the table.
bool runGroup(const QString &group, const QString &runDir, const QString &server,
              const QStringList &options, QStringList &table, QStringList &notes)
{
    const QString dir = runDir + QLatin1Char('/') + group;
    QDir().mkpath(dir + QStringLiteral("/cache"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), dir + QStringLiteral("/cache"));
    environment.insert(QStringLiteral("TMPDIR"), dir);
    if (!server.isEmpty())
        environment.insert(kServerVariable, server);

    std::fprintf(stderr, "running %s...\n", qPrintable(group));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                QStringList { QStringLiteral("--row"), group } + options);
    child.waitForFinished(-1);
    bool ok = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    const QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split('\n');
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.first() == QLatin1String("row") && fields.size() == 5)
            table << QStringLiteral("| %1 | %2 | %3 | %4 |")
                         .arg(fields.at(1), fields.at(2), fields.at(3), fields.at(4));
        else if (fields.first() == QLatin1String("note") && fields.size() == 2)
            notes << fields.at(1);
        else if (fields.first() == QLatin1String("fail") && fields.size() == 2)
            notes << QStringLiteral("CHECK FAILED (%1): %2").arg(group, fields.at(1));
    }
    if (!ok)
        notes << QStringLiteral("CHECK FAILED: the %1 rows did not finish normally").arg(group);
    return ok;
}

QString startServer(const QString &state)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    script.start(kScript, { QStringLiteral("start"), QStringLiteral("--state"), state });
    script.waitForFinished(180000);
    return QString::fromUtf8(script.readAllStandardOutput().trimmed());
}

void stopServer(const QString &state)
{
    QProcess::execute(kScript, { QStringLiteral("stop"), QStringLiteral("--state"), state });
}

int runAll(const QStringList &selected, const QStringList &options)
{
    QTemporaryDir runDir;
    QString server;
    const QString state = runDir.filePath(QStringLiteral("server"));
    for (const Group &group : kGroups) {
        if (group.needsServer && selected.contains(group.name)) {
            server = startServer(state);
            if (server.isEmpty()) {
                std::fprintf(stderr, "no pouchdb-server (run scripts/setup first)\n");
                return 1;
            }
            break;
        }
    }

    QStringList table, notes;
    bool ok = true;
    for (const Group &group : kGroups) {
        if (selected.contains(group.name))
            ok &= runGroup(group.name, runDir.path(), server, options, table, notes);
    }
    if (!server.isEmpty())
        stopServer(state);

    std::printf("\nKorvelTelemetry performance: %d cores (%s), %s, Qt %s, SQLite %s\n\n",
                QThread::idealThreadCount(), qPrintable(cpuModel()),
                qPrintable(QSysInfo::prettyProductName()), qVersion(), sqlite3_libversion());
    std::printf("| What | Figure | Baseline | Ratio |\n|---|---|---|---|\n");
    for (const QString &line : table)
        std::printf("%s\n", qPrintable(line));
    if (!notes.isEmpty())
        std::printf("\n");
    for (const QString &line : notes)
        std::printf("- %s\n", qPrintable(line));
    return ok ? 0 : 1;
}

} // namespace

QString benchServer()
{
    return qEnvironmentVariable(qPrintable(kServerVariable));
}

namespace {

int runRow(const QString &group, int window, int stagger)
{
    const QString server = benchServer();
    const QHash<QString, std::function<void()>> rows {
        { QStringLiteral("record"), benchRecord },
        { QStringLiteral("memory"), benchMemory },
        { QStringLiteral("collect"), benchCollect },
        { QStringLiteral("flush"), benchFlush },
        { QStringLiteral("read"), benchRead },
        { QStringLiteral("idle"), benchIdle },
        { QStringLiteral("startup"), benchStartup },
        { QStringLiteral("sync"), benchSync },
        { QStringLiteral("roundtrip"), [&] { benchRoundTrip(server); } },
        { QStringLiteral("drain"), [&] { benchDrain(server); } },
        { QStringLiteral("destinations"), [&] { benchDestinations(server); } },
        { QStringLiteral("many"), [&] { benchManyDestinations(server); } },
        { QStringLiteral("large"), [&] { benchLarge(server); } },
        { QStringLiteral("many10000"), [&] { benchTenThousandDestinations(server); } },
        { QStringLiteral("publish"), [&] { benchPublishing(server, window, stagger); } },
        { QStringLiteral("processes"), [&] { benchProcesses(server, window); } },
        { QStringLiteral("backlog"), [&] { benchBacklog(server); } },
        { QStringLiteral("neighbours"), [&] { benchNeighbours(server); } },
    };
    const auto row = rows.find(group);
    if (row == rows.end())
        return usage();
    (*row)();
    return g_failed ? 1 : 0;
}

} // namespace

void report(const QString &what, const QString &figure, const QString &baseline, double ratio)
{
    writeLine({ QStringLiteral("row"), what, figure, baseline,
                QString::number(ratio, 'f', ratio >= 10 ? 0 : (ratio < 0.1 ? 3 : 2)) });
}

void note(const QString &text)
{
    writeLine({ QStringLiteral("note"), text });
}

void fail(const QString &text)
{
    g_failed = true;
    writeLine({ QStringLiteral("fail"), text });
}

QString microseconds(double ns)
{
    return QStringLiteral("%1 us").arg(ns / 1e3, 0, 'f', ns < 100e3 ? 1 : 0);
}

// 158700 -> "158 700", as the README writes large numbers.
QString thousands(double value)
{
    QString digits = QString::number(qint64(value + 0.5));
    for (int i = digits.size() - 3; i > 0 && digits.at(i - 1).isDigit(); i -= 3)
        digits.insert(i, QLatin1Char(' '));
    return digits;
}

} // namespace korvelbench

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    using namespace korvelbench;

    QStringList selected;
    for (const Group &group : kGroups)
        selected << group.name;
    QString row, worker, idle, recording;
    int window = kDefaultWindowSeconds;
    int stagger = 0;
    QStringList options; // handed on to the row processes
    const QStringList arguments = app.arguments().mid(1);
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const QString value = arguments.value(i + 1);
        bool isNumber = false;
        const int number = value.toInt(&isNumber);
        if (argument == QLatin1String("--only") && !value.isEmpty()) {
            selected = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (const QString &name : selected) {
                if (std::none_of(kGroups.begin(), kGroups.end(),
                                 [&](const Group &group) { return group.name == name; }))
                    return usage();
            }
        } else if (argument == QLatin1String("--window") && isNumber && number > 0) {
            window = number;
            options << argument << value;
        } else if (argument == QLatin1String("--stagger") && isNumber && number >= 0) {
            stagger = number;
            options << argument << value;
        } else if (argument == QLatin1String("--row") && !value.isEmpty()) {
            row = value;
        } else if (argument == QLatin1String("--worker") && !value.isEmpty()) {
            worker = value;
        } else if (argument == QLatin1String("--idle") && !value.isEmpty()) {
            idle = value;
        } else if (argument == QLatin1String("--recording") && !value.isEmpty()) {
            recording = value;
        } else {
            return usage();
        }
        ++i;
    }

    if (!worker.isEmpty())
        return runPublishingWorker(worker);
    if (!idle.isEmpty())
        return runIdleProcess(idle);
    if (!recording.isEmpty())
        return runRecordingWorker(recording);
    if (!row.isEmpty())
        return runRow(row, window, stagger);
    return runAll(selected, options);
}
