#pragma once

// Processes of the benchmark program that run beside each other on one cache, and the line
// protocol they are driven with: the coordinator writes a command per line, the worker
// answers each with one line that starts with the command's name.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace korvelbench {

/// A fresh cache home shared by the workers and this process, apart from everything else,
/// its locks included.
class SharedCache
{
public:
    SharedCache();
    Q_DISABLE_COPY(SharedCache)

    /// The environment the workers start with.
    QProcessEnvironment environment() const;

private:
    QTemporaryDir m_dir;
    QString m_cacheHome;
};

/// One worker process, started with arguments that make the program a worker.
class Worker
{
public:
    void start(const QStringList &arguments, const QProcessEnvironment &environment);
    /// Sends @p command and gives the fields of the answer after the command's name; false
    /// when the worker did not answer it within a minute.
    bool ask(const QByteArray &command, QList<QByteArray> &fields);
    /// Whether the worker said it was ready within a minute of its start.
    bool waitReady();
    qint64 processId() const;
    /// Closes the worker's input, which ends it.
    void stop();
    /// Waits 20 s for a stopped worker to end, then kills it.
    void finish();

private:
    bool readLine(QByteArray &line);

    std::unique_ptr<QProcess> m_process = std::make_unique<QProcess>();
};

/// Starts @p count workers, @p staggerMs apart; false unless each of them said it was ready.
bool startWorkers(std::vector<Worker> &workers, int count, const QStringList &arguments,
                  const SharedCache &cache, int staggerMs = 0);
/// Asks every worker @p command; false when one did not answer.
bool askAll(std::vector<Worker> &workers, const QByteArray &command,
            QList<QList<QByteArray>> &answers);
void stopWorkers(std::vector<Worker> &workers);

// ---- the worker's side ----

/// The flushes the library logged since countFlushes().
struct FlushCounts
{
    // Counted on the flushing threads, read on the worker's.
    std::atomic<int> wrote { 0 }; ///< flushes that wrote rows
    std::atomic<int> postponed { 0 }; ///< flushes with rows waiting that found the main lock taken
};

/// Keeps the warning each accepted batch logs, and debug lines, out of the output.
void hideBatchWarnings();
/// Turns the library's debug lines on and counts its flushes from then on; its other debug
/// lines and the warning each accepted batch logs are not printed.
const FlushCounts &countFlushes();

/// The answer of each command, without the command's name.
using Commands = QHash<QByteArray, std::function<QByteArray()>>;
/// Says "ready", answers the commands read from standard input, and returns when it ends.
int serveCommands(const Commands &commands);

} // namespace korvelbench
