#pragma once

#include "telemetry/cache/datacollector.h"
#include "telemetry/korveltelemetry_export.h"

#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

namespace kl::telemetry {

/**
 * \file
 * A read-only view of the cache file, for people who look into it: korvel-cache lists its
 * destinations, records and sent records with these calls.
 *
 * Each read runs on a read-only connection of the calling thread: it neither creates nor
 * changes the file, takes no lock of the library, and waits for another client's lock briefly
 * on the application's event loop, elsewhere as long as the SQL driver does. Each returns none,
 * with a warning and the reason in @p error where given, when the file cannot be read.
 * \ingroup advanced
 */

/// A destination the cache file knows, with what waits for it there.
/// \ingroup advanced
struct CachedDestination
{
    int storageId = 0; ///< the number the cache file knows the destination by
    QString backend; ///< the name its backend is registered under, such as "couchdb"
    /// The location info (JSON) as the storages table keeps it; older versions kept credentials
    /// in its server: show it through withoutUserInfo().
    QString locationInfo;
    int pending = 0; ///< cached records
    std::optional<long long> oldest; ///< the timestamp of the oldest cached record
    int setAside = 0; ///< records set aside unsent
    std::optional<DestinationAnswer> lastAnswer; ///< as a publisher of any process kept it
    QMap<QString, int> accounts; ///< cached records recorded with a login, per user name
};

/// A cached record as it waits for its destination.
/// \ingroup advanced
struct CachedRecord
{
    QString id; ///< the record's "_id"
    long long timestamp = 0; ///< when it was recorded, in milliseconds since the epoch
    QString record; ///< the document, as JSON text
};

/// A record that a server stored, with the application it was made for.
/// \ingroup advanced
struct ApplicationSentRecord
{
    QString application; ///< the application, as its consent names it
    SentRecord sent; ///< the record and where it went
};

/// Every destination of the cache file, by storage ID.
/// \ingroup advanced
KORVELTELEMETRY_EXPORT std::optional<QVector<CachedDestination>>
readCachedDestinations(QString *error = nullptr);

/// The @p limit oldest cached records of @p storageId.
/// \ingroup advanced
KORVELTELEMETRY_EXPORT std::optional<QVector<CachedRecord>>
readOldestCachedRecords(int storageId, int limit, QString *error = nullptr);

/// What servers stored of every application under a consent, newest first.
/// \ingroup advanced
KORVELTELEMETRY_EXPORT std::optional<QVector<ApplicationSentRecord>>
readAllSentRecords(QString *error = nullptr);

} // namespace kl::telemetry
