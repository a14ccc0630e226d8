#include "telemetry/cache/datacollector.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"

#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

std::unique_ptr<CouchDBBucket> makeBucket(const QString &server, const QString &database)
{
    auto bucket = std::make_unique<CouchDBBucket>();
    bucket->setServer(QUrl(server));
    bucket->setDatabase(database);
    return bucket;
}

QJsonDocument document(int value)
{
    return QJsonDocument(
        QJsonObject { { "timestamp", 42 }, { "value", value }, { "text", "a \"b\"" } });
}

} // namespace

// The functions run in order: the process-wide registry and collector start uninitialised and
// are initialised once, half way through.
class TestBuckets : public QObject
{
    Q_OBJECT

private slots:
    void locationInfoText_data();
    void locationInfoText();
    void failedLookupIsRetried();
    void placedRowsKeepTheirFirstStorageId();
};

void TestBuckets::locationInfoText_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QByteArray>("expected");
    // Credentials stay in memory: the same destination with or without them.
    QTest::addRow("credentials left out") << "https://user:pa ss@couch.example/ba se/"
                                          << "db"
                                          << QByteArray("{\n"
                                                        "    \"database\": \"db\",\n"
                                                        "    \"server\": \"https://couch.example/"
                                                        "ba%20se/\"\n"
                                                        "}\n");
    QTest::addRow("escaped name")
        << "http://h" << QStringLiteral("q\"b\\s/t\tn\nc\x01 \u00e5")
        << QByteArray("{\n"
                      "    \"database\": \"q\\\"b\\\\s/t\\tn\\nc\\u0001 \xc3\xa5\",\n"
                      "    \"server\": \"http://h\"\n"
                      "}\n");
}

void TestBuckets::locationInfoText()
{
    QFETCH(QString, server);
    QFETCH(QString, database);
    QFETCH(QByteArray, expected);
    const auto bucket = makeBucket(server, database);
    QCOMPARE(bucket->storageLocationInfo().toUtf8(), expected);
    QCOMPARE(bucket->storageBackend(), QStringLiteral("couchdb"));
}

// The registry is not initialised yet; an invalid bucket does not even ask it.
void TestBuckets::failedLookupIsRetried()
{
    MessageCapture messages;
    makeBucket("http://h", "")->placeRecord(generateUniqueId(), document(1));
    makeBucket("", "db")->placeRecord(generateUniqueId(), document(1));
    const auto bucket = makeBucket("http://h", "db");
    bucket->placeRecord(generateUniqueId(), document(1));
    const QString invalid = "warning: Bucket state is invalid, recording is impossible";
    QCOMPARE(messages.all(),
             (QStringList { invalid, invalid,
                            "critical: Unable to search database for existing storage information "
                            " \"Driver not loaded Driver not loaded\"",
                            "warning: Unable to retrieve storage ID" }));
    QCOMPARE(currentDataCollector()->getQueuedElementsCount(), 0);

    currentDataCollector()->initialize();
    currentBackends()->initialize();
    messages.clear();
    bucket->placeRecord(generateUniqueId(), document(2));
    QCOMPARE(messages.all(), QStringList());
    QCOMPARE(currentDataCollector()->getQueuedElementsCount(), 1);
}

void TestBuckets::placedRowsKeepTheirFirstStorageId()
{
    MessageCapture messages;
    currentDataCollector()->clearQueue();
    const auto bucket = makeBucket("http://first", "db");
    bucket->placeRecord("first-record", document(1));
    const int firstId = currentBackends()->getStorageID("couchdb", bucket->storageLocationInfo());
    bucket->setServer(QUrl("http://second"));
    bucket->placeRecord("second-record", document(2));
    QCOMPARE(currentBackends()->getRegisteredBackendsCount(), 2);

    QTRY_COMPARE(currentDataCollector()->getQueuedElementsCount(), 0);
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("initialize")));
    QVERIFY(query.exec("SELECT storageID, recordData FROM telemetry "
                       "WHERE id LIKE '%-record' ORDER BY rowid"));
    for (int value : { 1, 2 }) {
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), firstId);
        QCOMPARE(
            query.value(1).toString(),
            QStringLiteral("{\"text\":\"a \\\"b\\\"\",\"timestamp\":42,\"value\":%1}").arg(value));
    }
    QCOMPARE(messages.all(), QStringList());
}

KORVEL_TEST_MAIN(TestBuckets)
#include "tst_buckets.moc"
