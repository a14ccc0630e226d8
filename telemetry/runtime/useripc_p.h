#pragma once

#include <QCryptographicHash>
#include <QFile>
#include <QString>
#include <QtEndian>

#include <sys/stat.h>
#include <sys/types.h>

namespace kl::telemetry {

/**
 * The directory that holds the key files of the machine-wide locks: the cache file's, which the
 * user alone may enter. Empty, with @p trouble saying why, when it is missing or not a
 * directory of the effective user's own.
 */
QString keyFileDirectory(QString *trouble);

/**
 * The System V key of the semaphore whose key file is @p keyFile, or -1 when the file cannot be
 * read. Hashed from the file's device and full inode number: ftok() keeps 16 bits of the inode,
 * so on a desktop with many Qt programs a new file's key would now and then meet an unrelated
 * semaphore (Qt's use the same project ID).
 */
inline key_t semaphoreKey(const QString &keyFile)
{
    struct stat info;
    if (stat(QFile::encodeName(keyFile).constData(), &info) != 0)
        return -1;
    const QByteArray identity = "korvel:" + QByteArray::number(quint64(info.st_dev)) + ':'
        + QByteArray::number(quint64(info.st_ino));
    const QByteArray hash = QCryptographicHash::hash(identity, QCryptographicHash::Sha1);
    const key_t key = qFromBigEndian<quint32>(hash.constData()) & 0x7fffffff;
    return key == 0 ? 1 : key; // 0 is IPC_PRIVATE
}

/**
 * A System V semaphore of the effective user, counting from 1, keyed by a file that is made
 * when missing. Nothing here removes it: a process that removed it while others are between
 * an acquire and its release would leave their undo records to take a count from a free lock
 * when they exit. An instance is used from one thread at a time.
 */
class IpcSemaphore
{
public:
    /// Opens the semaphore of @p keyFile, making the file and the semaphore when missing.
    explicit IpcSemaphore(const QString &keyFile);

    /// Waits for the count and takes it; false, with trouble() set, when that is impossible.
    bool acquire();
    /// Gives back the count that acquire() took.
    void release();
    /// Why the semaphore could not be opened or used last.
    QString trouble() const { return m_trouble; }

private:
    Q_DISABLE_COPY(IpcSemaphore)
    bool change(short delta);
    void fail();

    QString m_name; // for messages
    int m_id = -1;
    QString m_trouble;
};

} // namespace kl::telemetry
