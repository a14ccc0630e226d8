#pragma once

#include <QString>

namespace kl::telemetry {

/**
 * The directory that holds the key files of the machine-wide locks: the cache file's, which the
 * user alone may enter. Empty, with @p trouble saying why, when it is missing or not a
 * directory of the effective user's own.
 */
QString keyFileDirectory(QString *trouble);

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
