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

std::unique_ptr<QProcess> startHelper(const QStringList &arguments)
{
    auto helper = std::make_unique<QProcess>();
    helper->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper->start(QStringLiteral(KORVEL_HELPER_PATH), arguments);
    return helper;
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
