#pragma once

#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <memory>

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
QString thousands(double value);

template<typename F>
double bestOf(int runs, F &&run)
{
    double best = 1e99;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, run());
    return best;
}

inline double seconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

// The row groups.
void benchRecord();
void benchMemory();
void benchCollect();
void benchFlush();
void benchRead();
void benchIdle();
void benchSync();
void benchRoundTrip(const QString &server);
void benchDrain(const QString &server);
void benchDestinations(const QString &server);
void benchPublishing(const QString &server, int windowSeconds, int staggerMs);

/// A publishing process of the publishing row: "--worker SERVER".
int runPublishingWorker(const QString &server);
/// An idle process of the idle rows, "--idle library" or "--idle bare", until it is killed.
int runIdleProcess(const QString &kind);

/// A Recorder with five declared properties, about 200 bytes of JSON per record.
std::unique_ptr<kl::telemetry::Recorder> newFivePropertyRecorder();

/// A database on the server, made with PUT; true when it exists afterwards.
bool createDatabase(const QString &server, const QString &database);

} // namespace korvelbench
