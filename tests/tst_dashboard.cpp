// The dashboard on a real server in a real browser: records made through the library by two
// versions of an application over two days, the design document installed by korvel-dashboard,
// and what the page shows compared with the documents the server holds.

#include "testsupport.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/recorder.h"

using namespace kl::telemetry;
using test::httpRequest;

namespace {

constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

class MeasuredRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(int ms MEMBER m_ms)

public:
    int m_ms = 0;
};

QString dayOf(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).date().toString(Qt::ISODate);
}

struct ToolRun
{
    int exitCode = -1;
    QString output;
};

ToolRun runDashboardTool(const QStringList &arguments)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(KORVEL_DASHBOARD_TOOL), arguments);
    if (!tool.waitForFinished(60000))
        return {};
    return { tool.exitCode(), QString::fromUtf8(tool.readAll()) };
}

QString revisionIn(const QString &output)
{
    return QRegularExpression(QStringLiteral("\\(revision (\\S+)\\)")).match(output).captured(1);
}

// Rows of a table as the page shows them, each cell's text.
QList<QStringList> rowsOf(const QJsonValue &table)
{
    QList<QStringList> rows;
    for (const QJsonValue &row : table.toArray())
        rows.append(row.toVariant().toStringList());
    return rows;
}

QString number(double value)
{
    return QString::number(qRound64(value * 1000) / 1000.0);
}

} // namespace

class TestDashboard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void installsOnceAndOnlyWhereItCan();
    void wantsAnAdminAndPrintsNoCredentials();
    void pageShowsWhatTheServerHolds();

private:
    QString install(const QString &database);

    QString m_server;
};

void TestDashboard::initTestCase()
{
    m_server = test::couchDbUrl();
    QVERIFY2(!m_server.isEmpty(), "no CouchDB-compatible server (the couchdb fixture)");
    // This process is version 1.0; a helper process records as 2.0. Every record waits in the
    // cache until the test publishes it.
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    test::parkPublisherChain();
}

QString TestDashboard::install(const QString &database)
{
    const ToolRun run = runDashboardTool({ QStringLiteral("install"), QStringLiteral("--server"),
                                           m_server, QStringLiteral("--database"), database });
    return run.exitCode == 0 ? run.output : QString();
}

void TestDashboard::installsOnceAndOnlyWhereItCan()
{
    const QString database = test::createDatabase(m_server, QStringLiteral("dashboard-install"));
    const QString first = install(database);
    QVERIFY2(first.startsWith(QStringLiteral("Installed the dashboard in ") + database),
             qPrintable(first));
    const QString page = m_server + '/' + database + "/_design/korvel/index.html";
    QVERIFY2(first.contains(QStringLiteral("Open ") + page), qPrintable(first));
    const QString revision = revisionIn(first);
    QVERIFY(!revision.isEmpty());
    QCOMPARE(httpRequest("GET", page).status, 200);

    // Unchanged: the same revision, nothing written.
    const QString again = install(database);
    QVERIFY2(again.contains(QStringLiteral("is up to date (revision ") + revision + ')'),
             qPrintable(again));

    // Changed by someone on the server: put back as this build has it.
    const QString document = m_server + '/' + database + "/_design/korvel";
    QJsonObject edited = QJsonDocument::fromJson(httpRequest("GET", document).body).object();
    edited.insert(QStringLiteral("views"), QJsonObject());
    QCOMPARE(httpRequest("PUT", document, QJsonDocument(edited).toJson()).status, 201);
    const QString restored = install(database);
    QVERIFY2(restored.startsWith(QStringLiteral("Installed")), qPrintable(restored));
    QVERIFY(revisionIn(restored).startsWith(QStringLiteral("3-")));

    const ToolRun missing
        = runDashboardTool({ QStringLiteral("install"), QStringLiteral("--server"), m_server,
                             QStringLiteral("--database"), QStringLiteral("no-such-database") });
    QCOMPARE(missing.exitCode, 1);
    QVERIFY2(
        missing.output.contains(QStringLiteral("The database no-such-database does not exist")),
        qPrintable(missing.output));
    QCOMPARE(runDashboardTool({ QStringLiteral("install"), QStringLiteral("--database"), database })
                 .exitCode,
             2);
}

// A server of its own, on disk: the shared one must stay open to every test.
void TestDashboard::wantsAnAdminAndPrintsNoCredentials()
{
    QTemporaryDir dir;
    const QString server = test::couchDbServer({ "start" }, dir.path());
    const auto stop = qScopeGuard([&] { test::couchDbServer({ "stop" }, dir.path()); });
    QVERIFY2(!server.isEmpty(), "no CouchDB-compatible server: Node.js is missing");
    const auto as = [&server](const char *login) {
        return QStringLiteral("http://%1@%2").arg(QLatin1String(login), server.mid(7));
    };
    QCOMPARE(httpRequest("PUT", server + "/members").status, 201);
    QCOMPARE(httpRequest("PUT", server + "/_config/admins/admin", "\"4dm1n\"").status, 200);
    QCOMPARE(httpRequest("PUT", as("admin:4dm1n") + "/_users/org.couchdb.user:writer",
                         R"({"name":"writer","password":"pw","roles":[],"type":"user"})")
                 .status,
             201);

    const struct
    {
        QString address;
        int exitCode;
        QString says;
    } rows[] = {
        { server, 1, "The server wants an admin's credentials" },
        { as("admin:wrong"), 1, "The server refused the credentials of admin" },
        { as("writer:pw"), 1, "The server refused the credentials of writer" },
        { as("admin:4dm1n"), 0, "Installed the dashboard in members" },
    };
    for (const auto &row : rows) {
        const ToolRun run
            = runDashboardTool({ QStringLiteral("install"), QStringLiteral("--server"), row.address,
                                 QStringLiteral("--database"), QStringLiteral("members") });
        QVERIFY2(run.exitCode == row.exitCode && run.output.contains(row.says),
                 qPrintable(row.address + QStringLiteral(": ") + run.output));
        QVERIFY2(!run.output.contains(QStringLiteral("4dm1n")) && !run.output.contains(":pw"),
                 qPrintable(run.output));
    }
}

void TestDashboard::pageShowsWhatTheServerHolds()
{
    const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
    const QString browser
        = qEnvironmentVariable("KORVEL_CHROMIUM", QStringLiteral("/usr/bin/chromium"));
    if (node.isEmpty() || !QFileInfo::exists(browser))
        QSKIP("Needs node and Chromium (scripts/setup installs both)");

    const QString database = test::createDatabase(m_server, QStringLiteral("dashboard-page"));
    auto bucket = test::makeBucket(m_server, database);
    bucket->setFacts({ QStringLiteral("application.version"), QStringLiteral("platform.os") });
    Recorder start;
    start.setType(QStringLiteral("app.start"));
    start.setBucket(bucket.get());
    MeasuredRecorder open;
    open.setType(QStringLiteral("file.open"));
    open.setBucket(bucket.get());
    for (int i = 0; i < 3; ++i)
        start.record();
    for (int ms : { 10, 20, 30, 40 }) {
        open.m_ms = ms;
        open.record();
    }
    DataCollector *collector = currentDataCollector();
    collector->flush();
    QTRY_COMPARE(collector->getCachedElementsCount(), 7);
    QCOMPARE(test::runHelper({ "record-version", m_server, database, "2.0", "app.start", "2" }),
             QByteArray("cached"));
    // The two shortest openings happened a day earlier.
    QVERIFY(test::CacheConnection().exec(
        QStringLiteral(
            "UPDATE telemetry SET timestamp = timestamp - %1, recordData = json_set(recordData, "
            "'$.timestamp', json_extract(recordData, '$.timestamp') - %1) WHERE "
            "json_extract(recordData, '$.ms') <= 20")
            .arg(kDayMs)));
    // A document that is no record counts nowhere.
    QCOMPARE(
        httpRequest("PUT", m_server + '/' + database + "/not-a-record", R"({"note":1})").status,
        201);
    Publisher publisher;
    QCOMPARE(publisher.publishPending(30000).remaining, 0);
    QHash<QString, QJsonObject> documents = test::couchDbDocuments(m_server, database);
    documents.remove(QStringLiteral("not-a-record"));
    QCOMPARE(documents.size(), 9);
    const QString page = m_server + '/' + database + "/_design/korvel/index.html";
    QVERIFY(install(database).contains(page));

    QProcess reader;
    const QString screenshot = QDir(qEnvironmentVariable("KORVEL_SCREENSHOT_DIR", QDir::tempPath()))
                                   .filePath(QStringLiteral("dashboard.png"));
    reader.start(
        node,
        { QStringLiteral(KORVEL_SOURCE_DIR "/tests/dashboard/readpage.mjs"), page, screenshot });
    QVERIFY(reader.waitForFinished(120000));
    const QByteArray printed = reader.readAllStandardOutput();
    QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
    const QJsonObject shown = QJsonDocument::fromJson(printed).object();
    QVERIFY2(shown.value("errors").toArray().isEmpty() && shown.value("state") == "ready",
             printed.constData());
    QCOMPARE(shown.value("charts").toInt(), 2);

    // What the documents say, worked out here.
    QJsonObject counts;
    QMap<QString, QList<int>> openings; // by day
    const QJsonObject *latest = nullptr;
    for (const QJsonObject &document : qAsConst(documents)) {
        const qint64 timestamp = document.value("timestamp").toVariant().toLongLong();
        const QString day = dayOf(timestamp);
        QJsonObject perType = counts.value(day).toObject();
        for (const char *type : { "app.start", "file.open" })
            perType.insert(QLatin1String(type), perType.value(QLatin1String(type)).toInt());
        const QString type = document.value("type").toString();
        perType.insert(type, perType.value(type).toInt() + 1);
        counts.insert(day, perType);
        if (type == QLatin1String("file.open"))
            openings[day].append(document.value("ms").toInt());
        if (!latest || timestamp > latest->value("timestamp").toVariant().toLongLong())
            latest = &document;
    }
    QCOMPARE(counts.size(), 2);
    QCOMPARE(shown.value("counts").toObject(), counts);
    QCOMPARE(rowsOf(shown.value("versions")),
             (QList<QStringList> { { "1.0", "7" }, { "2.0", "2" } }));
    QCOMPARE(rowsOf(shown.value("systems")),
             (QList<QStringList> { { QSysInfo::productType(), "9" } }));
    const QStringList newest = rowsOf(shown.value("latest")).value(0);
    const qint64 newestAt = latest->value("timestamp").toVariant().toLongLong();
    QCOMPARE(newest.mid(0, 3),
             (QStringList { QDateTime::fromMSecsSinceEpoch(newestAt, Qt::UTC)
                                .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                            latest->value("type").toString(),
                            latest->value("applicationVersion").toString() }));
    QCOMPARE(shown.value("property").toString(), QStringLiteral("file.open · ms"));
    QList<QStringList> stats;
    for (auto day = openings.constEnd(); day != openings.constBegin();) {
        --day;
        const QList<int> &values = day.value();
        const double mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
        stats.append({ day.key(), QString::number(values.size()),
                       QString::number(*std::min_element(values.begin(), values.end())),
                       number(mean),
                       QString::number(*std::max_element(values.begin(), values.end())) });
    }
    QCOMPARE(rowsOf(shown.value("stats")), stats);
}

KORVEL_TEST_MAIN(TestDashboard)
#include "tst_dashboard.moc"
