#pragma once

#include <QDeadlineTimer>
#include <QString>

#include <functional>

namespace kl::telemetry {

/**
 * The file whose kernel lock is the machine-wide lock @p name: beside the cache file, in the
 * directory that its user alone may enter. Empty, with @p trouble saying why, when that
 * directory is missing or not a directory of the effective user's own.
 */
QString lockFilePath(const QString &name, QString *trouble);

/**
 * Takes the lock of the file @p path without waiting: the open descriptor that holds it, which
 * closing gives the lock up, or -1. On -1 @p trouble is empty when another open file holds the
 * lock, and says why otherwise.
 */
int takeLockFile(const QString &path, QString *trouble);

/**
 * As takeLockFile(), but waits in the kernel's queue of the lock until it is taken or
 * @p deadline passes. A thread of the process, one per lock file, does the waiting; it hands
 * the lock to the earliest caller still waiting, or gives it up at once when none is. Any
 * thread may call this.
 */
int waitForLockFile(const QString &path, QDeadlineTimer deadline, QString *trouble);

/**
 * As waitForLockFile(), without blocking and without a deadline: @p answered gets the
 * descriptor, or -1 and the trouble, once the lock is taken or cannot be waited for, at once
 * or later on the thread that waits. It must close the descriptor. Returns the ticket of a wait
 * that goes on, 0 when @p answered has been called already.
 */
quint64 queueForLockFile(const QString &path, std::function<void(int, const QString &)> answered);
/// Withdraws a wait of queueForLockFile() before its answer; false when the answer has come.
bool withdrawLockWait(const QString &path, quint64 ticket);

/**
 * Takes the lock of the file @p path for the rest of the process's life: at once when it is
 * free (true), and otherwise from a thread that waits in the kernel's queue of the lock for as
 * long as it takes and then calls @p taken there. False with @p trouble when the lock cannot be
 * used or waited for. Nothing gives the lock up: the kernel does when the process ends.
 */
bool keepLockFile(const QString &path, std::function<void()> taken, QString *trouble);

/**
 * Counts a take of the lock held through @p fd in the lock's file, so that those who find it
 * held can tell a holder that goes on taking it from one that has stopped.
 */
void countTake(int fd);
/// How often the lock of @p path has been taken, as far as countTake() was told; 0 if unknown.
quint64 takesOf(const QString &path);

/// Whether another open file holds the lock of @p path; false, with @p trouble, when unknown.
bool isLockFileTaken(const QString &path, QString *trouble);

} // namespace kl::telemetry
