#include "testsupport.h"

using namespace kl::telemetry::test;

// The whole road, through the real timers: examples record, the library caches and publishes,
// and the server holds every record once.
class TestExamples : public QObject
{
    Q_OBJECT

private slots:
    void everyRecordArrivesOnce();
    void productionSetUpReachesAMembersOnlyDatabase();
};

void TestExamples::everyRecordArrivesOnce()
{
    const QString server = couchDbUrl();
    QVERIFY2(!server.isEmpty(), "no CouchDB-compatible server: run through ctest");
    const QString app = createDatabase(server, QStringLiteral("app"));
    const QString ui = createDatabase(server, QStringLiteral("ui"));
    const QString qml = createDatabase(server, QStringLiteral("qml"));
    QVERIFY(!app.isEmpty() && !ui.isEmpty() && !qml.isEmpty());
    // The quick start's database has a fixed name; a repeated run finds it made already.
    httpRequest("DELETE", server + QStringLiteral("/metrics"));
    QCOMPARE(httpRequest("PUT", server + QStringLiteral("/metrics")).status, 201);

    const QString recorder = QStringLiteral(KORVEL_RECORDER_EXAMPLE);
    std::vector<std::unique_ptr<QProcess>> processes;
    processes.push_back(startHelper({ server, app, ui, QStringLiteral("--count=20") }, recorder));
    processes.push_back(startHelper({ server, app, ui, QStringLiteral("--count=15") }, recorder));
    processes.push_back(
        startHelper({ server, qml, QStringLiteral("12") }, QStringLiteral(KORVEL_QML_EXAMPLE)));
    // As Qt and KDE test set-ups run programs: a warning on success would abort it.
    qputenv("QT_FATAL_WARNINGS", "1");
    processes.push_back(startHelper({ server }, QStringLiteral(KORVEL_QUICKSTART_EXAMPLE)));
    qunsetenv("QT_FATAL_WARNINGS");
    for (auto &process : processes) {
        QVERIFY2(process->waitForFinished(150000), "an example never saw its records published");
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
    }

    for (const QString &database : { app, ui }) {
        const QHash<QString, QJsonObject> documents = couchDbDocuments(server, database);
        QCOMPARE(documents.size(), 35);
        QMap<int, int> sequences; // sequence -> how many processes recorded it
        for (const QJsonObject &document : documents) {
            QCOMPARE(document.value("type").toString(), QStringLiteral("example.action"));
            QCOMPARE(document.value("action").toString(), database);
            const int sequence = document.value("sequence").toInt();
            QCOMPARE(document.value("durationMs").toDouble(), sequence * 1.5);
            ++sequences[sequence];
        }
        QCOMPARE(sequences.size(), 20);
        QCOMPARE(sequences.value(15), 2);
        QCOMPARE(sequences.value(16), 1);
    }
    const QHash<QString, QJsonObject> ticks = couchDbDocuments(server, qml);
    QCOMPARE(ticks.size(), 12);
    QSet<int> seen;
    for (const QJsonObject &document : ticks) {
        QCOMPARE(document.value("source").toString(), QStringLiteral("qml example"));
        seen.insert(document.value("tick").toInt());
    }
    QCOMPARE(seen.size(), 12);
    const QList<QJsonObject> clicks = couchDbDocuments(server, QStringLiteral("metrics")).values();
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(clicks.first().value("button").toString(), QStringLiteral("save"));
}

// A server with an admin and a database that admits only its member; on disk, because the
// in-memory server fails to create databases once an admin exists.
void TestExamples::productionSetUpReachesAMembersOnlyDatabase()
{
    QTemporaryDir dir;
    const QString server = couchDbServer({ "start" }, dir.path());
    const auto stop = qScopeGuard([&] { couchDbServer({ "stop" }, dir.path()); });
    QVERIFY2(!server.isEmpty(), "no CouchDB-compatible server: Node.js is missing");
    const QString admin = QStringLiteral("http://admin:4dm1n@") + server.mid(7);
    QCOMPARE(httpRequest("PUT", server + "/members").status, 201); // before the admin exists
    QCOMPARE(httpRequest("PUT", server + "/_config/admins/admin", "\"4dm1n\"").status, 200);
    QCOMPARE(httpRequest("PUT", admin + "/_users/org.couchdb.user:writer",
                         R"({"name":"writer","password":"pw","roles":[],"type":"user"})")
                 .status,
             201);
    QCOMPARE(httpRequest("PUT", admin + "/members/_security", R"({"members":{"names":["writer"]}})")
                 .status,
             200);
    QCOMPARE(httpRequest("GET", server + "/members/_all_docs").status, 401);

    const auto example = startHelper({ server, QStringLiteral("members"), "writer", "pw" },
                                     QStringLiteral(KORVEL_PRODUCTION_EXAMPLE));
    QVERIFY2(example->waitForFinished(150000), "the example never saw its records published");
    QCOMPARE(example->exitCode(), 0);
    QSet<QString> codes;
    for (const QJsonObject &document : couchDbDocuments(admin, QStringLiteral("members")))
        codes.insert(document.value("code").toString());
    QCOMPARE(codes, QSet<QString>({ "E_DISK_FULL", "E_TIMEOUT", "E_PARSE" }));
}

KORVEL_TEST_MAIN(TestExamples)
#include "tst_examples.moc"
