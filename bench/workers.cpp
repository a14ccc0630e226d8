#include "workers.h"

#include "performance.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace korvelbench {

namespace {

FlushCounts g_flushCounts;
QtMessageHandler g_defaultHandler = nullptr;

void flushMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("Commited")))
        ++g_flushCounts.wrote;
    else if (message.startsWith(QLatin1String("Flush postponed")))
        ++g_flushCounts.postponed;
    else if (type != QtDebugMsg && !message.startsWith(QLatin1String("deleted:")))
        g_defaultHandler(type, context, message);
}

void writeAnswer(const QByteArray &line)
{
    std::fputs((line + '\n').constData(), stdout);
    std::fflush(stdout);
}

void answer(const Commands &commands, const QByteArray &command)
{
    const auto found = commands.find(command);
    if (found == commands.end()) {
        writeAnswer("unknown\t" + command);
        return;
    }
    const QByteArray text = (*found)();
    writeAnswer(text.isEmpty() ? command : command + '\t' + text);
}

} // namespace

SharedCache::SharedCache()
    : m_cacheHome(m_dir.filePath(QStringLiteral("cache")))
{
    // This process's own library, if it starts one, and the locks it looks at are theirs too.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cacheHome));
}

QProcessEnvironment SharedCache::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), QDir::tempPath());
    return environment;
}

void Worker::start(const QStringList &arguments, const QProcessEnvironment &environment)
{
    m_process->setProcessEnvironment(environment);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QCoreApplication::applicationFilePath(), arguments);
}

bool Worker::readLine(QByteArray &line)
{
    while (!m_process->canReadLine()) {
        if (!m_process->waitForReadyRead(60000))
            return false;
    }
    line = m_process->readLine().trimmed();
    return true;
}

bool Worker::ask(const QByteArray &command, QList<QByteArray> &fields)
{
    m_process->write(command + '\n');
    QByteArray line;
    if (!readLine(line))
        return false;
    fields = line.split('\t');
    if (fields.takeFirst() != command)
        return false;
    return true;
}

bool Worker::waitReady()
{
    QByteArray line;
    return readLine(line) && line == "ready";
}

qint64 Worker::processId() const
{
    return m_process->processId();
}

void Worker::stop()
{
    m_process->closeWriteChannel();
}

void Worker::finish()
{
    if (!m_process->waitForFinished(20000))
        m_process->kill();
}

bool startWorkers(std::vector<Worker> &workers, int count, const QStringList &arguments,
                  const SharedCache &cache, int staggerMs)
{
    workers.resize(count);
    for (int i = 0; i < count; ++i) {
        if (i > 0 && staggerMs > 0)
            spin(staggerMs);
        workers[i].start(arguments, cache.environment());
    }
    return std::all_of(workers.begin(), workers.end(),
                       [](Worker &worker) { return worker.waitReady(); });
}

bool askAll(std::vector<Worker> &workers, const QByteArray &command,
            QList<QList<QByteArray>> &answers)
{
    answers.clear();
    for (Worker &worker : workers) {
        QList<QByteArray> fields;
        if (!worker.ask(command, fields))
            return false;
        answers << fields;
    }
    return true;
}

void stopWorkers(std::vector<Worker> &workers)
{
    for (Worker &worker : workers)
        worker.stop();
    for (Worker &worker : workers)
        worker.finish();
}

void hideBatchWarnings()
{
    if (!g_defaultHandler)
        g_defaultHandler = qInstallMessageHandler(flushMessages);
}

const FlushCounts &countFlushes()
{
    hideBatchWarnings();
    QLoggingCategory::setFilterRules(QStringLiteral("korvel.telemetry.debug=true"));
    return g_flushCounts;
}

int serveCommands(const Commands &commands)
{
    QByteArray input;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            notifier.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        input.append(buffer, int(got));
        for (int end; (end = input.indexOf('\n')) >= 0; input.remove(0, end + 1))
            answer(commands, input.left(end));
    });
    writeAnswer("ready");
    return QCoreApplication::exec();
}

} // namespace korvelbench
