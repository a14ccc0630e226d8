#pragma once

#include "telemetry/cache/datacollector.h"
#include "telemetry/korveltelemetry_export.h"

#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

namespace kl::telemetry {

// What the cache file holds, for people who look into it (korvel-cache). Each read runs on a
// read-only connection of the calling thread (readCacheFile()): it neither creates nor changes
// the file, takes no lock of the library, and waits for another client's lock briefly on the
// application's event loop, elsewhere as long as the SQL driver does. None, with a warning and
// the reason in @p error where given, when the file cannot be read.

/// A destination the cache file knows, with what waits for it there.
struct CachedDestination
{
    int storageId = 0;
    QString backend;
    QString locationInfo; ///< as the storages table keeps it: older versions kept credentials
    int pending = 0; ///< cached records
    std::optional<long long> oldest; ///< the timestamp of the oldest cached record
    int setAside = 0;
    std::optional<DestinationAnswer> lastAnswer; ///< as a publisher of any process kept it
    QMap<QString, int> accounts; ///< cached records recorded with a login, per user name
};

/// A cached record as it waits for its destination.
struct CachedRecord
{
    QString id;
    long long timestamp = 0;
    QString record;
};

/// A record that a server stored, with the application it was made for.
struct ApplicationSentRecord
{
    QString application;
    SentRecord sent;
};

/// Every destination of the cache file, by storage ID.
KORVELTELEMETRY_EXPORT std::optional<QVector<CachedDestination>>
readCachedDestinations(QString *error = nullptr);

/// The @p limit oldest cached records of @p storageId.
KORVELTELEMETRY_EXPORT std::optional<QVector<CachedRecord>>
readOldestCachedRecords(int storageId, int limit, QString *error = nullptr);

/// What servers stored of every application under a consent, newest first; defined with the
/// table of sent records.
KORVELTELEMETRY_EXPORT std::optional<QVector<ApplicationSentRecord>>
readAllSentRecords(QString *error = nullptr);

} // namespace kl::telemetry
