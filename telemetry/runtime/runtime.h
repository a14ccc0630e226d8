#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QLoggingCategory>
#include <QString>
#include <QUrl>

/**
 * The logging category of every message the library writes, "korvel.telemetry".
 * Debug messages are hidden unless the application enables them with a filter rule.
 * \ingroup advanced
 */
KORVELTELEMETRY_EXPORT const QLoggingCategory &lcTelemetry();

namespace kl::telemetry {

/// File name of the cache database inside the cache directory: "korvel.db".
/// \ingroup advanced
extern KORVELTELEMETRY_EXPORT const char *kDbFileName;
/// Directory, under the user's cache location, that holds the cache database: "KorvelTelemetry".
/// \ingroup advanced
extern KORVELTELEMETRY_EXPORT const char *kCacheDirectoryName;
/// Machine-wide lock whose holder may create the cache tables.
/// \ingroup advanced
extern KORVELTELEMETRY_EXPORT const char *kDbLockName;
/// Machine-wide lock that keeps writing and publishing the cache apart, in all processes.
/// \ingroup advanced
extern KORVELTELEMETRY_EXPORT const char *kMainLockName;
/// Period of the publisher, in milliseconds.
/// \ingroup advanced
extern KORVELTELEMETRY_EXPORT const int DataTransferFrequency;

/// When an initialize() opens the cache database.
/// \ingroup advanced
enum class CacheOpening {
    Now,
    AtFirstUse, ///< the first flush, publish attempt or count that needs it: applications
};

/**
 * Absolute path of the cache database shared by every process of the user.
 *
 * Lies under the generic cache location (the application cache location when there is none)
 * and creates the directory on the way. Never fails: an unusable directory shows up only when
 * the file is opened.
 * \ingroup advanced
 */
KORVELTELEMETRY_EXPORT QString getCacheDataBaseLocation();

/**
 * A new record identifier: 12 random bytes of a version 4 UUID in URL-safe Base64,
 * 16 characters, never starting with "-" or "_". Safe from any thread.
 * \ingroup advanced
 */
KORVELTELEMETRY_EXPORT QString generateUniqueId();

/**
 * A destination as people read it in the status, the log and korvel-cache: its server without
 * user info, then its database, "https://couch.example.org/metrics".
 * \ingroup advanced
 */
KORVELTELEMETRY_EXPORT QString destinationName(const QUrl &server, const QString &database);

/**
 * @p url as servers are written wherever they show: fully encoded, without user info, so
 * that credentials reach neither the cache file nor the log nor the screen. The location info
 * of a bucket holds its server so, and every reader of locations writes it the same way to
 * meet it.
 * \ingroup advanced
 */
inline QString withoutUserInfo(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded | QUrl::RemoveUserInfo);
}

} // namespace kl::telemetry
