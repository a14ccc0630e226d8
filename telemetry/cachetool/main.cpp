// korvel-cache: what the telemetry cache of this user holds, for people debugging telemetry on
// a desktop. Reads go straight to the cache file; every change goes through the library, under
// the machine-wide lock, so it is safe while applications run.
#include "telemetry/cache/datacollector.h"
#include "telemetry/runtime/credentials_p.h"
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
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
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

class Cache
{
public:
    explicit Cache(const QString &path)
        : m_db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("korvel-cache")))
    {
        m_db.setDatabaseName(path);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    }

    bool open() { return m_db.open(); }
    /// Why the last step failed.
    QString error() const { return m_error.isEmpty() ? m_db.lastError().text() : m_error; }

    /// One object per destination: storage ID, backend, server, database, pending count,
    /// timestamp of the oldest record, how many are set aside and, where records were recorded
    /// with a login, how many per user name ("accounts").
    std::optional<QJsonArray> destinations()
    {
        QJsonArray result;
        QSqlQuery query(m_db);
        if (!run(query,
                 QStringLiteral(
                     "SELECT s.storageID, s.backend, s.locationInfo, "
                     "(SELECT COUNT(*) FROM telemetry t WHERE t.storageID = s.storageID), "
                     "(SELECT MIN(timestamp) FROM telemetry t WHERE t.storageID = s.storageID) "
                     "FROM storages s ORDER BY s.storageID")))
            return std::nullopt;
        const QHash<int, int> setAside = setAsideCounts();
        const QHash<int, QJsonObject> answers = lastAnswers();
        const QHash<int, QJsonObject> accounts = accountCounts();
        while (query.next()) {
            const QJsonObject location
                = QJsonDocument::fromJson(query.value(2).toString().toUtf8()).object();
            QJsonObject destination { { "storageId", query.value(0).toInt() },
                                      { "backend", query.value(1).toString() },
                                      { "server", serverWithoutUserInfo(location) },
                                      { "database", location.value("database") },
                                      { "pending", query.value(3).toInt() },
                                      { "setAside", setAside.value(query.value(0).toInt()) } };
            if (!query.value(4).isNull())
                destination.insert("oldest", query.value(4).toLongLong());
            const auto answer = answers.constFind(query.value(0).toInt());
            if (answer != answers.cend())
                destination.insert("lastAnswer", *answer);
            if (accounts.contains(query.value(0).toInt()))
                destination.insert("accounts", accounts.value(query.value(0).toInt()));
            result.append(destination);
        }
        return result;
    }

    /// The storage IDs of every destination the cache file knows.
    std::optional<QSet<int>> storageIds()
    {
        QSqlQuery query(m_db);
        if (!run(query, QStringLiteral("SELECT storageID FROM storages")))
            return std::nullopt;
        QSet<int> ids;
        while (query.next())
            ids.insert(query.value(0).toInt());
        return ids;
    }

    /// The @p limit oldest cached records of @p storageId.
    std::optional<QJsonArray> records(int storageId, int limit)
    {
        QSqlQuery query(m_db);
        if (!run(query,
                 QStringLiteral("SELECT id, timestamp, recordData FROM telemetry WHERE "
                                "storageID = ? ORDER BY timestamp LIMIT ?"),
                 { storageId, limit }))
            return std::nullopt;
        QJsonArray result;
        while (query.next())
            result.append(QJsonObject {
                { "id", query.value(0).toString() },
                { "timestamp", query.value(1).toLongLong() },
                { "record",
                  QJsonDocument::fromJson(query.value(2).toString().toUtf8()).object() } });
        return result;
    }

    /// What servers stored of applications under a consent, newest first: id, time,
    /// application, server, database and the document as text.
    std::optional<QJsonArray> sent()
    {
        QJsonArray result;
        if (!m_db.tables().contains(QStringLiteral("telemetry_sent")))
            return result; // a file of a version that kept none
        QSqlQuery query(m_db);
        if (!run(query,
                 QStringLiteral("SELECT id, sentAt, application, locationInfo, recordData FROM "
                                "telemetry_sent LEFT JOIN storages USING (storageID) ORDER BY "
                                "sentAt DESC, telemetry_sent.rowid DESC")))
            return std::nullopt;
        while (query.next()) {
            const QJsonObject location
                = QJsonDocument::fromJson(query.value(3).toString().toUtf8()).object();
            result.append(QJsonObject { { "id", query.value(0).toString() },
                                        { "sentAt", query.value(1).toLongLong() },
                                        { "application", query.value(2).toString() },
                                        { "server", serverWithoutUserInfo(location) },
                                        { "database", location.value("database") },
                                        { "record", query.value(4).toString() } });
        }
        return result;
    }

private:
    bool run(QSqlQuery &query, const QString &statement, const QVariantList &values = {})
    {
        bool done = query.prepare(statement);
        for (const QVariant &value : values)
            query.addBindValue(value);
        done = done && query.exec();
        if (!done)
            m_error = query.lastError().text();
        return done;
    }

    QHash<int, int> setAsideCounts()
    {
        QHash<int, int> counts;
        QSqlQuery query(m_db);
        if (query.exec(QStringLiteral(
                "SELECT storageID, COUNT(*) FROM telemetry_setaside GROUP BY storageID"))) {
            while (query.next())
                counts.insert(query.value(0).toInt(), query.value(1).toInt());
        }
        return counts;
    }

    // Records recorded with a login go out with that login only: without a process that has
    // it, they wait.
    QHash<int, QJsonObject> accountCounts()
    {
        QHash<int, QJsonObject> counts;
        QSqlQuery query(m_db);
        if (query.exec(
                QStringLiteral("SELECT storageID, userName, COUNT(*) FROM telemetry_accounts "
                               "JOIN telemetry USING (id) GROUP BY storageID, userName"))) {
            while (query.next())
                counts[query.value(0).toInt()].insert(query.value(1).toString(),
                                                      query.value(2).toInt());
        }
        return counts;
    }

    // Kept by the publishers of every process: why a destination is stuck, if it is.
    QHash<int, QJsonObject> lastAnswers()
    {
        QHash<int, QJsonObject> answers;
        QSqlQuery query(m_db);
        if (query.exec(QStringLiteral("SELECT storageID, status, error, since FROM "
                                      "telemetry_answers"))) {
            while (query.next())
                answers.insert(query.value(0).toInt(),
                               { { "status", query.value(1).toInt() },
                                 { "error", query.value(2).toString() },
                                 { "since", query.value(3).toLongLong() } });
        }
        return answers;
    }

    QSqlDatabase m_db;
    QString m_error;
};

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

    Cache cache(path);
    if (!cache.open())
        return fail(QStringLiteral("cannot open %1: %2").arg(path, cache.error()));
    const auto output = [&](const std::optional<QJsonArray> &read,
                            const std::function<void(const QJsonArray &)> &text) {
        if (!read)
            return fail(QStringLiteral("cannot read %1: %2").arg(path, cache.error()));
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
        return output(cache.destinations(), printDestinations);
    if (command == QLatin1String("sent"))
        return output(cache.sent(), printSent);
    if (command == QLatin1String("peek") || command == QLatin1String("purge")) {
        const QStringList destinations = operands.mid(0, command == QLatin1String("peek") ? 1 : -1);
        if (destinations.isEmpty())
            return usageError(parser, QStringLiteral("%1 needs a destination ID").arg(command));
        const std::optional<QSet<int>> known = cache.storageIds();
        if (!known)
            return fail(QStringLiteral("cannot read %1: %2").arg(path, cache.error()));
        const auto unknown
            = std::find_if(destinations.begin(), destinations.end(),
                           [&known](const QString &id) { return !known->contains(id.toInt()); });
        if (unknown != destinations.end())
            return usageError(parser, QStringLiteral("no destination %1").arg(*unknown));
    }
    if (command == QLatin1String("peek"))
        return output(cache.records(operands.at(0).toInt(), operands.value(1, "10").toInt()),
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
