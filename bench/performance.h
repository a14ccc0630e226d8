#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace kl::telemetry {
class Recorder;
}

namespace korvelbench {

// Each group of rows runs in a process of its own (the program started again with
// "--row NAME"), with its own cache and temp directory, and hands its rows to the parent as
// tab-separated lines on standard output.

/// One line of the table: a figure and the baseline it is compared with, both measured in
/// the same run; ratio is figure / baseline (for throughputs: figure rate / baseline rate).
void report(const QString &what, const QString &figure, const QString &baseline, double ratio);
/// A line printed under the table.
void note(const QString &text);
/// A check that did not hold; the program then exits non-zero.
void fail(const QString &text);

QString microseconds(double ns);
/// "12.5 ms", or "1.25 s" from a second on.
QString milliseconds(double ms);
QString thousands(double value);

template<typename F>
double bestOf(int runs, F &&run)
{
    double best = 1e99;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, run());
    return best;
}

/// The middle one of @p values, the upper of the two middle ones for an even count; T() for none.
template<typename T>
T median(QVector<T> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? T() : values.at(values.size() / 2);
}

inline double seconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

/// Runs the event loop for @p ms.
void spin(int ms);
/// Runs the event loop until @p done holds, checked every 100 ms, or for @p ms; true when it
/// held.
bool spinUntil(const std::function<bool()> &done, int ms);
/// Runs the event loop until the reply has finished; the reply is deleted later.
QNetworkReply *await(QNetworkReply *reply);

/// The database's doc_count; -1 when the server does not answer.
int documentCount(QNetworkAccessManager &manager, const QString &server, const QString &database);
/// Documents of about 200 bytes, with a running number in "value".
QStringList documents(int count);
/// Posts @p all in batches of 25 through a fresh access manager, @p inFlight out at a time, the
/// next as soon as one is answered; records/s.
double postWithAccessManager(const QString &server, const QString &database, const QStringList &all,
                             int inFlight = 1);
/// How a plain client's SQLite table keys its records: by the order they went in, or by the
/// document's "_id" (with an index on that order), as a client that deletes what the server
/// says it stored must.
enum class PlainKeys { Sequence, DocumentId };
/// The same batches drained from an SQLite file as a plain Qt client keeps its records: read in
/// the order they went in, each batch deleted by @p keys once the server has stored it;
/// records/s.
double drainWithAccessManager(const QString &server, const QString &database,
                              const QStringList &all, int inFlight, PlainKeys keys);

/// A line of /proc/self/status in kB: VmRSS, the resident memory, or VmHWM, its peak.
qint64 statusKb(const QByteArray &field);
/// Nanoseconds on the CPU of the threads process @p pid has now.
qint64 cpuNanoseconds(qint64 pid);

// The row groups.
void benchRecord();
void benchMemory();
void benchCollect();
void benchFlush();
void benchRead();
void benchIdle();
void benchNeighbours(const QString &server);
void benchStartup();
void benchSync();
void benchRoundTrip(const QString &server);
void benchDrain(const QString &server);
void benchDestinations(const QString &server);
void benchManyDestinations(const QString &server);
void benchLarge(const QString &server);
/// The 10 000 destinations of the many row alone.
void benchTenThousandDestinations(const QString &server);
void benchPublishing(const QString &server, int windowSeconds, int staggerMs);
void benchProcesses(const QString &server, int windowSeconds);
void benchBacklog(const QString &server);

/// A publishing process of the publishing row: "--worker SERVER".
int runPublishingWorker(const QString &server);
/// A recording process of the processes rows: "--recording SERVER/DATABASE".
int runRecordingWorker(const QString &destination);
/// An idle process of the idle rows, "--idle library" or "--idle bare", until it is killed.
int runIdleProcess(const QString &kind);

/// A Recorder with five declared properties, about 200 bytes of JSON per record.
std::unique_ptr<kl::telemetry::Recorder> newFivePropertyRecorder();

/// A database on the server, made with PUT; true when it exists afterwards.
bool createDatabase(const QString &server, const QString &database);
/// The server that the benchmark started, as its processes find it in their environment.
QString benchServer();

} // namespace korvelbench
