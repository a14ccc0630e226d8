#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/documentuploader.h"
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
    void unopenedRegistry();
    void corruptCacheFile();
    void failingStatements();

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
    QVERIFY(m_backends->getBackends().isEmpty());
    const QString couchdb = QStringLiteral("couchdb");
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 1);
    QCOMPARE(m_backends->getStorageID(couchdb, "not json"), 2);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 1);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 2);
    // Both columns are compared exactly: case and whitespace make other destinations.
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"A\": 1}"), 3);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\":  1}"), 4);
    QCOMPARE(m_backends->getStorageID("CouchDB", "{\"a\": 1}"), 5);
    // Values are bound, never spliced into the statement, and stored as given.
    const QString hostile
        = QStringLiteral("it's'; DROP TABLE storages; -- %1%2 \\ \" \u00e5\u65e5\t\n") + QChar()
        + "b";
    QCOMPARE(m_backends->getStorageID(hostile, hostile), 6);
    QCOMPARE(m_backends->getStorageID(hostile, hostile), 6);
    QSqlQuery query("SELECT backend, locationInfo FROM storages WHERE storageID = 6",
                    QSqlDatabase::database(QStringLiteral("initialize")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), hostile);
    QCOMPARE(query.value(1).toString(), hostile);

    // One uploader per couchdb destination, keyed by storage ID, built once.
    const QMap<QString, DocumentUploader *> uploaders = m_backends->getBackends();
    QCOMPARE(uploaders.keys(), (QStringList { "1", "2", "3", "4" }));
    QVERIFY(!uploaders.values().contains(nullptr));
    QCOMPARE(m_backends->getBackends(), uploaders);
    m_backends->clearRegisteredBackends();
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    QVERIFY(m_backends->getBackends().isEmpty());
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 7);
    QVERIFY(!uploaders.values().contains(m_backends->getBackends().value("7")));
    // A registry opened later, as in the next process, finds the table and the IDs in the file.
    cleanup();
    m_messages = std::make_unique<MessageCapture>();
    m_backends = std::make_unique<Backends>();
    m_backends->initialize();
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"a\": 1}"), 7);
    QCOMPARE(m_backends->getStorageID(couchdb, "{\"b\": 1}"), 8);
    QCOMPARE(m_messages->all(), QStringList());
}

// Never initialised: every call fails, and says so.
void TestBackends::unopenedRegistry()
{
    QCOMPARE(m_backends->getStorageID("couchdb", "{}"), -1);
    QCOMPARE(m_backends->getRegisteredBackendsCount(), 0);
    m_backends->clearRegisteredBackends();
    QVERIFY(m_backends->getBackends().isEmpty());
    const QString closed = " aborted, connection to database is closed.";
    QCOMPARE(m_messages->all(),
             (QStringList { "critical: Unable to search database for existing storage information "
                            " \"Driver not loaded Driver not loaded\"",
                            "critical: getRegisteredBackendsCount()" + closed,
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

KORVEL_TEST_MAIN(TestBackends)
#include "tst_backends.moc"
