// korvel-cache: what the telemetry cache of this user holds, for people debugging telemetry on
// a desktop. Reads go through the library's read-only readers of the cache file, which create
// nothing and take no lock; every change goes through the collector, under the machine-wide
// lock, so it is safe while applications run.
#include "telemetry/cache/cachecontents.h"
#include "telemetry/cache/datacollector.h"
#include "telemetry/runtime/runtime.h"

#include "output.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

using namespace kl::telemetry;

namespace {

constexpr int kLockWaitMs = 10000;

int fail(const QString &text)
{
    std::fputs(qPrintable(QStringLiteral("korvel-cache: %1\n").arg(text)), stderr);
    return 1;
}

// A mistake in the command line: said with the usage, and a status of its own.
int usageError(const QCommandLineParser &parser, const QString &text)
{
    fail(text);
    std::fputs(qPrintable(parser.helpText()), stderr);
    return 2;
}

// Older versions kept the credentials of a server in its location; they are never shown.
QString serverWithoutUserInfo(const QJsonObject &location)
{
    return withoutUserInfo(QUrl(location.value(QLatin1String("server")).toString()));
}

// A location info or a document, as the cache keeps them: JSON text.
QJsonObject objectOf(const QString &json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

/// One object per destination: storage ID, backend, server, database, pending count,
/// timestamp of the oldest record, how many are set aside, why the last batch failed and,
/// where records were recorded with a login, how many per user name ("accounts").
std::optional<QJsonArray> destinationObjects(QString *error)
{
    const std::optional<QVector<CachedDestination>> read = readCachedDestinations(error);
    if (!read)
        return std::nullopt;
    QJsonArray result;
    for (const CachedDestination &cached : *read) {
        const QJsonObject location = objectOf(cached.locationInfo);
        QJsonObject destination { { "storageId", cached.storageId },
                                  { "backend", cached.backend },
                                  { "server", serverWithoutUserInfo(location) },
                                  { "database", location.value("database") },
                                  { "pending", cached.pending },
                                  { "setAside", cached.setAside } };
        if (cached.oldest)
            destination.insert("oldest", *cached.oldest);
        if (const auto &answer = cached.lastAnswer)
            destination.insert("lastAnswer",
                               QJsonObject { { "status", answer->httpStatus },
                                             { "error", answer->error },
                                             { "since", answer->since } });
        if (!cached.accounts.isEmpty()) {
            QJsonObject accounts;
            for (auto account = cached.accounts.cbegin(); account != cached.accounts.cend();
                 ++account)
                accounts.insert(account.key(), account.value());
            destination.insert("accounts", accounts);
        }
        result.append(destination);
    }
    return result;
}

/// The storage IDs of every destination the cache file knows.
std::optional<QSet<int>> storageIds(QString *error)
{
    const std::optional<QVector<CachedDestination>> read = readCachedDestinations(error);
    if (!read)
        return std::nullopt;
    QSet<int> ids;
    for (const CachedDestination &destination : *read)
        ids.insert(destination.storageId);
    return ids;
}

/// The @p limit oldest cached records of @p storageId.
std::optional<QJsonArray> oldestRecords(int storageId, int limit, QString *error)
{
    const std::optional<QVector<CachedRecord>> read
        = readOldestCachedRecords(storageId, limit, error);
    if (!read)
        return std::nullopt;
    QJsonArray result;
    for (const CachedRecord &record : *read)
        result.append(QJsonObject { { "id", record.id },
                                    { "timestamp", record.timestamp },
                                    { "record", objectOf(record.record) } });
    return result;
}

/// What servers stored of applications under a consent, newest first: id, time,
/// application, server, database and the document as text.
std::optional<QJsonArray> sent(QString *error)
{
    const std::optional<QVector<ApplicationSentRecord>> read = readAllSentRecords(error);
    if (!read)
        return std::nullopt;
    QJsonArray result;
    for (const ApplicationSentRecord &record : *read) {
        const QJsonObject location = objectOf(record.sent.location);
        result.append(QJsonObject { { "id", record.sent.id },
                                    { "sentAt", record.sent.sentAt },
                                    { "application", record.application },
                                    { "server", serverWithoutUserInfo(location) },
                                    { "database", location.value("database") },
                                    { "record", record.sent.record } });
    }
    return result;
}

QJsonArray setAsideRecords()
{
    QJsonArray result;
    const QVector<SetAsideRecord> records = currentDataCollector()->setAsideRecords();
    for (const SetAsideRecord &record : records)
        result.append(QJsonObject { { "id", record.id },
                                    { "storageId", record.storageId },
                                    { "timestamp", record.timestamp },
                                    { "reason", record.reason },
                                    { "setAsideAt", record.setAsideAt },
                                    { "record", record.record } });
    return result;
}

// Another process may hold the machine-wide lock for a flush or an upload: try again a while.
bool underLock(const std::function<bool()> &change)
{
    QDeadlineTimer deadline(kLockWaitMs);
    while (!change()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

QStringList idsOf(const QJsonArray &records)
{
    QStringList ids;
    for (const QJsonValue &record : records)
        ids.append(record.toObject().value("id").toString());
    return ids;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvel-cache"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows and changes the KorvelTelemetry cache of this user.\n\n"
        "Commands:\n"
        "  list                  destinations: pending records, age of the oldest, set aside,\n"
        "                        and why the last batch failed\n"
        "  peek ID [COUNT]       the oldest records of destination ID (10)\n"
        "  sent                  what servers stored of applications under a consent\n"
        "  purge ID...           deletes every cached record of these destinations\n"
        "  set-aside             records their destination kept refusing\n"
        "  retry ID...|--all     moves set-aside records back into the cache\n"
        "  drop ID...|--all      deletes set-aside records for good"));
    parser.addHelpOption();
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints JSON."));
    const QCommandLineOption all(QStringLiteral("all"),
                                 QStringLiteral("retry, drop: every set-aside record."));
    parser.addOptions({ json, all });
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("list (default)"));
    parser.process(app);

    const QStringList arguments = parser.positionalArguments();
    const QString command = arguments.value(0, QStringLiteral("list"));
    const QStringList operands = arguments.mid(1);
    const QStringList commands { QStringLiteral("list"),      QStringLiteral("peek"),
                                 QStringLiteral("sent"),      QStringLiteral("purge"),
                                 QStringLiteral("set-aside"), QStringLiteral("retry"),
                                 QStringLiteral("drop") };
    if (!commands.contains(command))
        return usageError(parser, QStringLiteral("unknown command %1").arg(command));
    const QString path = getCacheDataBaseLocation();
    if (!QFileInfo::exists(path))
        return fail(QStringLiteral("no cache at %1").arg(path));

    QString error; // why the last read failed
    const auto output = [&](const std::optional<QJsonArray> &read,
                            const std::function<void(const QJsonArray &)> &text) {
        if (!read)
            return fail(QStringLiteral("cannot read %1: %2").arg(path, error));
        const QJsonArray &items = *read;
        if (parser.isSet(json))
            print(QString::fromUtf8(QJsonDocument(items).toJson(QJsonDocument::Indented)));
        else if (items.isEmpty())
            print(QStringLiteral("(none)"));
        else
            text(items);
        return 0;
    };

    if (command == QLatin1String("list"))
        return output(destinationObjects(&error), printDestinations);
    if (command == QLatin1String("sent"))
        return output(sent(&error), printSent);
    if (command == QLatin1String("peek") || command == QLatin1String("purge")) {
        const QStringList destinations = operands.mid(0, command == QLatin1String("peek") ? 1 : -1);
        if (destinations.isEmpty())
            return usageError(parser, QStringLiteral("%1 needs a destination ID").arg(command));
        const std::optional<QSet<int>> known = storageIds(&error);
        if (!known)
            return fail(QStringLiteral("cannot read %1: %2").arg(path, error));
        const auto unknown
            = std::find_if(destinations.begin(), destinations.end(),
                           [&known](const QString &id) { return !known->contains(id.toInt()); });
        if (unknown != destinations.end())
            return usageError(parser, QStringLiteral("no destination %1").arg(*unknown));
    }
    if (command == QLatin1String("peek"))
        return output(
            oldestRecords(operands.at(0).toInt(), operands.value(1, "10").toInt(), &error),
            printRecords);

    // The library's collector makes every change, under the machine-wide lock.
    DataCollector *collector = currentDataCollector();
    collector->initialize();
    if (command == QLatin1String("set-aside"))
        return output(setAsideRecords(), printRecords);

    QStringList ids = operands;
    if (parser.isSet(all))
        ids = idsOf(setAsideRecords());
    if (ids.isEmpty())
        return usageError(parser, QStringLiteral("nothing to %1").arg(command));
    bool changed = false;
    if (command == QLatin1String("purge")) {
        QList<int> storageIds;
        for (const QString &id : qAsConst(ids))
            storageIds.append(id.toInt());
        changed = underLock([&] { return collector->purgeDestinations(storageIds); });
    } else if (command == QLatin1String("retry")) {
        changed = underLock([&] { return collector->retrySetAside(ids); });
    } else { // drop
        changed = underLock([&] { return collector->purgeSetAside(ids); });
    }
    if (!changed)
        return fail(QStringLiteral("%1 failed: the cache stayed locked or refused the change")
                        .arg(command));
    print(QStringLiteral("%1: done (%2)").arg(command).arg(ids.size()));
    return 0;
}
