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
    void unopenedRegistry_data();
    void unopenedRegistry();
    void corruptCacheFile();
    void failingStatements();
    void uploadersPerDestination();

private:
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

void TestBackends::idsAreStableAndNeverReused()
{
    m_backends->initialize();
    const QString couchdb = QStringLiteral("couchdb");
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 1);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"b\": 1}"), 2);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 1);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 2);
    // Both columns are compared exactly: case and whitespace make other destinations.
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"A\": 1}"), 3);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\":  1}"), 4);
    QCOMPARE(m_backends->getStorageID("CouchDB", "{\"a\": 1}"), 5);
    m_backends->clearRegisteredBackends();
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 6);
    // A registry opened later, as in the next process, finds the table and the IDs in the file.
    cleanup();
    m_messages = std::make_unique<MessageCapture>();
    m_backends = std::make_unique<Backends>();
    m_backends->initialize();
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 6);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"b\": 1}"), 7);
    QCOMPARE(m_messages->all(), QStringList());
}

void TestBackends::hostileValuesAreStoredExactly_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("database");
    QTest::addRow("single quotes") << "http://h/"
                                   << "it's'; DROP TABLE storages; --";
    QTest::addRow("placeholders") << "http://h/%1%2"
                                  << "%1 %2 %5 \\ \"";
    QTest::addRow("unicode, controls, nul") << QStringLiteral("http://h\u00e9.example/\u65e5")
                                            << QString::fromUtf16(u"\u00e5\t\n\0b", 5);
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
    QCOMPARE(m_backends->getStorageID(bucket.storageBackend(), location), 1);
    QCOMPARE(m_backends->getStorageID(bucket.storageBackend(), location), 1);
    // The backend name is not escaped by any JSON layer on its way in.
    QCOMPARE(m_backends->getStorageID(database, location), 2);
    QCOMPARE(m_backends->getStorageID(database, location), 2);
    QSqlQuery query("SELECT locationInfo, backend FROM storages ORDER BY storageID",
                    QSqlDatabase::database(QStringLiteral("initialize")));
    QStringList stored;
    while (query.next())
        stored << query.value(0).toString() << query.value(1).toString();
    QCOMPARE(stored, (QStringList { location, "couchdb", location, database }));
    QCOMPARE(m_messages->all(), QStringList());
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
    QCOMPARE(m_backends->getStorageID("couchdb", "{}"), storageId);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    m_backends->clearRegisteredBackends();
    QVERIFY(m_backends->getBackends().isEmpty());
    const QString closed = " aborted, connection to database is closed.";
    QCOMPARE(m_messages->all(),
             lookupMessages
                 + (QStringList { "critical: getRegisteredBackendsCount()" + closed,
                                  "critical: clearRegisteredBackends()" + closed }));
}

void TestBackends::corruptCacheFile()
{
    QFile file(getCacheDataBaseLocation());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(64 * 1024, '\x5a'));
    file.close();
    m_backends->initialize();
    QCOMPARE(m_backends->getStorageID("couchdb", "{}"), -1);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    const QString reason = " \"file is not a database Unable to execute statement\"";
    // The collector shares the file and says as much, without crashing.
    {
        DataCollector collector;
        collector.initialize();
        collector.collect("id", 1, 1, QStringLiteral("{}"));
        collector.flush();
        QCOMPARE(collector.getQueuedElementsCount(), 1);
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    QCOMPARE(m_messages->all(),
             (QStringList { "critical: Backends database creation failed" + reason,
                            "critical: Unable to search database for existing storage information "
                                + reason,
                            "critical: getRegisteredBackendsCount() aborted, SELECT query failed.",
                            "critical: Cache database creation failed" + reason,
                            "critical: local cache update failed \"file is not a database\"",
                            "critical: local cache update failed \"file is not a database\"",
                            "warning: Records lost at exit, the cache could not be written: 1" }));
}

// Another client refuses changes through triggers, opens a transaction, drops the table.
void TestBackends::failingStatements()
{
    m_backends->initialize();
    QCOMPARE(m_backends->getStorageID("couchdb", "{\"a\": 1}"), 1);
    CacheConnection other;
    for (const char *change : { "INSERT", "DELETE" })
        QVERIFY(other.exec(QStringLiteral("CREATE TRIGGER refuse_%1 BEFORE %1 ON storages BEGIN "
                                          "SELECT RAISE(ABORT, 'refused'); END")
                               .arg(QLatin1String(change))));
    QCOMPARE(m_backends->getStorageID("couchdb", "{}"), -1);
    m_backends->clearRegisteredBackends();
    QSqlDatabase registry = QSqlDatabase::database(QStringLiteral("initialize"));
    QVERIFY(registry.transaction());
    m_backends->clearRegisteredBackends();
    QVERIFY(registry.rollback());
    QVERIFY(other.exec(QStringLiteral("DROP TABLE storages")));
    QVERIFY(m_backends->getBackends().isEmpty());

    const QStringList messages = m_messages->all();
    const QString refused = messages.value(0);
    QVERIFY2(refused.startsWith("critical: Unable to insert new storage information do database "
                                "QSqlError("),
             qPrintable(refused));
    QCOMPARE(messages.mid(1),
             (QStringList { "critical: Registered backends clearing failed: query or commit",
                            "critical: Registered backends clearing failed: cannot create "
                            "transaction",
                            "critical: getBackends() aborted, SELECT query failed." }));
}

void TestBackends::uploadersPerDestination()
{
    m_backends->initialize();
    QVERIFY(m_backends->getBackends().isEmpty());
    for (int i = 1; i <= 8; ++i) // padding, so that the interesting IDs are 9 and 10
        m_backends->getStorageID("other", QString::number(i));
    QCOMPARE(m_backends->getStorageID("couchdb", "not json"), 9);
    QCOMPARE(m_backends->getStorageID("couchdb", "{\"server\": \"http://h\"}"), 10);
    m_backends->getStorageID("CouchDB", "{}");
    const QMap<QString, DocumentUploader *> uploaders = m_backends->getBackends();
    QCOMPARE(uploaders.keys(), (QStringList { "10", "9" }));
    QVERIFY(uploaders.value("9") && uploaders.value("10"));
    QCOMPARE(m_backends->getBackends(), uploaders); // built once, handed out again

    m_backends->clearRegisteredBackends();
    QVERIFY(m_backends->getBackends().isEmpty());
    QCOMPARE(m_backends->getStorageID("couchdb", "not json"), 12);
    const QMap<QString, DocumentUploader *> again = m_backends->getBackends();
    QCOMPARE(again.keys(), QStringList { "12" });
    QVERIFY(!uploaders.values().contains(again.value("12")));
    QCOMPARE(m_messages->all(), QStringList());
}

KORVEL_TEST_MAIN(TestBackends)
#include "tst_backends.moc"
