#pragma once

#include <QDeadlineTimer>
#include <QString>

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

/// Whether another open file holds the lock of @p path; false, with @p trouble, when unknown.
bool isLockFileTaken(const QString &path, QString *trouble);

} // namespace kl::telemetry
