#include "testsupport.h"

#include <QDir>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

namespace kl::telemetry::test {

namespace {

    key_t ipcKey(const QString &keyFile)
    {
        return ftok(QFile::encodeName(keyFile).constData(), 'Q');
    }

    // The library keeps its lock semaphores for the life of every process on purpose, so the
    // kernel objects outlive the test; drop the ones that belong to this test's namespace.
    void removeIpcObjects(const QString &tempPath)
    {
        const QDir dir(tempPath);
        for (const QString &name :
             dir.entryList({ QStringLiteral("qipc_systemsem_*") }, QDir::Files)) {
            const int id = semget(ipcKey(dir.filePath(name)), 0, 0);
            if (id != -1)
                semctl(id, 0, IPC_RMID);
        }
        for (const QString &name :
             dir.entryList({ QStringLiteral("qipc_sharedmemory_*") }, QDir::Files)) {
            const int id = shmget(ipcKey(dir.filePath(name)), 0, 0);
            if (id != -1)
                shmctl(id, IPC_RMID, nullptr);
        }
    }

} // namespace

IsolatedEnvironment::IsolatedEnvironment()
{
    QDir root(m_root.path());
    root.mkpath(QStringLiteral("cache"));
    root.mkpath(QStringLiteral("tmp"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome()));
    qputenv("TMPDIR", QFile::encodeName(tempPath()));
}

IsolatedEnvironment::~IsolatedEnvironment()
{
    removeIpcObjects(tempPath());
}

QString IsolatedEnvironment::cacheHome() const
{
    return m_root.filePath(QStringLiteral("cache"));
}

QString IsolatedEnvironment::tempPath() const
{
    return m_root.filePath(QStringLiteral("tmp"));
}

namespace {
    MessageCapture *s_capture = nullptr;
}

MessageCapture::MessageCapture()
{
    s_capture = this;
    m_previous = qInstallMessageHandler(&MessageCapture::handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
    s_capture = nullptr;
}

void MessageCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "korvel.telemetry") != 0) {
        s_capture->m_previous(type, context, text);
        return;
    }
    QMutexLocker locker(&s_capture->m_mutex);
    s_capture->m_messages.append({ type, text });
}

int MessageCapture::count(QtMsgType type, const QString &text) const
{
    QMutexLocker locker(&m_mutex);
    return int(std::count(m_messages.cbegin(), m_messages.cend(), qMakePair(type, text)));
}

QStringList MessageCapture::all() const
{
    static const char *const levels[] = { "debug", "warning", "critical", "fatal", "info" };
    QMutexLocker locker(&m_mutex);
    QStringList lines;
    for (const auto &message : m_messages)
        lines << QString::fromLatin1(levels[message.first]) + QLatin1String(": ") + message.second;
    return lines;
}

void MessageCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_messages.clear();
}

std::unique_ptr<QProcess> startHelper(const QStringList &arguments)
{
    auto helper = std::make_unique<QProcess>();
    helper->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper->start(QStringLiteral(KORVEL_HELPER_PATH), arguments);
    return helper;
}

QByteArray runHelper(const QStringList &arguments, int timeoutMs)
{
    auto helper = startHelper(arguments);
    if (!helper->waitForFinished(timeoutMs) || helper->exitStatus() != QProcess::NormalExit)
        return {};
    return helper->readAll().trimmed();
}

QByteArray readHelperLine(QProcess &helper, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!helper.canReadLine() && !deadline.hasExpired()) {
        if (!helper.waitForReadyRead(int(deadline.remainingTime()))
            && helper.state() != QProcess::Running)
            break;
    }
    return helper.readLine().trimmed();
}

} // namespace kl::telemetry::test
