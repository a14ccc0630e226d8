#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/documentuploader.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"

#include "testsupport.h"

#include <QSqlQuery>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

class TestBackends : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void idsAreStableAndNeverReused();
    void hostileValuesAreStoredExactly_data();
    void hostileValuesAreStoredExactly();
    void equalBucketsShareAnIdAcrossProcesses();
    void unopenedRegistry_data();
    void unopenedRegistry();
    void corruptCacheFile();
    void uploadersPerDestination();

private:
    QStringList storedLocations();

    std::unique_ptr<QTemporaryDir> m_cacheHome;
    std::unique_ptr<Backends> m_backends;
    std::unique_ptr<MessageCapture> m_messages;
};

void TestBackends::init()
{
    m_cacheHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cacheHome->path()));
    m_messages = std::make_unique<MessageCapture>();
    m_backends = std::make_unique<Backends>();
}

void TestBackends::cleanup()
{
    m_backends.reset();
    QSqlDatabase::removeDatabase(QStringLiteral("initialize"));
    m_messages.reset();
}

QStringList TestBackends::storedLocations()
{
    QStringList locations;
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("initialize")));
    query.exec(QStringLiteral("SELECT locationInfo FROM storages ORDER BY storageID"));
    while (query.next())
        locations << query.value(0).toString();
    return locations;
}

void TestBackends::idsAreStableAndNeverReused()
{
    m_backends->initialize();
    const QString couchdb = QStringLiteral("couchdb");
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("{\"a\": 1}")), 1);
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("{\"b\": 1}")), 2);
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("{\"a\": 1}")), 1);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 2);

    // Both columns are compared exactly: case and whitespace make other destinations.
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("{\"A\": 1}")), 3);
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("{\"a\":  1}")), 4);
    QCOMPARE(m_backends->getStorageID(QStringLiteral("CouchDB"), QStringLiteral("{\"a\": 1}")), 5);

    m_backends->clearRegisteredBackends();
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("{\"a\": 1}")), 6);
    QCOMPARE(m_backends->findBackendLocation(QStringLiteral(" x ")), QStringLiteral(" x "));
    QCOMPARE(m_messages->all(), QStringList());
}

void TestBackends::hostileValuesAreStoredExactly_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("database");

    QTest::addRow("single quotes") << "http://h/"
                                   << "it's'; DROP TABLE storages; --";
    QTest::addRow("percent-encoded server") << "http://h/a%20b%2Fc%25"
                                            << "db";
    QTest::addRow("placeholders") << "http://h/%1%2"
                                  << "%1 %2 %5 %6";
    QTest::addRow("backslashes and quotes") << "http://h/"
                                            << "a\\b\\\\\"c";
    QTest::addRow("unicode") << QStringLiteral("http://h\u00e9.example/\u65e5")
                             << QStringLiteral("\u00e5\u00e4\u00f6 \U0001F600");
    QTest::addRow("control characters") << "http://h/" << QStringLiteral("tab\tnew\nline\x01");
    QTest::addRow("nul") << "http://h/" << QString::fromUtf16(u"a\0b", 3);
}

void TestBackends::hostileValuesAreStoredExactly()
{
    QFETCH(QString, server);
    QFETCH(QString, database);
    m_backends->initialize();
    CouchDBBucket bucket;
    bucket.setServer(QUrl(server));
    bucket.setDatabase(database);
    const QString location = bucket.storageLocationInfo();

    const int id = m_backends->getStorageID(bucket.storageBackend(), location);
    QCOMPARE(id, 1);
    QCOMPARE(m_backends->getStorageID(bucket.storageBackend(), location), id);
    // The backend name is not escaped by any JSON layer on its way in.
    QCOMPARE(m_backends->getStorageID(database, location), 2);
    QCOMPARE(m_backends->getStorageID(database, location), 2);
    QCOMPARE(storedLocations(), (QStringList { location, location }));
    QCOMPARE(m_messages->all(), QStringList());
}

void TestBackends::equalBucketsShareAnIdAcrossProcesses()
{
    const QString server = QStringLiteral("http://127.0.0.1:5984");
    const QString database = QStringLiteral("metrics");
    QCOMPARE(runHelper({ QStringLiteral("storage-id"), server, database }), QByteArray("1"));
    QCOMPARE(runHelper({ QStringLiteral("storage-id"), server + QLatin1Char('/'), database }),
             QByteArray("2"));
    QCOMPARE(runHelper({ QStringLiteral("storage-id"), server, database }), QByteArray("1"));

    m_backends->initialize();
    CouchDBBucket bucket;
    bucket.setServer(QUrl(server));
    bucket.setDatabase(QStringLiteral("metrics"));
    QCOMPARE(m_backends->getStorageID(bucket.storageBackend(), bucket.storageLocationInfo()), 1);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 2);
}

void TestBackends::unopenedRegistry_data()
{
    QTest::addColumn<bool>("openFails");
    QTest::addColumn<int>("storageId");
    QTest::addColumn<QStringList>("lookupMessages");
    QTest::addRow("never initialised")
        << false << -1
        << QStringList { "critical: Unable to search database for existing storage information "
                         " \"Driver not loaded Driver not loaded\"" };
    // The flush cycle keeps trying to open the cache; meanwhile IDs are provisional.
    QTest::addRow("open failed") << true << -2 << QStringList();
}

void TestBackends::unopenedRegistry()
{
    QFETCH(bool, openFails);
    QFETCH(int, storageId);
    QFETCH(QStringList, lookupMessages);
    if (openFails) {
        QVERIFY(QDir().mkpath(getCacheDataBaseLocation()));
        m_backends->initialize();
        m_backends->initialize();
        QCOMPARE(m_messages->all(),
                 QStringList { "critical: Failed to open data base for backend retrieval \"unable "
                               "to open database file Error opening database\"" });
        m_messages->clear();
    }
    QCOMPARE(m_backends->getStorageID(QStringLiteral("couchdb"), QStringLiteral("{}")), storageId);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    m_backends->clearRegisteredBackends();
    QCOMPARE(m_messages->all(),
             lookupMessages
                 + (QStringList { "critical: getRegisteredBackendsCount() aborted, connection to "
                                  "database is closed.",
                                  "critical: clearRegisteredBackends() aborted, connection to "
                                  "database is closed." }));
}

void TestBackends::corruptCacheFile()
{
    QFile file(getCacheDataBaseLocation());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray noise(64 * 1024, Qt::Uninitialized);
    for (char &byte : noise)
        byte = char(QRandomGenerator::global()->generate());
    file.write(noise);
    file.close();

    m_backends->initialize();
    QCOMPARE(m_backends->getStorageID(QStringLiteral("couchdb"), QStringLiteral("{}")), -1);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    const QString reason
        = QStringLiteral(" \"file is not a database Unable to execute statement\"");
    QCOMPARE(m_messages->all(),
             (QStringList {
                 "critical: Backends database creation failed" + reason,
                 "critical: Unable to search database for existing storage information " + reason,
                 "critical: getRegisteredBackendsCount() aborted, SELECT query failed." }));

    // The collector shares the file and says as much, without crashing.
    m_messages->clear();
    {
        DataCollector collector;
        collector.initialize();
        collector.collect(QStringLiteral("id"), 1, 1, QStringLiteral("{}"));
        collector.flush();
        QCOMPARE(collector.getQueuedElementsCount(), 1);
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    QCOMPARE(m_messages->all(),
             (QStringList { "critical: Cache database creation failed" + reason,
                            "critical: local cache update failed \"file is not a database\"",
                            "critical: local cache update failed \"file is not a database\"",
                            "warning: Records lost at exit, the cache could not be written: 1" }));
}

void TestBackends::uploadersPerDestination()
{
    m_backends->initialize();
    QVERIFY(m_backends->getBackends().isEmpty());
    const QString couchdb = QStringLiteral("couchdb");
    for (int i = 1; i <= 8; ++i) // padding, so that the interesting IDs are 9 and 10
        m_backends->getStorageID(QStringLiteral("other"), QString::number(i));
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("not json")), 9);
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("{\"server\": \"http://h\"}")), 10);
    m_backends->getStorageID(QStringLiteral("CouchDB"), QStringLiteral("{}"));

    const QMap<QString, DocumentUploader *> uploaders = m_backends->getBackends();
    QCOMPARE(uploaders.keys(), (QStringList { "10", "9" }));
    QVERIFY(uploaders.value("9") && uploaders.value("10"));
    QCOMPARE(m_backends->getBackends(), uploaders); // built once, handed out again

    m_backends->clearRegisteredBackends();
    QVERIFY(m_backends->getBackends().isEmpty());
    QCOMPARE(m_backends->getStorageID(couchdb, QStringLiteral("not json")), 12);
    const QMap<QString, DocumentUploader *> again = m_backends->getBackends();
    QCOMPARE(again.keys(), QStringList { "12" });
    QVERIFY(!uploaders.values().contains(again.value("12")));
    QCOMPARE(m_messages->all(), QStringList());
}

KORVEL_TEST_MAIN(TestBackends)
#include "tst_backends.moc"
